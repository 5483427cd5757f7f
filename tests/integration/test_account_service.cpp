// The client core against the real kestrel-service: sign-up, sign-in and the
// saved session through the client's own workers and transport, mails and
// their pages, settings sync, limits, and the reply shape read through the
// client's scanners.
#include "app_reset.h"
#include "backend/account.h"
#include "backend/client_check.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/settings.h"
#include "pg_server.h"
#include "service_process.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

namespace {

const char* const kPassword = "Secret#9x";

std::string Body(std::initializer_list<std::pair<const char*, std::string>> members)
{
    std::string out = "{";
    for (const auto& [key, value] : members) {
        if (out.size() > 1)
            out += ",";
        out += std::string("\"") + key + "\":\"" + JsonEscape(value) + "\"";
    }
    return out + "}";
}

std::string Post(const wchar_t* path, const std::string& body, bool expect_200 = true)
{
    std::string reply;
    EXPECT_EQ(HttpPostJson(kAccountPort, path, body, reply), expect_200) << body.substr(0, 80) << " -> " << reply;
    return reply;
}

std::string Error(const std::string& reply)
{
    bool ok = true;
    EXPECT_TRUE(JsonGetBool(reply, "ok", ok)) << reply;
    EXPECT_FALSE(ok) << reply;
    return JsonGetString(reply, "error");
}

bool Ok(const std::string& reply)
{
    bool ok = false;
    return JsonGetBool(reply, "ok", ok) && ok;
}

std::string Slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every case runs on the embedded SQLite store and on a PostgreSQL server.
class AccountService : public testing::TestWithParam<bool>
{
protected:
    ServiceProcess service;
    std::string pg_uri;
    std::unique_ptr<GameDirectory> game;

    void SetUp() override
    {
        ResetAccountAreas();
        game = std::make_unique<GameDirectory>();
        if (GetParam()) {
            std::string error;
            pg_uri = CreateTestDatabase(error);
            ASSERT_FALSE(pg_uri.empty()) << error;
        }
        Start();
    }
    void TearDown() override
    {
        StopService(service);
        game.reset();
        if (!pg_uri.empty())
            DropTestDatabase(pg_uri);
    }
    void Start(std::vector<std::string> args = {})
    {
        if (!pg_uri.empty()) {
            args.push_back("--store");
            args.push_back(pg_uri);
        }
        ASSERT_TRUE(StartService(service, args)) << service.output;
    }

    // Sign-up or sign-in through the client's worker; the status it ends with.
    int32_t Worker(bool signup, const std::string& user, const std::string& password, const std::string& tag = "",
                   const std::string& email = "")
    {
        SignInWorker(signup, user, password, tag, email);
        return g_app.flags.auth_status.load();
    }
    std::string AuthMessage() { return Current().auth_message; }

    std::vector<std::string> Mails()
    {
        std::vector<std::filesystem::path> files;
        const std::filesystem::path dir = std::filesystem::path(service.data_dir) / "outbox";
        if (std::filesystem::exists(dir))
            for (const auto& e : std::filesystem::directory_iterator(dir))
                if (e.path().extension() == ".eml")
                    files.push_back(e.path());
        std::sort(files.begin(), files.end());
        std::vector<std::string> out;
        for (const auto& f : files)
            out.push_back(Slurp(f));
        return out;
    }
    // The token of the one-time link of `kind` in `mail`.
    static std::string LinkToken(const std::string& mail, const std::string& kind)
    {
        std::smatch m;
        const std::regex link("http://127\\.0\\.0\\.1:39001/" + kind + "\\?t=([0-9a-f]{64})");
        return std::regex_search(mail, m, link) ? m[1].str() : std::string();
    }

