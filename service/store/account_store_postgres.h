// The account store on a PostgreSQL server that several service instances
// share. Only the store's own files include this: callers use account_store.h,
// whose functions hand a PostgreSQL store on to the ones below.
#pragma once

#include "store/account_store.h"

struct PgStore;

// "postgresql://..." or "postgres://...": a libpq connection URI.
bool IsPostgresAddress(const std::string& where);

PgStore* OpenPgStore(const std::string& uri, std::string& error);
void ClosePgStore(PgStore* store);
int PgSchemaVersion(PgStore* store);
// The statements that take a PostgreSQL store from `from_version` to the next one.
const char* PgMigrationSql(int from_version);

// Marks this thread's call as failed inside the database (see TakeStoreFault).
void MarkStoreFault();

namespace pg {

CreateResult CreateAccount(PgStore* store, AccountRecord& account, int64_t now);
bool FindAccountByName(PgStore* store, const std::string& username, AccountRecord& out);
bool FindAccountByEmail(PgStore* store, const std::string& email, AccountRecord& out);
bool FindAccountById(PgStore* store, int64_t id, AccountRecord& out);
bool FindAccountByGamertag(PgStore* store, const std::string& gamertag, AccountRecord& out);
bool SetAccountSettings(PgStore* store, int64_t id, const std::string& settings);
bool SetPasswordHash(PgStore* store, int64_t id, const std::string& hash);
bool SetEmailVerified(PgStore* store, int64_t id);
bool AddSession(PgStore* store, int64_t account_id, const std::string& token_hash, int64_t now);
bool FindSession(PgStore* store, const std::string& token_hash, int64_t now, int64_t max_idle_s, AccountRecord& out);
void DeleteSessions(PgStore* store, int64_t account_id);
bool AddMailToken(PgStore* store, int64_t account_id, const std::string& kind, const std::string& token_hash,
                  int64_t expires_at);
bool PeekMailToken(PgStore* store, const std::string& kind, const std::string& token_hash, int64_t now,
                   int64_t& account_id);
bool TakeMailToken(PgStore* store, const std::string& kind, const std::string& token_hash, int64_t now,
                   int64_t& account_id);
FriendLink GetFriendLink(PgStore* store, int64_t me, int64_t other);
bool AddFriendRequest(PgStore* store, int64_t from, int64_t to, int64_t now);
bool AcceptFriendRequest(PgStore* store, int64_t me, int64_t other, int64_t now);
bool RemoveFriendLinks(PgStore* store, int64_t me, int64_t other);
bool ListFriends(PgStore* store, int64_t me, FriendLists& out);
int64_t AddMessage(PgStore* store, int64_t from, int64_t to, const std::string& body, int64_t now);
bool ReadConversation(PgStore* store, int64_t me, int64_t partner, int64_t after_id, int limit,
                      std::vector<StoredMessage>& out);
bool ListThreads(PgStore* store, int64_t me, std::vector<ThreadSummary>& out);

} // namespace pg
