// The account store on an embedded SQLite file: WAL, one connection behind a
// mutex, every statement prepared once, schema versions in user_version. A
// store opened on a postgresql:// address hands each call on to the
// PostgreSQL store; either way every call is counted and timed here.
#include "store/account_store.h"
#include "log/log.h"
#include "store/account_store_postgres.h"

#include "rules/gamertag_rules.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace {

// Migration i takes a store from version i to i + 1. Never edit a shipped one.
const char* const kMigrations[] = {
    "CREATE TABLE accounts ("
    "  id INTEGER PRIMARY KEY,"
    "  username TEXT NOT NULL UNIQUE COLLATE NOCASE,"
    "  gamertag TEXT NOT NULL,"
    "  email TEXT NOT NULL UNIQUE COLLATE NOCASE,"
    "  password_hash TEXT NOT NULL,"
    "  role TEXT NOT NULL DEFAULT 'player',"
    "  email_verified INTEGER NOT NULL DEFAULT 0,"
    "  settings TEXT NOT NULL DEFAULT '',"
    "  created_at INTEGER NOT NULL);"
    "CREATE TABLE sessions ("
    "  token_hash TEXT PRIMARY KEY,"
    "  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    "  created_at INTEGER NOT NULL,"
    "  last_used INTEGER NOT NULL);"
    "CREATE INDEX sessions_by_account ON sessions(account_id);"
    "CREATE TABLE mail_tokens ("
    "  token_hash TEXT PRIMARY KEY,"
    "  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    "  kind TEXT NOT NULL,"
    "  expires_at INTEGER NOT NULL);",

    "CREATE UNIQUE INDEX accounts_by_gamertag ON accounts(gamertag COLLATE NOCASE);"
    "CREATE TABLE friend_requests ("
    "  from_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    "  to_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    "  created_at INTEGER NOT NULL,"
    "  PRIMARY KEY (from_id, to_id));"
    "CREATE TABLE friendships ("
    "  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    "  friend_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    "  created_at INTEGER NOT NULL,"
    "  PRIMARY KEY (account_id, friend_id));"
    "CREATE TABLE messages ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  from_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    "  to_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
    "  body TEXT NOT NULL,"
    "  created_at INTEGER NOT NULL,"
    "  read INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX messages_by_pair ON messages(from_id, to_id, id);",

    // Gamertags in any script: their case-folded key is the unique one, and
    // the confusable skeleton finds look-alikes. Filled for stored names by
    // FillGamertagForms before the indexes are made.
    "ALTER TABLE accounts ADD COLUMN gamertag_key TEXT;"
    "ALTER TABLE accounts ADD COLUMN gamertag_skeleton TEXT;",

    // The skeleton of the name as typed too: look-alikes in capitals. Filled
    // by FillTypedSkeletons.
    "ALTER TABLE accounts ADD COLUMN gamertag_skeleton_typed TEXT;",
};
static_assert(sizeof(kMigrations) / sizeof(kMigrations[0]) == kAccountSchemaVersion);

enum Stmt {
    InsertAccount,
    AccountByName,
    AccountByEmail,
    AccountById,
    UpdateSettings,
    UpdatePassword,
    UpdateVerified,
    InsertSession,
    SessionAccount,
    TouchSession,
    DeleteExpiredSessions,
    DeleteAccountSessions,
    InsertMailToken,
    MailTokenAccount,
    DeleteMailToken,
    DeleteExpiredMailTokens,
    AccountByGamertag,
    AccountBySkeleton,
    FriendshipExists,
    RequestExists,
    InsertRequest,
    DeleteRequest,
    InsertFriendship,
    DeleteFriendship,
    SelectFriends,
    SelectIncoming,
    SelectOutgoing,
    InsertMessage,
    SelectConversation,
    MarkRead,
    SelectThreads,
    StmtCount
};