    // A fresh client process in the game directory (see login_probe.cpp).
    std::map<std::string, std::string> Probe()
    {
        const std::string cmd = BuiltProgram("tests/integration/kestrel_login_probe") + " " + game->root.string();
        FILE* p = popen(cmd.c_str(), "r");
        std::map<std::string, std::string> out;
        if (!p)
            return out;
        char line[1024];
        while (fgets(line, sizeof(line), p)) {
            std::string s(line);
            if (!s.empty() && s.back() == '\n')
                s.pop_back();
            const size_t eq = s.find('=');
            if (eq != std::string::npos)
                out[s.substr(0, eq)] = s.substr(eq + 1);
        }
        out["exit"] = std::to_string(pclose(p));
        return out;
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Store, AccountService, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "PostgreSQL" : "SQLite"; });

// ---------------------------------------------------------------------------
// Sign-up, sign-in and the login file
// ---------------------------------------------------------------------------

TEST_P(AccountService, SignUpThenSignInThroughTheClientWorkers)
{
    ASSERT_TRUE(StartSignIn(true, "ann_1", kPassword, "Annie", "ann@example.com"));
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.auth_status.load() != AuthRunning; }));
    ASSERT_EQ(g_app.flags.auth_status.load(), AuthSucceeded) << AuthMessage();
    const Identity first = Current();
    EXPECT_EQ(first.username, "ann_1");
    EXPECT_EQ(first.gamertag, "Annie");
    EXPECT_EQ(first.role, "player");
    EXPECT_FALSE(first.verified);
    EXPECT_EQ(first.token.size(), 64u);
    EXPECT_EQ(GameDirectory::Read(kLoginFileName), "{\"token\":\"" + first.token +
                                                       "\",\"username\":\"ann_1\",\"gamertag\":\"Annie\","
                                                       "\"role\":\"player\",\"verified\":false}");
    ASSERT_TRUE(FinishSignIn());
    EXPECT_EQ(DisplayName(), "Annie");
    EXPECT_EQ(g_app.shell.current_page, PageWelcome);

    // Signing in again gives a second session; both stay valid.
    ASSERT_EQ(Worker(false, "ANN_1", kPassword), AuthSucceeded) << AuthMessage();
    const Identity second = Current();
    EXPECT_NE(second.token, first.token);
    EXPECT_EQ(second.username, "ann_1"); // the stored spelling
    EXPECT_TRUE(Ok(Post(L"/session", Body({{"token", first.token}}))));
    EXPECT_TRUE(Ok(Post(L"/session", Body({{"token", second.token}}))));

    // The sign-up mailed a verification link.
    const auto mails = Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(mails[0].find("To: ann@example.com\r\n"), std::string::npos);
    EXPECT_EQ(LinkToken(mails[0], "verify").size(), 64u);
}

TEST_P(AccountService, EveryRefusalShowsItsOwnText)
{
    ASSERT_EQ(Worker(true, "bob", kPassword, "", "bob@example.com"), AuthSucceeded) << AuthMessage();
    EXPECT_EQ(Current().gamertag, "bob"); // no gamertag given: the username

    const std::pair<std::function<int32_t()>, std::string> cases[] = {
        {[&] { return Worker(false, "bob", "Wrong#pass"); }, "Wrong username or password."},
        {[&] { return Worker(false, "nobody", kPassword); }, "Wrong username or password."},
        {[&] { return Worker(false, "bob", ""); }, "Enter your username and password."},
        {[&] { return Worker(true, "carl", "weakpass", "", "c@example.com"); },
         "Password needs 8+ chars, one capital letter, one special character."},
        {[&] { return Worker(true, "carl", kPassword, "", "not-an-address"); }, "Enter a valid email address."},
        {[&] { return Worker(true, "BOB", kPassword, "", "b2@example.com"); }, "That username is taken."},
        {[&] { return Worker(true, "dan", kPassword, "", "BOB@example.com"); }, "That email address is already in use."},
        {[&] { return Worker(true, "x y", kPassword, "", "x@example.com"); },
         "Usernames are 3-20 letters, digits or underscores."},
        {[&] { return Worker(true, "eve", kPassword, "E\"ve", "e@example.com"); },
         "Gamertags are 3-20 letters or digits, \"_\" or \"-\"."},
    };
    for (const auto& [run, text] : cases) {
        EXPECT_EQ(run(), AuthFailed) << text;
        EXPECT_EQ(AuthMessage(), text);
    }
    EXPECT_EQ(Mails().size(), 1u); // only bob's own verification mail
}

