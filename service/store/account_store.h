// Durable account data behind one small set of free functions, so another
// database can replace SQLite by providing the same functions. Thread-safe:
// every call may come from any of the account port's threads.
#pragma once

#include "metrics/metrics.h"

#include <cstdint>
#include <string>
#include <vector>

struct AccountStore;

struct AccountRecord
{
    int64_t id = 0;
    std::string username;
    std::string gamertag;
    std::string email;
    std::string password_hash; // Argon2id, in libsodium's string form
    std::string role = "player";
    std::string settings;      // the client's settings text, "" until first saved
    bool email_verified = false;
};

enum class CreateResult { Created, UsernameTaken, GamertagTaken, GamertagConfusable, EmailTaken, Failed };

// The schema version this build writes; a store of a newer version is refused.
constexpr int kAccountSchemaVersion = 4;

// The statements that take a store from `from_version` to the next one
// (nullptr past the last); tests build older stores with them.
const char* AccountMigrationSql(int from_version);

// Opens (creating and migrating as needed) the store in the file `path`;
// nullptr with a reason on failure. A failed upgrade leaves the file at the
// version it had.
AccountStore* OpenAccountStore(const std::string& path, std::string& error);
void CloseAccountStore(AccountStore* store);
int AccountSchemaVersion(AccountStore* store);
// Every call's count and time, and the ones without an answer.
const StoreCounters& AccountStoreCounters(AccountStore* store);

// True when a call on this thread failed inside the database since the last
// take (then its false or empty result means "no answer", not "not found").
// Clears the mark.
bool TakeStoreFault();

// Usernames and e-mail addresses are unique regardless of letter case.
// On success `account.id` is set.
CreateResult CreateAccount(AccountStore* store, AccountRecord& account, int64_t now);
bool FindAccountByName(AccountStore* store, const std::string& username, AccountRecord& out);
bool FindAccountByEmail(AccountStore* store, const std::string& email, AccountRecord& out);
bool FindAccountById(AccountStore* store, int64_t id, AccountRecord& out);
// Gamertags are unique by their case-folded key (any script): friends find each other by them.
bool FindAccountByGamertag(AccountStore* store, const std::string& gamertag, AccountRecord& out);
bool SetAccountSettings(AccountStore* store, int64_t id, const std::string& settings);
bool SetPasswordHash(AccountStore* store, int64_t id, const std::string& hash);
bool SetEmailVerified(AccountStore* store, int64_t id);

// Sessions are kept by the hash of their token only. FindSession accepts a
// session used within `max_idle_s` and marks it used at `now`.
bool AddSession(AccountStore* store, int64_t account_id, const std::string& token_hash, int64_t now);
bool FindSession(AccountStore* store, const std::string& token_hash, int64_t now, int64_t max_idle_s,
                 AccountRecord& out);
void DeleteSessions(AccountStore* store, int64_t account_id);

// One-time mail links ("reset", "verify"), kept by the hash of their token.
// Peek checks without using; Take uses the link up (it works once).
bool AddMailToken(AccountStore* store, int64_t account_id, const std::string& kind, const std::string& token_hash,
                  int64_t expires_at);
bool PeekMailToken(AccountStore* store, const std::string& kind, const std::string& token_hash, int64_t now,
                   int64_t& account_id);
bool TakeMailToken(AccountStore* store, const std::string& kind, const std::string& token_hash, int64_t now,
                   int64_t& account_id);

// Friends. A request goes one way until it is accepted; a friendship is kept
// once for each side. Lists are of gamertags, oldest first.
enum class FriendLink { None, Friends, Asked, AskedBy };
FriendLink GetFriendLink(AccountStore* store, int64_t me, int64_t other);
bool AddFriendRequest(AccountStore* store, int64_t from, int64_t to, int64_t now);
// Turns the request `other` sent to `me` into a friendship; false if there was none.
bool AcceptFriendRequest(AccountStore* store, int64_t me, int64_t other, int64_t now);
// Drops every request and friendship between the two; false if there was none.
bool RemoveFriendLinks(AccountStore* store, int64_t me, int64_t other);

struct FriendLists
{
    std::vector<std::string> friends, incoming, outgoing;
};
bool ListFriends(AccountStore* store, int64_t me, FriendLists& out);

// Direct messages, with growing ids.
struct StoredMessage
{
    int64_t id = 0;
    bool mine = false;
    std::string body;
};
struct ThreadSummary
{
    std::string gamertag;
    int64_t unread = 0;
    std::string last; // the newest message either way
};
int64_t AddMessage(AccountStore* store, int64_t from, int64_t to, const std::string& body, int64_t now);
// Messages between the two with ids above `after_id`, oldest first, at most
// `limit`; the partner's messages to `me` are marked read.
bool ReadConversation(AccountStore* store, int64_t me, int64_t partner, int64_t after_id, int limit,
                      std::vector<StoredMessage>& out);
bool ListThreads(AccountStore* store, int64_t me, std::vector<ThreadSummary>& out);