const char* const kSql[StmtCount] = {
    "INSERT INTO accounts (username, gamertag, email, password_hash, role, created_at, gamertag_key, gamertag_skeleton,"
    " gamertag_skeleton_typed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
    "SELECT id, username, gamertag, email, password_hash, role, settings, email_verified FROM accounts WHERE username = ?",
    "SELECT id, username, gamertag, email, password_hash, role, settings, email_verified FROM accounts WHERE email = ?",
    "SELECT id, username, gamertag, email, password_hash, role, settings, email_verified FROM accounts WHERE id = ?",
    "UPDATE accounts SET settings = ? WHERE id = ?",
    "UPDATE accounts SET password_hash = ? WHERE id = ?",
    "UPDATE accounts SET email_verified = 1 WHERE id = ?",
    "INSERT INTO sessions (token_hash, account_id, created_at, last_used) VALUES (?, ?, ?, ?)",
    "SELECT account_id FROM sessions WHERE token_hash = ? AND last_used >= ?",
    "UPDATE sessions SET last_used = ? WHERE token_hash = ?",
    "DELETE FROM sessions WHERE last_used < ?",
    "DELETE FROM sessions WHERE account_id = ?",
    "INSERT INTO mail_tokens (token_hash, account_id, kind, expires_at) VALUES (?, ?, ?, ?)",
    "SELECT account_id FROM mail_tokens WHERE token_hash = ? AND kind = ? AND expires_at >= ?",
    "DELETE FROM mail_tokens WHERE token_hash = ?",
    "DELETE FROM mail_tokens WHERE expires_at < ?",
    "SELECT id, username, gamertag, email, password_hash, role, settings, email_verified FROM accounts WHERE gamertag_key = ?",
    "SELECT id, username, gamertag, email, password_hash, role, settings, email_verified FROM accounts"
    " WHERE gamertag_skeleton IN (?1, ?2) OR gamertag_skeleton_typed IN (?1, ?2) LIMIT 1",
    "SELECT 1 FROM friendships WHERE account_id = ? AND friend_id = ?",
    "SELECT 1 FROM friend_requests WHERE from_id = ? AND to_id = ?",
    "INSERT OR IGNORE INTO friend_requests (from_id, to_id, created_at) VALUES (?, ?, ?)",
    "DELETE FROM friend_requests WHERE from_id = ? AND to_id = ?",
    "INSERT OR IGNORE INTO friendships (account_id, friend_id, created_at) VALUES (?, ?, ?)",
    "DELETE FROM friendships WHERE account_id = ? AND friend_id = ?",
    "SELECT a.gamertag FROM friendships f JOIN accounts a ON a.id = f.friend_id WHERE f.account_id = ? ORDER BY f.created_at, a.id",
    "SELECT a.gamertag FROM friend_requests r JOIN accounts a ON a.id = r.from_id WHERE r.to_id = ? ORDER BY r.created_at, a.id",
    "SELECT a.gamertag FROM friend_requests r JOIN accounts a ON a.id = r.to_id WHERE r.from_id = ? ORDER BY r.created_at, a.id",
    "INSERT INTO messages (from_id, to_id, body, created_at) VALUES (?, ?, ?, ?)",
    "SELECT id, from_id, body FROM messages WHERE ((from_id = ?1 AND to_id = ?2) OR (from_id = ?2 AND to_id = ?1)) AND id > ?3 ORDER BY id LIMIT ?4",
    "UPDATE messages SET read = 1 WHERE from_id = ? AND to_id = ? AND id <= ? AND read = 0",
    "SELECT a.gamertag,"
    "  (SELECT COUNT(*) FROM messages u WHERE u.from_id = p.other AND u.to_id = ?1 AND u.read = 0),"
    "  (SELECT body FROM messages l WHERE (l.from_id = p.other AND l.to_id = ?1) OR (l.from_id = ?1 AND l.to_id = p.other) ORDER BY l.id DESC LIMIT 1)"
    " FROM (SELECT DISTINCT CASE WHEN from_id = ?1 THEN to_id ELSE from_id END AS other, MAX(id) AS newest"
    "       FROM messages WHERE from_id = ?1 OR to_id = ?1 GROUP BY other) p"
    " JOIN accounts a ON a.id = p.other ORDER BY p.newest DESC LIMIT 100",
};

// Set when a statement or transaction of this thread failed inside the
// database (busy past the timeout, disk full, corruption): the request then
// has no answer to give, which is not the same as "not found".
thread_local bool t_store_fault = false;