// ---------------------------------------------------------------------------
// The saved session in a new process
// ---------------------------------------------------------------------------

TEST_P(AccountService, ANewProcessRestoresTheLoginAndTheCheckRefreshesTheNames)
{
    ASSERT_EQ(Worker(true, "cara", kPassword, "CaraTag", "cara@example.com"), AuthSucceeded) << AuthMessage();
    const std::string token = Current().token;
    // A file from an older name: the check refreshes the names but not the shown name.
    GameDirectory::Write(kLoginFileName, "{\"token\":\"" + token +
                                             "\",\"username\":\"old\",\"gamertag\":\"OldTag\",\"role\":\"r\","
                                             "\"verified\":true}");
    auto p = Probe();
    EXPECT_EQ(p["exit"], "0");
    EXPECT_EQ(p["restored"], "1");
    EXPECT_EQ(p["token"], token);
    EXPECT_EQ(p["username"], "cara");
    EXPECT_EQ(p["gamertag"], "CaraTag");
    EXPECT_EQ(p["role"], "player");
    EXPECT_EQ(p["verified"], "0");
    EXPECT_EQ(p["display_name"], "OldTag");
    EXPECT_EQ(p["is_guest"], "0");
    EXPECT_EQ(p["page"], "1");
    EXPECT_EQ(p["login_file"], "1");
}

TEST_P(AccountService, ARefusedTokenSignsOutAndDeletesTheFile)
{
    GameDirectory::Write(kLoginFileName, "{\"token\":\"" + std::string(64, 'a') +
                                             "\",\"username\":\"ghost\",\"gamertag\":\"Ghost\",\"role\":\"player\","
                                             "\"verified\":false}");
    auto p = Probe();
    EXPECT_EQ(p["exit"], "0");
    EXPECT_EQ(p["restored"], "1");
    EXPECT_EQ(p["token"], "");
    EXPECT_EQ(p["username"], "");
    EXPECT_EQ(p["display_name"], "Guest");
    EXPECT_EQ(p["is_guest"], "1");
    EXPECT_EQ(p["pending_page"], "0");
    EXPECT_EQ(p["login_file"], "0");
    EXPECT_FALSE(GameDirectory::Exists(kLoginFileName));
}

