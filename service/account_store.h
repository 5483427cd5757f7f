// Durable account data behind one small set of free functions, so another
// database can replace SQLite by providing the same functions. Thread-safe:
// every call may come from any of the account port's threads.
#pragma once

#include <cstdint>
#include <string>

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

enum class CreateResult { Created, UsernameTaken, EmailTaken, Failed };

// The schema version this build writes; a store of a newer version is refused.
constexpr int kAccountSchemaVersion = 1;

// Opens (creating and migrating as needed) the store in the file `path`;
// nullptr with a reason on failure.
AccountStore* OpenAccountStore(const std::string& path, std::string& error);
void CloseAccountStore(AccountStore* store);
int AccountSchemaVersion(AccountStore* store);

// Usernames and e-mail addresses are unique regardless of letter case.
// On success `account.id` is set.
CreateResult CreateAccount(AccountStore* store, AccountRecord& account, int64_t now);
bool FindAccountByName(AccountStore* store, const std::string& username, AccountRecord& out);
bool FindAccountByEmail(AccountStore* store, const std::string& email, AccountRecord& out);
bool FindAccountById(AccountStore* store, int64_t id, AccountRecord& out);
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