// Resets a statement when the call using it ends, whatever the path out.
struct Use
{
    sqlite3_stmt* s;
    explicit Use(sqlite3_stmt* stmt) : s(stmt) {}
    ~Use()
    {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    void Text(int i, const std::string& v) { sqlite3_bind_text(s, i, v.data(), (int)v.size(), SQLITE_TRANSIENT); }
    void Int(int i, int64_t v) { sqlite3_bind_int64(s, i, v); }
    int Step()
    {
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            t_store_fault = true;
            NoteStoreFault(std::string("SQLite: ") + sqlite3_errstr(rc));
        }
        return rc;
    }
    std::string ColumnText(int i)
    {
        const unsigned char* t = sqlite3_column_text(s, i);
        return t ? std::string((const char*)t, (size_t)sqlite3_column_bytes(s, i)) : std::string();
    }
};

} // namespace

const char* AccountMigrationSql(int from_version)
{
    return from_version >= 0 && from_version < kAccountSchemaVersion ? kMigrations[from_version] : nullptr;
}

struct AccountStore
{
    PgStore* pg = nullptr; // set: every call goes to the PostgreSQL store instead
    StoreCounters counters;
    std::mutex lock;
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt[StmtCount] = {};
    int version = 0;
};

namespace {

// Counts and times one public call. The fault mark gathers until taken, so
// only what this call adds counts as its error.
struct CallTimer
{
    AccountStore* store;
    int64_t start;
    bool earlier_fault;
    explicit CallTimer(AccountStore* s)
        : store(s),
          start(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                    .count()),
          earlier_fault(t_store_fault)
    {
        t_store_fault = false;
    }
    ~CallTimer()
    {
        const int64_t now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        store->counters.calls.fetch_add(1, std::memory_order_relaxed);
        if (t_store_fault)
            store->counters.errors.fetch_add(1, std::memory_order_relaxed);
        store->counters.call_time.Observe(now - start);
        t_store_fault = t_store_fault || earlier_fault;
    }
    CallTimer(const CallTimer&) = delete;
    CallTimer& operator=(const CallTimer&) = delete;
};

bool Exec(sqlite3* db, const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    t_store_fault = true;
    return false;
}

int UserVersion(sqlite3* db)
{
    sqlite3_stmt* s = nullptr;
    int v = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        v = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return v;
}

// The lower-case form SQLite's NOCASE compares by (ASCII letters only).
std::string NoCase(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return out;
}

// Every account's id and gamertag, oldest first (for the upgrades).
bool ReadGamertags(sqlite3* db, std::vector<std::pair<int64_t, std::string>>& accounts, std::string& error)
{
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT id, gamertag FROM accounts ORDER BY id", -1, &s, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const unsigned char* tag = sqlite3_column_text(s, 1);
        accounts.emplace_back(sqlite3_column_int64(s, 0), tag ? (const char*)tag : "");
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        error = sqlite3_errmsg(db);
    return rc == SQLITE_DONE;
}

// Before gamertags become unique regardless of case (schema 2), a version-1
// store may hold tags that differ only in case (a tag defaults to the
// username, so "bob" and another player's "Bob" met easily). The oldest
// account keeps its tag; each later one gets the first free numbered form,
// within the 20-byte limit ("Bob" -> "Bob2"). The player sees it from the
// next sign-in on (profile, lobby, friends' lists); the log names each change.
bool SettleGamertags(sqlite3* db, std::string& error)
{
    std::vector<std::pair<int64_t, std::string>> accounts;
    if (!ReadGamertags(db, accounts, error))
        return false;
    sqlite3_stmt* s = nullptr;
    std::set<std::string> taken;
    for (const auto& [id, tag] : accounts)
        taken.insert(NoCase(tag));
    std::set<std::string> kept;
    for (const auto& [id, tag] : accounts) {
        if (kept.insert(NoCase(tag)).second)
            continue;
        std::string renamed;
        for (int n = 2; renamed.empty() || taken.count(NoCase(renamed)); n++) {
            const std::string suffix = std::to_string(n);
            renamed = tag.substr(0, tag.size() + suffix.size() > 20 ? 20 - suffix.size() : tag.size()) + suffix;
        }
        taken.insert(NoCase(renamed));
        kept.insert(NoCase(renamed));
        if (sqlite3_prepare_v2(db, "UPDATE accounts SET gamertag = ? WHERE id = ?", -1, &s, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db);
            return false;
        }
        sqlite3_bind_text(s, 1, renamed.data(), (int)renamed.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, id);
        const int rc = sqlite3_step(s);
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE) {
            error = sqlite3_errmsg(db);
            return false;
        }
        fprintf(stderr, "kestrel-service: gamertag \"%s\" of account %lld is now \"%s\" (it clashed with an older one)\n",
                tag.c_str(), (long long)id, renamed.c_str());
    }
    return true;
}