TEST_P(AccountService, AnUnreachableServiceLeavesTheSavedIdentityInPlace)
{
    ASSERT_EQ(Worker(true, "dora", kPassword, "Dora", "dora@example.com"), AuthSucceeded) << AuthMessage();
    const std::string saved = GameDirectory::Read(kLoginFileName);
    StopService(service);
    auto p = Probe();
    EXPECT_EQ(p["exit"], "0");
    EXPECT_EQ(p["restored"], "1");
    EXPECT_EQ(p["username"], "dora");
    EXPECT_EQ(p["gamertag"], "Dora");
    EXPECT_EQ(p["display_name"], "Dora");
    EXPECT_EQ(p["is_guest"], "0");
    EXPECT_EQ(p["login_file"], "1");
    EXPECT_EQ(GameDirectory::Read(kLoginFileName), saved);
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

TEST_P(AccountService, UploadedSettingsComeBackWithTheNextSignIn)
{
    ASSERT_EQ(Worker(true, "emma", kPassword, "", "emma@example.com"), AuthSucceeded) << AuthMessage();
    ASSERT_TRUE(FinishSignIn());
    ApplyPendingSettings(); // the new account's record is empty: nothing changes
    EXPECT_FLOAT_EQ(g_app.settings.snd_vol_pct, 0.55f);

    g_app.settings.snd_vol_pct = 0.2f;
    g_app.settings.toggle_vk = 0x70;
    g_app.settings.notif_style = 2;
    g_app.settings.hint = false;
    const std::string uploaded = BuildSettingsJson();
    MarkSettingsChanged(0);
    ASSERT_TRUE(UploadSettingsIfDue(1100000000));
    const std::string token = Current().token;
    ASSERT_TRUE(WaitUntil([&] {
        return JsonGetString(Post(L"/session", Body({{"token", token}})), "settings") == uploaded;
    }));

    g_app.settings = SettingsRecord{};
    ASSERT_EQ(Worker(false, "emma", kPassword), AuthSucceeded) << AuthMessage();
    ApplyPendingSettings();
    EXPECT_FLOAT_EQ(g_app.settings.snd_vol_pct, 0.2f);
    EXPECT_EQ(g_app.settings.toggle_vk, 0x70);
    EXPECT_EQ(g_app.settings.notif_style, 2);
    EXPECT_FALSE(g_app.settings.hint);
    EXPECT_EQ(BuildSettingsJson(), uploaded);
}

TEST_P(AccountService, AGuestUploadsNothing)
{
    ASSERT_EQ(Worker(true, "finn", kPassword, "", "finn@example.com"), AuthSucceeded) << AuthMessage();
    const std::string token = Current().token;
    ContinueAsGuest(); // the token is still held, but the player chose to be a guest
    MarkSettingsChanged(0);
    EXPECT_FALSE(UploadSettingsIfDue(5000000000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(JsonGetString(Post(L"/session", Body({{"token", token}})), "settings"), "");
}

TEST_P(AccountService, OnlyAJsonObjectIsStoredAsSettingsAndOnlyForALiveSession)
{
    ASSERT_EQ(Worker(true, "gail", kPassword, "", "gail@example.com"), AuthSucceeded) << AuthMessage();
    const std::string token = Current().token;
    EXPECT_EQ(Error(Post(L"/settings/set", Body({{"token", token}, {"settings", "[1,2]"}}))),
              "Settings must be a JSON object.");
    EXPECT_EQ(Error(Post(L"/settings/set", Body({{"token", token}, {"settings", "gail"}}))),
              "Settings must be a JSON object.");
    EXPECT_EQ(Error(Post(L"/settings/set", Body({{"token", std::string(64, 'b')}, {"settings", "{}"}}))),
              "Session expired. Please sign in again.");
    EXPECT_EQ(Error(Post(L"/settings/set", Body({{"token", token}, {"settings", std::string(5000, ' ')}}))),
              "A field is too long.");
    EXPECT_EQ(JsonGetString(Post(L"/session", Body({{"token", token}})), "settings"), "");
}

// ---------------------------------------------------------------------------
// The reply shape, read by the client's scanners
// ---------------------------------------------------------------------------

// Every member name the client reads, reply by reply: as a username or a
// gamertag, in any letter case, it is refused with one fixed text.
TEST_P(AccountService, NamesSpelledLikeAMemberTheClientReadsAreRefused)
{
    const std::vector<std::vector<std::string>> replies = {
        {"ok", "error", "username", "gamertag", "role", "email_verified", "token", "settings"}, // account
        {"friends", "incoming", "outgoing", "gamertag"},                                       // friends list
        {"threads", "gamertag", "unread", "last"},                                             // threads
        {"messages", "id", "mine", "body"},                                                    // conversation
        {"code", "role", "chapter_label", "stage", "mod"},                                      // room
        {"my_ready", "peer_ready", "started", "peer"},                                         // heartbeat, ready
        {"messages", "id", "role", "name", "body"},                                            // lobby chat
        {"rooms", "code", "players", "max", "name", "host"},                                   // room list
    };
    int n = 0;
    for (const auto& members : replies)
        for (const std::string& member : members) {
            std::string upper = member;
            for (char& c : upper)
                c = (char)toupper(c);
            for (const auto& [user, tag] : std::vector<std::pair<std::string, std::string>>{
                     {member, ""}, {"user_" + std::to_string(n), upper}, {upper, "tag_" + std::to_string(n)}}) {
                const std::string email = "r" + std::to_string(n++) + "@example.com";
                const std::string reply = Post(L"/signup", Body({{"username", user}, {"gamertag", tag},
                                                                 {"password", kPassword}, {"email", email}}));
                if (member.size() >= 3)
                    EXPECT_EQ(Error(reply), "That name is reserved. Choose another.") << user << " / " << tag;
                else
                    EXPECT_FALSE(Ok(reply)) << reply; // too short to be a name at all
            }
        }
}

// Names next to member names are fine, and every reply reads right.
TEST_P(AccountService, RepliesReadRightWhenNamesComeCloseToMemberNames)
{
    const std::pair<std::string, std::string> names[] = {
        {"gamertags", "username_"}, {"usernames", "gamertag1"}, {"settings_", "tokens"}, {"token_", "my_settings"},
        {"roles", "email_verified_"}, {"verified", "tokens_"}, {"errors", "roles_"}, {"ok_", "error_"}};
    int n = 0;
    for (const auto& [user, tag] : names) {
        const std::string email = "u" + std::to_string(n++) + "@example.com";
        const std::string up = Post(L"/signup", Body({{"username", user}, {"gamertag", tag}, {"password", kPassword},
                                                      {"email", email}}));
        const std::string settings = "{\"hint\":false,\"note\":\"" + user + "\"}";
        for (const std::string& reply :
             {up, Post(L"/login", Body({{"username", user}, {"password", kPassword}}))}) {
            EXPECT_TRUE(Ok(reply)) << reply;
            EXPECT_EQ(JsonGetString(reply, "username"), user) << reply;
            EXPECT_EQ(JsonGetString(reply, "gamertag"), tag) << reply;
            EXPECT_EQ(JsonGetString(reply, "role"), "player") << reply;
            EXPECT_EQ(JsonGetString(reply, "token").size(), 64u) << reply;
            bool verified = true;
            EXPECT_TRUE(JsonGetBool(reply, "email_verified", verified)) << reply;
            EXPECT_FALSE(verified);
        }
        const std::string token = JsonGetString(up, "token");
        EXPECT_TRUE(Ok(Post(L"/settings/set", Body({{"token", token}, {"settings", settings}}))));
        const std::string session = Post(L"/session", Body({{"token", token}}));
        EXPECT_TRUE(Ok(session)) << session;
        EXPECT_EQ(JsonGetString(session, "settings"), settings) << session;
        EXPECT_EQ(JsonGetString(session, "username"), user) << session;
        EXPECT_EQ(JsonGetString(session, "gamertag"), tag) << session;
        EXPECT_EQ(session.find("\"token\":"), std::string::npos) << session; // no new token

        // And through the workers, which write the login file.
        ResetAccountAreas();
        ASSERT_EQ(Worker(false, user, kPassword), AuthSucceeded) << AuthMessage();
        EXPECT_EQ(Current().username, user);
        EXPECT_EQ(Current().gamertag, tag);
        std::lock_guard<std::mutex> hold(g_app.settings_sync.lock);
        EXPECT_EQ(g_app.settings_sync.pending, settings);
    }
}

// Another connection holds the store's lock past the service's wait: the
// service has no answer, and says so with a status the client reads as "no
// answer", so a saved session is kept, not signed out.
TEST_P(AccountService, AStoreThatCannotAnswerIsNoAnswerNotARefusal)
{
    const std::string token = JsonGetString(Post(L"/signup", Body({{"username", "lee"}, {"password", kPassword},
                                                                 {"email", "lee@example.com"}})),
                                            "token");
    ASSERT_EQ(token.size(), 64u);
    sqlite3* locker = nullptr;
    PGconn* pg_locker = nullptr;
    if (GetParam()) {
        pg_locker = PQconnectdb(pg_uri.c_str());
        PGresult* r = PQexec(pg_locker, "BEGIN; LOCK TABLE accounts, friendships IN ACCESS EXCLUSIVE MODE");
        ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(pg_locker);
        PQclear(r);
    } else {
        ASSERT_EQ(sqlite3_open((service.data_dir + "/accounts.sqlite3").c_str(), &locker), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }

    httplib::Client web("127.0.0.1", 39001);
    web.set_read_timeout(15, 0);
    const auto list = web.Post("/friends/list", Body({{"token", token}}), "application/json");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 503) << list->body;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        g_app.account.token = token;
    }
    SessionCheckWorker(token);
    EXPECT_FALSE(g_app.flags.session_expired.load());

    if (pg_locker) {
        PQfinish(pg_locker); // ends its transaction
    } else {
        sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(locker);
    }
    EXPECT_TRUE(Ok(Post(L"/session", Body({{"token", token}}))));
}

// ---------------------------------------------------------------------------
// Reset and verify mails, and their pages
// ---------------------------------------------------------------------------

TEST_P(AccountService, AResetLinkSetsANewPasswordOnceAndEndsOldSessions)
{
    ASSERT_EQ(Worker(true, "hal", kPassword, "", "hal@example.com"), AuthSucceeded) << AuthMessage();
    const std::string old_token = Current().token;
    ASSERT_TRUE(StartAccountRequest(L"/request-reset", "HAL@example.com", kResetDoneText));
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.request_status.load() == RequestDone; }));
    // An address without an account gets the same answer and no mail.
    EXPECT_TRUE(Ok(Post(L"/request-reset", Body({{"username", "nobody@example.com"}}))));

    const auto mails = Mails();
    ASSERT_EQ(mails.size(), 2u); // verification at sign-up, then the reset
    EXPECT_NE(mails[1].find("To: hal@example.com\r\n"), std::string::npos);
    const std::string t = LinkToken(mails[1], "reset");
    ASSERT_EQ(t.size(), 64u) << mails[1];

    httplib::Client web("127.0.0.1", 39001);
    auto page = web.Get(("/reset?t=" + t).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("name=\"password\""), std::string::npos);
    EXPECT_NE(web.Get(("/reset?t=" + std::string(64, 'c')).c_str())->body.find("expired"), std::string::npos);

    auto weak = web.Post("/reset", httplib::Params{{"t", t}, {"password", "weak"}});
    ASSERT_TRUE(weak);
    EXPECT_NE(weak->body.find("8+ chars, one capital letter, one special character."), std::string::npos);
    auto done = web.Post("/reset", httplib::Params{{"t", t}, {"password", "Brand&New9"}});
    ASSERT_TRUE(done);
    EXPECT_NE(done->body.find("Your password was changed."), std::string::npos) << done->body;
    auto again = web.Post("/reset", httplib::Params{{"t", t}, {"password", "Other&New9"}});
    ASSERT_TRUE(again);
    EXPECT_NE(again->body.find("expired or was already used"), std::string::npos);

    EXPECT_EQ(Error(Post(L"/session", Body({{"token", old_token}}))), "Session expired. Please sign in again.");
    EXPECT_EQ(Worker(false, "hal", kPassword), AuthFailed);
    EXPECT_EQ(Worker(false, "hal", "Brand&New9"), AuthSucceeded) << AuthMessage();
}

