// The account store on both databases it runs on: SQLite on a real file and
// PostgreSQL on a real server, one fresh database per case.
#include "store/account_store.h"
#include "store/account_store_postgres.h"
#include "pg_server.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace {

enum class Db { Sqlite, Postgres };

std::string DbName(const testing::TestParamInfo<Db>& info)
{
    return info.param == Db::Sqlite ? "SQLite" : "PostgreSQL";
}

class Store : public testing::TestWithParam<Db>
{
protected:
    std::filesystem::path dir;
    std::string pg_uri;
    AccountStore* store = nullptr;

    void SetUp() override
    {
        TakeStoreFault(); // a mark an earlier case left on this thread
        std::random_device rd;
        dir = std::filesystem::temp_directory_path() / ("kestrel-store-" + std::to_string(rd()));
        std::filesystem::create_directories(dir);
        if (GetParam() == Db::Postgres) {
            std::string error;
            pg_uri = CreateTestDatabase(error);
            ASSERT_FALSE(pg_uri.empty()) << error;
        }
        Open();
    }
    void TearDown() override
    {
        CloseAccountStore(store);
        std::filesystem::remove_all(dir);
        if (!pg_uri.empty())
            DropTestDatabase(pg_uri);
    }
    std::string Path() const { return GetParam() == Db::Postgres ? pg_uri : (dir / "accounts.sqlite3").string(); }
    void Open()
    {
        std::string error;
        store = OpenAccountStore(Path(), error);
        ASSERT_NE(store, nullptr) << error;
    }
    // Runs SQL on the store's database from outside the store.
    void Raw(const std::string& sql)
    {
        if (GetParam() == Db::Postgres) {
            std::string error;
            ASSERT_TRUE(ExecOnDatabase(pg_uri, sql, error)) << error;
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    }
    AccountRecord Make(const std::string& name, const std::string& email)
    {
        AccountRecord a;
        a.username = name;
        a.gamertag = name + "_tag";
        a.email = email;
        a.password_hash = "$argon2id$fake";
        EXPECT_EQ(CreateAccount(store, a, 1000), CreateResult::Created);
        EXPECT_GT(a.id, 0);
        return a;
    }
};

class SqliteStore : public Store
{
};
class PostgresStore : public Store
{
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Db, Store, testing::Values(Db::Sqlite, Db::Postgres), DbName);
INSTANTIATE_TEST_SUITE_P(Db, SqliteStore, testing::Values(Db::Sqlite), DbName);
INSTANTIATE_TEST_SUITE_P(Db, PostgresStore, testing::Values(Db::Postgres), DbName);

TEST_P(Store, AccountsAreUniqueByNameAndAddressWhateverTheCase)
{
    const AccountRecord ann = Make("Ann", "ann@x.io");
    AccountRecord dup = ann;
    dup.username = "ANN";
    dup.email = "other@x.io";
    EXPECT_EQ(CreateAccount(store, dup, 1), CreateResult::UsernameTaken);
    dup.username = "bob";
    EXPECT_EQ(CreateAccount(store, dup, 1), CreateResult::GamertagTaken); // Ann's gamertag
    dup.gamertag = "bobby";
    dup.email = "ANN@X.IO";
    EXPECT_EQ(CreateAccount(store, dup, 1), CreateResult::EmailTaken);

    AccountRecord found;
    ASSERT_TRUE(FindAccountByName(store, "aNn", found));
    EXPECT_EQ(found.id, ann.id);
    EXPECT_EQ(found.username, "Ann");
    EXPECT_EQ(found.gamertag, "Ann_tag");
    EXPECT_EQ(found.role, "player");
    EXPECT_EQ(found.settings, "");
    EXPECT_FALSE(found.email_verified);
    ASSERT_TRUE(FindAccountByEmail(store, "Ann@X.io", found));
    EXPECT_EQ(found.id, ann.id);
    EXPECT_FALSE(FindAccountByName(store, "nobody", found));

    EXPECT_TRUE(SetAccountSettings(store, ann.id, "{\"hint\":false}"));
    EXPECT_TRUE(SetPasswordHash(store, ann.id, "$argon2id$new"));
    EXPECT_TRUE(SetEmailVerified(store, ann.id));
    EXPECT_FALSE(SetAccountSettings(store, 9999, "{}"));
    ASSERT_TRUE(FindAccountById(store, ann.id, found));
    EXPECT_EQ(found.settings, "{\"hint\":false}");
    EXPECT_EQ(found.password_hash, "$argon2id$new");
    EXPECT_TRUE(found.email_verified);
}

TEST_P(Store, SessionsLiveWhileUsedAndEndTogether)
{
    const AccountRecord ann = Make("ann", "a@x.io");
    ASSERT_TRUE(AddSession(store, ann.id, "h1", 100));
    ASSERT_TRUE(AddSession(store, ann.id, "h2", 100));
    AccountRecord found;
    EXPECT_TRUE(FindSession(store, "h1", 150, 60, found)); // used at 150
    EXPECT_EQ(found.username, "ann");
    EXPECT_TRUE(FindSession(store, "h1", 200, 60, found));  // 50 s idle
    EXPECT_FALSE(FindSession(store, "h2", 200, 60, found)); // 100 s idle: gone
    EXPECT_FALSE(FindSession(store, "h2", 150, 60, found)); // and purged
    EXPECT_FALSE(FindSession(store, "nope", 200, 60, found));
    DeleteSessions(store, ann.id);
    EXPECT_FALSE(FindSession(store, "h1", 201, 60, found));
}

TEST_P(Store, MailLinksWorkOnceAndExpire)
{
    const AccountRecord ann = Make("ann", "a@x.io");
    ASSERT_TRUE(AddMailToken(store, ann.id, "reset", "r1", 500));
    ASSERT_TRUE(AddMailToken(store, ann.id, "verify", "v1", 500));
    int64_t id = 0;
    EXPECT_FALSE(PeekMailToken(store, "verify", "r1", 100, id)); // a link is for its own kind only
    EXPECT_TRUE(PeekMailToken(store, "reset", "r1", 100, id));
    EXPECT_EQ(id, ann.id);
    EXPECT_TRUE(PeekMailToken(store, "reset", "r1", 100, id)); // peeking uses nothing up
    EXPECT_TRUE(TakeMailToken(store, "reset", "r1", 100, id));
    EXPECT_FALSE(TakeMailToken(store, "reset", "r1", 100, id));
    EXPECT_FALSE(PeekMailToken(store, "reset", "r1", 100, id));
    EXPECT_FALSE(TakeMailToken(store, "verify", "v1", 501, id)); // expired
}

TEST_P(Store, DataOutlivesTheProcessAtTheCurrentSchema)
{
    const AccountRecord ann = Make("ann", "a@x.io");
    ASSERT_TRUE(AddSession(store, ann.id, "h", 100));
    EXPECT_EQ(AccountSchemaVersion(store), kAccountSchemaVersion);
    CloseAccountStore(store);
    store = nullptr;
    Open();
    AccountRecord found;
    EXPECT_TRUE(FindSession(store, "h", 101, 60, found));
    EXPECT_EQ(found.id, ann.id);
}

TEST_P(SqliteStore, TheFileIsInWalMode)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ((const char*)sqlite3_column_text(s, 0), "wal");
    sqlite3_finalize(s);
    sqlite3_close(db);
}