// Schema 3: the key and skeleton of every stored gamertag; the names
// themselves stay as they are. Stored names were ASCII under a unique
// case-blind index, so their keys are unique too.
bool FillGamertagForms(sqlite3* db, std::string& error)
{
    std::vector<std::pair<int64_t, std::string>> accounts;
    if (!ReadGamertags(db, accounts, error))
        return false;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "UPDATE accounts SET gamertag_key = ?, gamertag_skeleton = ? WHERE id = ?",
                           -1, &s, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return false;
    }
    for (const auto& [id, tag] : accounts) {
        const GamertagForm f = GamertagForms(tag);
        sqlite3_reset(s);
        sqlite3_bind_text(s, 1, f.key.data(), (int)f.key.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, f.skeleton.data(), (int)f.skeleton.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 3, id);
        if (sqlite3_step(s) != SQLITE_DONE) {
            error = sqlite3_errmsg(db);
            sqlite3_finalize(s);
            return false;
        }
    }
    sqlite3_finalize(s);
    return Exec(db,
                "CREATE UNIQUE INDEX accounts_by_gamertag_key ON accounts(gamertag_key);"
                "CREATE INDEX accounts_by_gamertag_skeleton ON accounts(gamertag_skeleton);",
                error);
}

// Schema 4: the skeleton of every stored gamertag as typed.
bool FillTypedSkeletons(sqlite3* db, std::string& error)
{
    std::vector<std::pair<int64_t, std::string>> accounts;
    if (!ReadGamertags(db, accounts, error))
        return false;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "UPDATE accounts SET gamertag_skeleton_typed = ? WHERE id = ?", -1, &s, nullptr) !=
        SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return false;
    }
    for (const auto& [id, tag] : accounts) {
        const GamertagForm f = GamertagForms(tag);
        sqlite3_reset(s);
        sqlite3_bind_text(s, 1, f.typed_skeleton.data(), (int)f.typed_skeleton.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, id);
        if (sqlite3_step(s) != SQLITE_DONE) {
            error = sqlite3_errmsg(db);
            sqlite3_finalize(s);
            return false;
        }
    }
    sqlite3_finalize(s);
    return Exec(db, "CREATE INDEX accounts_by_gamertag_skeleton_typed ON accounts(gamertag_skeleton_typed);", error);
}

bool Migrate(sqlite3* db, int& version, std::string& error)
{
    version = UserVersion(db);
    if (version < 0) {
        error = "cannot read the schema version";
        return false;
    }
    if (version > kAccountSchemaVersion) {
        error = "the store was written by a newer kestrel-service (schema " + std::to_string(version) + ")";
        return false;
    }
    while (version < kAccountSchemaVersion) {
        // One transaction per step: a failed step leaves the store as it was.
        const std::string sql =
            std::string(kMigrations[version]) + "PRAGMA user_version = " + std::to_string(version + 1) + ";";
        std::string why;
        const bool ok = Exec(db, "BEGIN IMMEDIATE", why) && (version != 1 || SettleGamertags(db, why)) &&
                        Exec(db, sql.c_str(), why) && (version != 2 || FillGamertagForms(db, why)) &&
                        (version != 3 || FillTypedSkeletons(db, why)) &&
                        Exec(db, "COMMIT", why);
        if (!ok) {
            std::string ignored;
            Exec(db, "ROLLBACK", ignored);
            error = "cannot upgrade the store from schema " + std::to_string(version) + " to " +
                    std::to_string(version + 1) + " (it stays at " + std::to_string(version) + "): " + why;
            return false;
        }
        version++;
    }
    return true;
}