TEST_P(AccountService, AVerifyLinkConfirmsTheAddressOnce)
{
    ASSERT_EQ(Worker(true, "ivy", kPassword, "", "ivy@example.com"), AuthSucceeded) << AuthMessage();
    const std::string token = Current().token;
    // A second request within the minute sends no second mail, and says the same.
    ASSERT_TRUE(StartAccountRequest(L"/request-verify", "ivy", kVerifyDoneText));
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.request_status.load() == RequestDone; }));
    const auto mails = Mails();
    ASSERT_EQ(mails.size(), 1u);
    const std::string t = LinkToken(mails[0], "verify");
    ASSERT_EQ(t.size(), 64u);

    httplib::Client web("127.0.0.1", 39001);
    auto page = web.Get(("/verify?t=" + t).c_str());
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("action=\"/verify\""), std::string::npos);
    bool verified = true;
    JsonGetBool(Post(L"/session", Body({{"token", token}})), "email_verified", verified);
    EXPECT_FALSE(verified); // opening the page alone confirms nothing
    auto done = web.Post("/verify", httplib::Params{{"t", t}});
    ASSERT_TRUE(done);
    EXPECT_NE(done->body.find("Your email address is confirmed."), std::string::npos);
    EXPECT_NE(web.Post("/verify", httplib::Params{{"t", t}})->body.find("expired"), std::string::npos);

    SessionCheckWorker(token);
    EXPECT_FALSE(g_app.flags.session_expired.load());
    EXPECT_TRUE(Current().verified);
    // Verified accounts get no further verification mails.
    EXPECT_TRUE(Ok(Post(L"/request-verify", Body({{"username", "ivy"}}))));
    EXPECT_EQ(Mails().size(), 1u);
}