TEST_P(Store, AStoreFromANewerServiceIsRefused)
{
    CloseAccountStore(store);
    store = nullptr;
    Raw(GetParam() == Db::Sqlite ? "PRAGMA user_version = 99" : "UPDATE kestrel_schema SET version = 99");
    std::string error;
    EXPECT_EQ(OpenAccountStore(Path(), error), nullptr);
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

namespace {

// A version-1 store as the first release wrote it, with these accounts
// (username, gamertag), ids in order; `extra` runs after, in the same file.
void WriteVersionOneStore(const std::string& path, const std::vector<std::pair<std::string, std::string>>& accounts,
                          const char* extra = "")
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, AccountMigrationSql(0), nullptr, nullptr, nullptr), SQLITE_OK);
    int n = 0;
    for (const auto& [user, tag] : accounts) {
        const std::string sql = "INSERT INTO accounts (username, gamertag, email, password_hash, created_at) VALUES ('" +
                                user + "', '" + tag + "', 'm" + std::to_string(n++) + "@x.io', 'h', 1)";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    ASSERT_EQ(sqlite3_exec(db, extra, nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 1", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

std::vector<std::string> StoredGamertags(const std::string& path, int& version)
{
    sqlite3* db = nullptr;
    std::vector<std::string> tags;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT gamertag FROM accounts ORDER BY id", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW)
        tags.push_back((const char*)sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr);
    version = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : -1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return tags;
}

} // namespace

// Gamertags that differ only in case (or a default tag equal to another
// player's) must not keep the service from starting: the oldest account
// keeps its tag, later ones get the first free numbered form.
TEST_P(SqliteStore, TheUpgradeToUniqueGamertagsSettlesClashesFirst)
{
    CloseAccountStore(store);
    store = nullptr;
    std::filesystem::remove(Path());
    WriteVersionOneStore(Path(), {{"bob", "bob"},
                                  {"robert", "Bob"},
                                  {"bob2", "bob2"},
                                  {"rob", "BOB"},
                                  {"long1", "abcdefghijklmnopqrst"},
                                  {"long2", "ABCDEFGHIJKLMNOPQRST"}});
    Open();
    EXPECT_EQ(AccountSchemaVersion(store), kAccountSchemaVersion);
    int version = 0;
    EXPECT_EQ(StoredGamertags(Path(), version),
              (std::vector<std::string>{"bob", "Bob3", "bob2", "BOB4", "abcdefghijklmnopqrst", "ABCDEFGHIJKLMNOPQRS2"}));
    AccountRecord found;
    ASSERT_TRUE(FindAccountByGamertag(store, "bob3", found));
    EXPECT_EQ(found.username, "robert");
}

TEST_P(SqliteStore, AFailedUpgradeLeavesTheStoreAsItWasAndSaysWhy)
{
    CloseAccountStore(store);
    store = nullptr;
    std::filesystem::remove(Path());
    // A table the next schema creates is already there: that step cannot run.
    WriteVersionOneStore(Path(), {{"bob", "bob"}, {"robert", "Bob"}}, "CREATE TABLE messages (x INTEGER);");
    std::string error;
    EXPECT_EQ(OpenAccountStore(Path(), error), nullptr);
    EXPECT_NE(error.find("from schema 1 to 2"), std::string::npos) << error;
    EXPECT_NE(error.find("messages"), std::string::npos) << error;
    int version = 0;
    EXPECT_EQ(StoredGamertags(Path(), version), (std::vector<std::string>{"bob", "Bob"}));
    EXPECT_EQ(version, 1);
}

// Upgrades run in one transaction per step on PostgreSQL too.
TEST_P(PostgresStore, AFailedUpgradeLeavesTheStoreAsItWasAndSaysWhy)
{
    CloseAccountStore(store);
    store = nullptr;
    Raw("DROP TABLE accounts, sessions, mail_tokens, friend_requests, friendships, messages;"
        "DROP FUNCTION kestrel_nocase; UPDATE kestrel_schema SET version = 0;");
    Raw(PgMigrationSql(0));
    Raw("UPDATE kestrel_schema SET version = 1; CREATE TABLE messages (x INTEGER);"
        "INSERT INTO accounts (username, gamertag, email, password_hash, created_at) VALUES ('bob', 'bob', 'b@x.io', 'h', 1)");
    std::string error;
    EXPECT_EQ(OpenAccountStore(Path(), error), nullptr);
    EXPECT_NE(error.find("from schema 1 to 2"), std::string::npos) << error;
    EXPECT_NE(error.find("messages"), std::string::npos) << error;

    // Nothing of the failed step stays: without the stray table it goes through.
    Raw("DROP TABLE messages");
    Open();
    EXPECT_EQ(AccountSchemaVersion(store), kAccountSchemaVersion);
    AccountRecord found;
    EXPECT_TRUE(FindAccountByGamertag(store, "BOB", found));
}

// Two service instances on one database: each sees what the other wrote, and
// when both create the same name at once exactly one gets it, the other hears
// it is taken (never a store failure).
TEST_P(PostgresStore, TwoInstancesShareAccountsAndRaceForANameFairly)
{
    std::string error;
    AccountStore* other = OpenAccountStore(Path(), error);
    ASSERT_NE(other, nullptr) << error;
    const AccountRecord ann = Make("ann", "a@x.io");
    ASSERT_TRUE(AddSession(store, ann.id, "h", 100));
    AccountRecord found;
    EXPECT_TRUE(FindSession(other, "h", 101, 60, found));
    EXPECT_EQ(found.username, "ann");
    int64_t id = 0;
    ASSERT_TRUE(AddMailToken(other, ann.id, "reset", "r", 500));
    EXPECT_TRUE(TakeMailToken(store, "reset", "r", 101, id));
    EXPECT_FALSE(TakeMailToken(other, "reset", "r", 101, id));
    EXPECT_FALSE(TakeStoreFault());

    for (int round = 0; round < 20; round++) {
        std::atomic<int> go{0};
        CreateResult results[2];
        bool faults[2];
        auto create = [&](AccountStore* s, int i) {
            AccountRecord a;
            a.username = "racer" + std::to_string(round);
            a.gamertag = "tag" + std::to_string(round) + "_" + std::to_string(i);
            a.email = "r" + std::to_string(round) + "_" + std::to_string(i) + "@x.io";
            a.password_hash = "h";
            go++;
            while (go.load() < 2) {
            }
            results[i] = CreateAccount(s, a, 1);
            faults[i] = TakeStoreFault();
        };
        std::thread t1(create, store, 0), t2(create, other, 1);
        t1.join();
        t2.join();
        EXPECT_FALSE(faults[0] || faults[1]) << "round " << round;
        const int created = (results[0] == CreateResult::Created) + (results[1] == CreateResult::Created);
        const int taken = (results[0] == CreateResult::UsernameTaken) + (results[1] == CreateResult::UsernameTaken);
        EXPECT_EQ(created, 1) << "round " << round;
        EXPECT_EQ(taken, 1) << "round " << round;
    }
    CloseAccountStore(other);
}

// A server that drops the store's connections: the call that meets the
// broken connection has no answer (a fault, not "not found"), and the next
// call connects again and answers.
TEST_P(PostgresStore, ALostConnectionIsNoAnswerAndTheNextCallReconnects)
{
    const AccountRecord ann = Make("ann", "a@x.io");
    AccountRecord found;
    ASSERT_TRUE(FindAccountByName(store, "ann", found));
    EXPECT_FALSE(TakeStoreFault());
    const uint64_t errors = AccountStoreCounters(store).errors.load();
    Raw("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() AND pid <> pg_backend_pid()");
    EXPECT_FALSE(FindAccountByName(store, "ann", found));
    EXPECT_TRUE(TakeStoreFault());
    EXPECT_EQ(AccountStoreCounters(store).errors.load(), errors + 1);
    EXPECT_TRUE(FindAccountByName(store, "ann", found));
    EXPECT_FALSE(TakeStoreFault());
    EXPECT_EQ(found.id, ann.id);
    EXPECT_FALSE(FindAccountByName(store, "nobody", found)); // not found is no fault
    EXPECT_FALSE(TakeStoreFault());
}

// Instances started together on an empty database: the upgrade runs once and
// every one of them opens the store.
TEST_P(PostgresStore, InstancesStartingTogetherOnAnEmptyDatabaseAllOpenIt)
{
    CloseAccountStore(store);
    store = nullptr;
    DropTestDatabase(pg_uri);
    std::string error;
    pg_uri = CreateTestDatabase(error);
    ASSERT_FALSE(pg_uri.empty()) << error;
    AccountStore* opened[4] = {};
    std::string errors[4];
    std::vector<std::thread> starts;
    for (int i = 0; i < 4; i++)
        starts.emplace_back([&, i] { opened[i] = OpenAccountStore(pg_uri, errors[i]); });
    for (std::thread& t : starts)
        t.join();
    for (int i = 0; i < 4; i++) {
        ASSERT_NE(opened[i], nullptr) << errors[i];
        EXPECT_EQ(AccountSchemaVersion(opened[i]), kAccountSchemaVersion);
    }
    store = opened[0];
    Make("ann", "a@x.io");
    AccountRecord found;
    EXPECT_TRUE(FindAccountByName(opened[3], "ANN", found));
    for (int i = 1; i < 4; i++)
        CloseAccountStore(opened[i]);
}