bool ReadAccount(Use& q, AccountRecord& out)
{
    if (q.Step() != SQLITE_ROW)
        return false;
    out.id = sqlite3_column_int64(q.s, 0);
    out.username = q.ColumnText(1);
    out.gamertag = q.ColumnText(2);
    out.email = q.ColumnText(3);
    out.password_hash = q.ColumnText(4);
    out.role = q.ColumnText(5);
    out.settings = q.ColumnText(6);
    out.email_verified = sqlite3_column_int(q.s, 7) != 0;
    return true;
}

bool FindByText(AccountStore* store, Stmt which, const std::string& key, AccountRecord& out)
{
    Use q(store->stmt[which]);
    q.Text(1, key);
    return ReadAccount(q, out);
}

// Either skeleton of the new name against either of a stored one.
bool FindBySkeletons(AccountStore* store, const GamertagForm& forms, AccountRecord& out)
{
    Use q(store->stmt[AccountBySkeleton]);
    q.Text(1, forms.skeleton);
    q.Text(2, forms.typed_skeleton);
    return ReadAccount(q, out);
}

bool Change(AccountStore* store, Use& q)
{
    return q.Step() == SQLITE_DONE && sqlite3_changes(store->db) > 0;
}

} // namespace

AccountStore* OpenAccountStore(const std::string& path, std::string& error)
{
    if (IsPostgresAddress(path)) {
        PgStore* pg = OpenPgStore(path, error);
        if (!pg)
            return nullptr;
        AccountStore* store = new AccountStore;
        store->pg = pg;
        store->counters.kind = "postgresql";
        return store;
    }
    AccountStore* store = new AccountStore;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &store->db, flags, nullptr) != SQLITE_OK) {
        error = store->db ? sqlite3_errmsg(store->db) : "out of memory";
        CloseAccountStore(store);
        return nullptr;
    }
    sqlite3_busy_timeout(store->db, 5000);
    if (!Exec(store->db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = ON;", error) ||
        !Migrate(store->db, store->version, error)) {
        CloseAccountStore(store);
        return nullptr;
    }
    for (int i = 0; i < StmtCount; i++) {
        if (sqlite3_prepare_v3(store->db, kSql[i], -1, SQLITE_PREPARE_PERSISTENT, &store->stmt[i], nullptr) !=
            SQLITE_OK) {
            error = std::string(sqlite3_errmsg(store->db)) + " in: " + kSql[i];
            CloseAccountStore(store);
            return nullptr;
        }
    }
    return store;
}

void CloseAccountStore(AccountStore* store)
{
    if (!store)
        return;
    ClosePgStore(store->pg);
    for (sqlite3_stmt* s : store->stmt)
        sqlite3_finalize(s);
    sqlite3_close(store->db);
    delete store;
}

void MarkStoreFault()
{
    t_store_fault = true;
}

bool TakeStoreFault()
{
    const bool fault = t_store_fault;
    t_store_fault = false;
    return fault;
}

const StoreCounters& AccountStoreCounters(AccountStore* store)
{
    return store->counters;
}

int AccountSchemaVersion(AccountStore* store)
{
    if (store->pg)
        return PgSchemaVersion(store->pg);
    return store->version;
}

CreateResult CreateAccount(AccountStore* store, AccountRecord& account, int64_t now)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::CreateAccount(store->pg, account, now);
    std::lock_guard<std::mutex> hold(store->lock);
    AccountRecord existing;
    if (FindByText(store, AccountByName, account.username, existing))
        return CreateResult::UsernameTaken;
    const GamertagForm forms = GamertagForms(account.gamertag);
    if (FindByText(store, AccountByGamertag, forms.key, existing))
        return CreateResult::GamertagTaken;
    if (!forms.skeleton.empty() && FindBySkeletons(store, forms, existing))
        return CreateResult::GamertagConfusable;
    if (FindByText(store, AccountByEmail, account.email, existing))
        return CreateResult::EmailTaken;
    Use q(store->stmt[InsertAccount]);
    q.Text(1, account.username);
    q.Text(2, account.gamertag);
    q.Text(3, account.email);
    q.Text(4, account.password_hash);
    q.Text(5, account.role);
    q.Int(6, now);
    q.Text(7, forms.key);
    q.Text(8, forms.skeleton);
    q.Text(9, forms.typed_skeleton);
    if (q.Step() != SQLITE_DONE)
        return CreateResult::Failed;
    account.id = sqlite3_last_insert_rowid(store->db);
    return CreateResult::Created;
}