// ---------------------------------------------------------------------------
// Limits, the sign-in brake and the client check
// ---------------------------------------------------------------------------

TEST_P(AccountService, OversizedOrMalformedRequestsGetClearAnswers)
{
    EXPECT_EQ(Error(Post(L"/login", Body({{"username", "x"}, {"password", std::string(9000, 'p')}}))),
              "Request too large.");
    std::string reply;
    EXPECT_FALSE(HttpPostJson(kAccountPort, L"/login", std::string(70000, ' '), reply));
    EXPECT_EQ(JsonGetString(reply, "error"), "Request too large.");
    EXPECT_EQ(Error(Post(L"/login", Body({{"username", std::string(100, 'u')}, {"password", "p"}}))),
              "A field is too long.");
    EXPECT_EQ(Error(Post(L"/login", "[\"not\",\"an\",\"object\"]")), "Bad request.");
    EXPECT_EQ(Error(Post(L"/login", "{\"username\":5,\"password\":\"p\"}")), "Bad request.");
    EXPECT_EQ(Error(Post(L"/login", "{\"username\":\"trunc")), "Bad request.");
    EXPECT_EQ(Error(Post(L"/signup", Body({{"username", "joe"}, {"password", kPassword}, {"email", "j@example.com"},
                                           {"gamertag", std::string(65, 'g')}}))),
              "A field is too long.");
    reply.clear();
    EXPECT_FALSE(HttpPostJson(kAccountPort, L"/no-such-path", "{}", reply));
    EXPECT_EQ(JsonGetString(reply, "error"), "Not found.");
}

TEST_P(AccountService, RepeatedFailedSignInsAreRefusedForAWhile)
{
    ASSERT_EQ(Worker(true, "kim", kPassword, "", "kim@example.com"), AuthSucceeded) << AuthMessage();
    ASSERT_EQ(Worker(true, "lee", kPassword, "", "lee@example.com"), AuthSucceeded) << AuthMessage();
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(Worker(false, "kim", "Guess#" + std::to_string(i)), AuthFailed);
        EXPECT_EQ(AuthMessage(), "Wrong username or password.");
    }
    EXPECT_EQ(Worker(false, "KIM", kPassword), AuthFailed); // even the right password, for now
    EXPECT_EQ(AuthMessage(), "Too many failed sign-ins. Try again in a few minutes.");
    EXPECT_EQ(Worker(false, "lee", kPassword), AuthSucceeded) << AuthMessage();
}

TEST_P(AccountService, TheClientCheckAllowsTheConfiguredChannels)
{
    ClientCheckWorker();
    EXPECT_FALSE(g_app.update_notice.update_required.load());
    EXPECT_TRUE(Ok(Post(L"/clientcheck", Body({{"channel", "beta2"}}))));

    StopService(service);
    Start({"--channels", "beta3,beta4"});
    EXPECT_TRUE(Ok(Post(L"/clientcheck", Body({{"channel", "beta4"}}))));
    ClientCheckWorker();
    EXPECT_TRUE(g_app.update_notice.update_required.load());
    std::lock_guard<std::mutex> hold(g_app.update_notice.lock);
    EXPECT_EQ(g_app.update_notice.update_message,
              "This client is no longer supported. Download the latest version to keep playing.");
}