bool FindAccountByName(AccountStore* store, const std::string& username, AccountRecord& out)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::FindAccountByName(store->pg, username, out);
    std::lock_guard<std::mutex> hold(store->lock);
    return FindByText(store, AccountByName, username, out);
}

bool FindAccountByEmail(AccountStore* store, const std::string& email, AccountRecord& out)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::FindAccountByEmail(store->pg, email, out);
    std::lock_guard<std::mutex> hold(store->lock);
    return FindByText(store, AccountByEmail, email, out);
}

bool FindAccountById(AccountStore* store, int64_t id, AccountRecord& out)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::FindAccountById(store->pg, id, out);
    std::lock_guard<std::mutex> hold(store->lock);
    Use q(store->stmt[AccountById]);
    q.Int(1, id);
    return ReadAccount(q, out);
}

namespace {

// UPDATE accounts SET <column> = text WHERE id = id
bool SetColumn(AccountStore* store, Stmt which, int64_t id, const std::string& text)
{
    std::lock_guard<std::mutex> hold(store->lock);
    Use q(store->stmt[which]);
    q.Text(1, text);
    q.Int(2, id);
    return Change(store, q);
}

} // namespace

bool SetAccountSettings(AccountStore* store, int64_t id, const std::string& settings)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::SetAccountSettings(store->pg, id, settings);
    return SetColumn(store, UpdateSettings, id, settings);
}

bool SetPasswordHash(AccountStore* store, int64_t id, const std::string& hash)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::SetPasswordHash(store->pg, id, hash);
    return SetColumn(store, UpdatePassword, id, hash);
}

bool SetEmailVerified(AccountStore* store, int64_t id)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::SetEmailVerified(store->pg, id);
    std::lock_guard<std::mutex> hold(store->lock);
    Use q(store->stmt[UpdateVerified]);
    q.Int(1, id);
    return q.Step() == SQLITE_DONE;
}

bool AddSession(AccountStore* store, int64_t account_id, const std::string& token_hash, int64_t now)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::AddSession(store->pg, account_id, token_hash, now);
    std::lock_guard<std::mutex> hold(store->lock);
    Use q(store->stmt[InsertSession]);
    q.Text(1, token_hash);
    q.Int(2, account_id);
    q.Int(3, now);
    q.Int(4, now);
    return q.Step() == SQLITE_DONE;
}

bool FindSession(AccountStore* store, const std::string& token_hash, int64_t now, int64_t max_idle_s,
                 AccountRecord& out)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::FindSession(store->pg, token_hash, now, max_idle_s, out);
    std::lock_guard<std::mutex> hold(store->lock);
    {
        Use purge(store->stmt[DeleteExpiredSessions]);
        purge.Int(1, now - max_idle_s);
        if (purge.Step() != SQLITE_DONE)
            return false; // the store is failing: no need to wait on it again
    }
    int64_t account_id = 0;
    {
        Use q(store->stmt[SessionAccount]);
        q.Text(1, token_hash);
        q.Int(2, now - max_idle_s);
        if (q.Step() != SQLITE_ROW)
            return false;
        account_id = sqlite3_column_int64(q.s, 0);
    }
    {
        Use touch(store->stmt[TouchSession]);
        touch.Int(1, now);
        touch.Text(2, token_hash);
        touch.Step();
    }
    Use q(store->stmt[AccountById]);
    q.Int(1, account_id);
    return ReadAccount(q, out);
}