// Gamertags in the players' own scripts, through the client's scanners: the
// account replies, the login file and a friends list read them back whole;
// case-folded and look-alike doubles and mixed scripts are refused, and so
// are spellings that fold to a member name the client reads.
TEST_P(AccountService, GamertagsInEveryScriptReadRightAndTheirDoublesAreRefused)
{
    const std::vector<std::string> tags = {"Zoë_Łukasiewicz", "Дмитрий", "Νίκη", "Nguyễn-Văn-An", "佐藤花子", "김민준"};
    std::vector<std::string> tokens;
    int n = 0;
    for (const std::string& tag : tags) {
        const std::string user = "player" + std::to_string(n);
        const std::string reply = Post(L"/signup", Body({{"username", user}, {"gamertag", tag}, {"password", kPassword},
                                                         {"email", "p" + std::to_string(n++) + "@example.com"}}));
        ASSERT_TRUE(Ok(reply)) << tag << ": " << reply;
        EXPECT_EQ(JsonGetString(reply, "gamertag"), tag);
        EXPECT_EQ(JsonGetString(reply, "username"), user);
        EXPECT_EQ(JsonGetString(reply, "token").size(), 64u);
        tokens.push_back(JsonGetString(reply, "token"));
        const std::string session = Post(L"/session", Body({{"token", tokens.back()}}));
        EXPECT_EQ(JsonGetString(session, "gamertag"), tag) << session;
    }
    // The worker takes the name over and the login file keeps it whole.
    ResetAccountAreas();
    ASSERT_EQ(Worker(false, "player1", kPassword), AuthSucceeded) << AuthMessage();
    EXPECT_EQ(Current().gamertag, "Дмитрий");
    EXPECT_NE(Slurp(game->root / "reframework/data/Kestrel_login.json").find("\"gamertag\":\"Дмитрий\""),
              std::string::npos);

    // Friends find each other by any case of the name; the list reads whole.
    EXPECT_TRUE(Ok(Post(L"/friends/add", Body({{"token", tokens[0]}, {"gamertag", "ДМИТРИЙ"}}))));
    const std::string out = Post(L"/friends/list", Body({{"token", tokens[0]}}));
    EXPECT_NE(out.find("\"outgoing\":[{\"gamertag\":\"Дмитрий\"}]"), std::string::npos) << out;
    const std::vector<std::string> sent = JsonGetObjectArray(out, "outgoing");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(JsonGetString(sent[0], "gamertag"), "Дмитрий");
    EXPECT_TRUE(Ok(out));

    const struct { std::string tag; std::string error; } refused[] = {
        {"дмитрий", "That gamertag is taken."},
        {"ΝΊΚΗ", "That gamertag is taken."},
        {"Nguye\xCC\x82\xCC\x83n-Văn-An", "That gamertag is taken."}, // the same name, decomposed
        {"Ζοë", "A gamertag keeps to one script: letters that look alike from two scripts are not allowed."},
        {"Дmитрий", "A gamertag keeps to one script: letters that look alike from two scripts are not allowed."},
        {"ＴＯＫＥＮ", "That name is reserved. Choose another."},     // full-width, folds to token
        {"Ｓｅｔｔｉｎｇｓ", "That name is reserved. Choose another."},
    };
    for (const auto& r : refused) {
        const std::string reply = Post(L"/signup", Body({{"username", "late" + std::to_string(n)}, {"gamertag", r.tag},
                                                         {"password", kPassword},
                                                         {"email", "l" + std::to_string(n++) + "@example.com"}}));
        EXPECT_EQ(Error(reply), r.error) << r.tag;
    }
    // Sign-in names stay ASCII.
    EXPECT_EQ(Error(Post(L"/signup", Body({{"username", "Дмитрий2"}, {"password", kPassword},
                                           {"email", "x@example.com"}}))),
              "Usernames are 3-20 letters, digits or underscores.");
}