void DeleteSessions(AccountStore* store, int64_t account_id)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::DeleteSessions(store->pg, account_id);
    std::lock_guard<std::mutex> hold(store->lock);
    Use q(store->stmt[DeleteAccountSessions]);
    q.Int(1, account_id);
    q.Step();
}

bool AddMailToken(AccountStore* store, int64_t account_id, const std::string& kind, const std::string& token_hash,
                  int64_t expires_at)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::AddMailToken(store->pg, account_id, kind, token_hash, expires_at);
    std::lock_guard<std::mutex> hold(store->lock);
    Use q(store->stmt[InsertMailToken]);
    q.Text(1, token_hash);
    q.Int(2, account_id);
    q.Text(3, kind);
    q.Int(4, expires_at);
    return q.Step() == SQLITE_DONE;
}

namespace {

bool LookUpMailToken(AccountStore* store, const std::string& kind, const std::string& token_hash, int64_t now,
                     int64_t& account_id)
{
    {
        Use purge(store->stmt[DeleteExpiredMailTokens]);
        purge.Int(1, now);
        if (purge.Step() != SQLITE_DONE)
            return false;
    }
    Use q(store->stmt[MailTokenAccount]);
    q.Text(1, token_hash);
    q.Text(2, kind);
    q.Int(3, now);
    if (q.Step() != SQLITE_ROW)
        return false;
    account_id = sqlite3_column_int64(q.s, 0);
    return true;
}

} // namespace

bool PeekMailToken(AccountStore* store, const std::string& kind, const std::string& token_hash, int64_t now,
                   int64_t& account_id)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::PeekMailToken(store->pg, kind, token_hash, now, account_id);
    std::lock_guard<std::mutex> hold(store->lock);
    return LookUpMailToken(store, kind, token_hash, now, account_id);
}

bool TakeMailToken(AccountStore* store, const std::string& kind, const std::string& token_hash, int64_t now,
                   int64_t& account_id)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::TakeMailToken(store->pg, kind, token_hash, now, account_id);
    std::lock_guard<std::mutex> hold(store->lock);
    if (!LookUpMailToken(store, kind, token_hash, now, account_id))
        return false;
    Use q(store->stmt[DeleteMailToken]);
    q.Text(1, token_hash);
    return Change(store, q);
}

bool FindAccountByGamertag(AccountStore* store, const std::string& gamertag, AccountRecord& out)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::FindAccountByGamertag(store->pg, gamertag, out);
    std::lock_guard<std::mutex> hold(store->lock);
    return FindByText(store, AccountByGamertag, GamertagForms(gamertag).key, out);
}

// ---------------------------------------------------------------------------
// Friends
// ---------------------------------------------------------------------------

namespace {

bool PairExists(AccountStore* store, Stmt which, int64_t a, int64_t b)
{
    Use q(store->stmt[which]);
    q.Int(1, a);
    q.Int(2, b);
    return q.Step() == SQLITE_ROW;
}

bool PairChange(AccountStore* store, Stmt which, int64_t a, int64_t b)
{
    Use q(store->stmt[which]);
    q.Int(1, a);
    q.Int(2, b);
    return Change(store, q);
}

bool PairInsert(AccountStore* store, Stmt which, int64_t a, int64_t b, int64_t now)
{
    Use q(store->stmt[which]);
    q.Int(1, a);
    q.Int(2, b);
    q.Int(3, now);
    return q.Step() == SQLITE_DONE;
}

bool Names(AccountStore* store, Stmt which, int64_t me, std::vector<std::string>& out)
{
    Use q(store->stmt[which]);
    q.Int(1, me);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
        out.push_back(q.ColumnText(0));
    return rc == SQLITE_DONE;
}

} // namespace

FriendLink GetFriendLink(AccountStore* store, int64_t me, int64_t other)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::GetFriendLink(store->pg, me, other);
    std::lock_guard<std::mutex> hold(store->lock);
    if (PairExists(store, FriendshipExists, me, other))
        return FriendLink::Friends;
    if (PairExists(store, RequestExists, me, other))
        return FriendLink::Asked;
    if (PairExists(store, RequestExists, other, me))
        return FriendLink::AskedBy;
    return FriendLink::None;
}

bool AddFriendRequest(AccountStore* store, int64_t from, int64_t to, int64_t now)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::AddFriendRequest(store->pg, from, to, now);
    std::lock_guard<std::mutex> hold(store->lock);
    return PairInsert(store, InsertRequest, from, to, now);
}

bool AcceptFriendRequest(AccountStore* store, int64_t me, int64_t other, int64_t now)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::AcceptFriendRequest(store->pg, me, other, now);
    std::lock_guard<std::mutex> hold(store->lock);
    std::string error;
    if (!Exec(store->db, "BEGIN IMMEDIATE", error))
        return false;
    const bool ok = PairChange(store, DeleteRequest, other, me) && PairInsert(store, InsertFriendship, me, other, now) &&
                    PairInsert(store, InsertFriendship, other, me, now);
    PairChange(store, DeleteRequest, me, other); // a request the other way is answered too
    return Exec(store->db, ok ? "COMMIT" : "ROLLBACK", error) && ok;
}

bool RemoveFriendLinks(AccountStore* store, int64_t me, int64_t other)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::RemoveFriendLinks(store->pg, me, other);
    std::lock_guard<std::mutex> hold(store->lock);
    std::string error;
    if (!Exec(store->db, "BEGIN IMMEDIATE", error))
        return false;
    bool any = PairChange(store, DeleteFriendship, me, other);
    any = PairChange(store, DeleteFriendship, other, me) || any;
    any = PairChange(store, DeleteRequest, me, other) || any;
    any = PairChange(store, DeleteRequest, other, me) || any;
    return Exec(store->db, "COMMIT", error) && any;
}

bool ListFriends(AccountStore* store, int64_t me, FriendLists& out)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::ListFriends(store->pg, me, out);
    std::lock_guard<std::mutex> hold(store->lock);
    return Names(store, SelectFriends, me, out.friends) && Names(store, SelectIncoming, me, out.incoming) &&
           Names(store, SelectOutgoing, me, out.outgoing);
}

// ---------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------

int64_t AddMessage(AccountStore* store, int64_t from, int64_t to, const std::string& body, int64_t now)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::AddMessage(store->pg, from, to, body, now);
    std::lock_guard<std::mutex> hold(store->lock);
    Use q(store->stmt[InsertMessage]);
    q.Int(1, from);
    q.Int(2, to);
    q.Text(3, body);
    q.Int(4, now);
    return q.Step() == SQLITE_DONE ? sqlite3_last_insert_rowid(store->db) : 0;
}

bool ReadConversation(AccountStore* store, int64_t me, int64_t partner, int64_t after_id, int limit,
                      std::vector<StoredMessage>& out)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::ReadConversation(store->pg, me, partner, after_id, limit, out);
    std::lock_guard<std::mutex> hold(store->lock);
    int64_t newest = 0;
    {
        Use q(store->stmt[SelectConversation]);
        q.Int(1, me);
        q.Int(2, partner);
        q.Int(3, after_id);
        q.Int(4, limit);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            StoredMessage m;
            m.id = sqlite3_column_int64(q.s, 0);
            m.mine = sqlite3_column_int64(q.s, 1) == me;
            m.body = q.ColumnText(2);
            newest = m.id;
            out.push_back(std::move(m));
        }
        if (rc != SQLITE_DONE)
            return false;
    }
    if (newest == 0)
        return true;
    Use mark(store->stmt[MarkRead]);
    mark.Int(1, partner);
    mark.Int(2, me);
    mark.Int(3, newest);
    return mark.Step() == SQLITE_DONE;
}

bool ListThreads(AccountStore* store, int64_t me, std::vector<ThreadSummary>& out)
{
    CallTimer timer(store);
    if (store->pg)
        return pg::ListThreads(store->pg, me, out);
    std::lock_guard<std::mutex> hold(store->lock);
    Use q(store->stmt[SelectThreads]);
    q.Int(1, me);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
        ThreadSummary t;
        t.gamertag = q.ColumnText(0);
        t.unread = sqlite3_column_int64(q.s, 1);
        t.last = q.ColumnText(2);
        out.push_back(std::move(t));
    }
    return rc == SQLITE_DONE;
}
