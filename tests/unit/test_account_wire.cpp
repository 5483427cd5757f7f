// The account workers against a scripted account port: request bodies, how
// each kind of answer lands in the state, and the login file.
#include "backend/account.h"
#include "backend/json_text.h"
#include "backend/settings.h"
#include "wire_fixture.h"

#include <atomic>
#include <condition_variable>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char* const kAccepted = "{\"ok\":true,\"email_verified\":true,\"token\":\"tok-1\",\"role\":\"admin\","
                              "\"settings\":\"{\\\"snd_vol_pct\\\":20}\",\"username\":\"ann\",\"gamertag\":\"Annie\"}";

void SetIdentity(const std::string& token, const std::string& username, const std::string& gamertag)
{
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    g_app.account.token = token;
    g_app.account.username = username;
    g_app.account.gamertag = gamertag;
}

std::string PendingSettings()
{
    std::lock_guard<std::mutex> hold(g_app.settings_sync.lock);
    return g_app.settings_sync.pending;
}

} // namespace

using AccountWire = Wire;

// ---------------------------------------------------------------------------
// Sign-in and sign-up
// ---------------------------------------------------------------------------

TEST_F(AccountWire, SignInStoresTheIdentitySavesTheFileAndHandsOverTheSettings)
{
    Answer(200, kAccepted);
    ASSERT_TRUE(StartSignIn(false, "ann", "Secret!1\"", "ignored", "ignored"));
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.auth_status.load() == AuthSucceeded; }));

    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/login");
    EXPECT_EQ(requests[0].body, "{\"username\":\"ann\",\"password\":\"Secret!1\\\"\"}");

    const Identity id = Current();
    EXPECT_EQ(id.token, "tok-1");
    EXPECT_EQ(id.username, "ann");
    EXPECT_EQ(id.gamertag, "Annie");
    EXPECT_EQ(id.role, "admin");
    EXPECT_TRUE(id.verified);
    EXPECT_EQ(GameDirectory::Read(kLoginFileName),
              "{\"token\":\"tok-1\",\"username\":\"ann\",\"gamertag\":\"Annie\",\"role\":\"admin\",\"verified\":true}");
    EXPECT_TRUE(g_app.flags.settings_arrived.load());
    EXPECT_EQ(PendingSettings(), "{\"snd_vol_pct\":20}");

    // The frame takes it over: the welcome page at once, named after the gamertag.
    g_app.shell.pending_page = PageHome;
    g_app.shell.page_fade = 0.3f;
    ASSERT_TRUE(FinishSignIn());
    EXPECT_FALSE(FinishSignIn());
    EXPECT_EQ(DisplayName(), "Annie");
    EXPECT_FALSE(g_app.account.is_guest);
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthIdle);
    EXPECT_EQ(g_app.shell.current_page, PageWelcome);
    EXPECT_EQ(g_app.shell.pending_page, -1);
    EXPECT_EQ(g_app.shell.page_fade, 1.0f);
}

#ifndef _WIN32
// A disk that does not take the login file (a pipe nobody reads stands in for
// it) stalls the worker, never a frame: the account fields stay readable, and
// the file arrives whole once the disk moves.
TEST_F(AccountWire, TheLoginFileIsWrittenOutsideTheStateLock)
{
    const std::string login = GameDirectory::Data(kLoginFileName).string();
    for (const std::string& path : {login, login + ".tmp"})
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    Answer(200, kAccepted);
    ASSERT_TRUE(StartSignIn(false, "ann", "Secret!1\"", "", ""));
    ASSERT_TRUE(WaitUntil([this] { return Requests().size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the worker is now stuck in the write
    {
        std::unique_lock<std::mutex> free(g_app.account.lock, std::try_to_lock);
        EXPECT_TRUE(free.owns_lock());
    }
    std::string text;
    for (const std::string& path : {login + ".tmp", login}) { // whichever the writer waits on
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        for (int i = 0; fd >= 0 && i < 200; i++) {
            char buf[512];
            const ssize_t n = read(fd, buf, sizeof(buf));
            if (n > 0)
                text.append(buf, (size_t)n);
            else if (n == 0 && !text.empty())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (fd >= 0)
            close(fd);
    }
    EXPECT_EQ(text, "{\"token\":\"tok-1\",\"username\":\"ann\",\"gamertag\":\"Annie\",\"role\":\"admin\",\"verified\":true}");
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.auth_status.load() == AuthSucceeded; }));
    EXPECT_EQ(Current().token, "tok-1");
}
#endif

TEST_F(AccountWire, SignUpSendsItsFourMembersInOrder)
{
    Answer(200, kAccepted);
    SignInWorker(true, "ann", "pw", "An\tnie", "a@b.c");
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/signup");
    EXPECT_EQ(requests[0].body, "{\"username\":\"ann\",\"gamertag\":\"An\\tnie\",\"password\":\"pw\",\"email\":\"a@b.c\"}");
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthSucceeded);
}

TEST_F(AccountWire, AnEmptyGamertagBecomesTheUsernameAlsoInTheFile)
{
    Answer(200, "{\"ok\":true,\"token\":\"T\",\"username\":\"bo\\\"b\",\"gamertag\":\"\"}");
    SignInWorker(false, "bob", "pw", "", "");
    EXPECT_EQ(Current().gamertag, "bo\"b");
    EXPECT_EQ(GameDirectory::Read(kLoginFileName),
              "{\"token\":\"T\",\"username\":\"bo\\\"b\",\"gamertag\":\"bo\\\"b\",\"role\":\"\",\"verified\":false}");
}

TEST_F(AccountWire, AnAcceptedReplyWithoutATokenWritesNoFile)
{
    Answer(200, "{\"ok\":true,\"username\":\"u\"}");
    SignInWorker(false, "u", "pw", "", "");
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthSucceeded);
    EXPECT_EQ(Current().token, "");
    EXPECT_FALSE(GameDirectory::Exists(kLoginFileName));
    std::string reply = "kept";
    EXPECT_FALSE(PostWithToken(L"/x", "", reply)); // requests that need a token do nothing
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(AccountWire, RefusalsShowTheServiceTextOrTheFixedOne)
{
    Answer(200, "{\"ok\":false,\"error\":\"That username is taken.\"}");
    SignInWorker(true, "u", "pw", "", "e@x.y");
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthFailed);
    EXPECT_EQ(Current().auth_message, "That username is taken.");

    Answer(200, "{\"ok\":false}");
    SignInWorker(false, "u", "pw", "", "");
    EXPECT_EQ(Current().auth_message, kSignInFailedText);

    Answer(200, "{\"error\":\"no ok member\"}");
    SignInWorker(false, "u", "pw", "", "");
    EXPECT_EQ(Current().auth_message, "no ok member");
    EXPECT_FALSE(GameDirectory::Exists(kLoginFileName));
    EXPECT_EQ(Current().token, "");
}

TEST_F(AccountWire, AnErrorStatusOrNoServerMeansCantReach)
{
    Answer(500, "{\"ok\":false,\"error\":\"database on fire\"}");
    SignInWorker(false, "u", "pw", "", "");
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthFailed);
    EXPECT_EQ(Current().auth_message, kCantReachText);

    StopServer();
    SignInWorker(false, "u", "pw", "", "");
    EXPECT_EQ(Current().auth_message, kCantReachText);
}

TEST_F(AccountWire, ASecondSignInWhileOneRunsIsIgnored)
{
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    SetMiniHttpHandler(server, [&](const MiniHttpRequest&) {
        std::unique_lock<std::mutex> hold(m);
        cv.wait_for(hold, std::chrono::seconds(5), [&] { return release; });
        MiniHttpAnswer a;
        a.body = "{\"ok\":false,\"error\":\"no\"}";
        return a;
    });
    EXPECT_TRUE(StartSignIn(false, "a", "b", "", ""));
    EXPECT_EQ(WaitForMiniHttpRequests(server, 1, 5000), 1u);
    EXPECT_FALSE(StartSignIn(false, "a", "b", "", ""));
    {
        std::lock_guard<std::mutex> hold(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.auth_status.load() == AuthFailed; }));
    EXPECT_EQ(Requests().size(), 1u);
}

// ---------------------------------------------------------------------------
// The saved session
// ---------------------------------------------------------------------------

TEST_F(AccountWire, ASavedLoginIsRestoredOnceAndItsSessionChecked)
{
    GameDirectory::Write(kLoginFileName,
                         "{\"token\":\"S1\",\"username\":\"old\",\"gamertag\":\"OldTag\",\"role\":\"r\",\"verified\":true}");
    Answer(200, "{\"ok\":true,\"email_verified\":false,\"role\":\"player\",\"settings\":\"{\\\"hint\\\":false}\","
                "\"username\":\"new\",\"gamertag\":\"NewTag\"}");
    LoadSavedLogin();
    EXPECT_FALSE(g_app.account.is_guest);
    EXPECT_EQ(g_app.shell.current_page, PageHome);
    EXPECT_EQ(g_app.shell.pending_page, -1);
    EXPECT_EQ(DisplayName(), "OldTag");
    ASSERT_TRUE(WaitUntil([] { return g_app.account.session_checked.load(); }));

    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/session");
    EXPECT_EQ(requests[0].body, "{\"token\":\"S1\"}");
    const Identity id = Current();
    EXPECT_EQ(id.token, "S1");
    EXPECT_EQ(id.username, "new");
    EXPECT_EQ(id.gamertag, "NewTag");
    EXPECT_EQ(id.role, "player");
    EXPECT_FALSE(id.verified);
    EXPECT_EQ(DisplayName(), "OldTag"); // the check does not rename
    EXPECT_EQ(PendingSettings(), "{\"hint\":false}");
    EXPECT_FALSE(g_app.flags.session_expired.load());

    LoadSavedLogin(); // once per process
    EXPECT_EQ(WaitForMiniHttpRequests(server, 2, 300), 1u);
}

TEST_F(AccountWire, ALoginFileWithOnlyATokenRestoresEmptyNames)
{
    GameDirectory::Write(kLoginFileName, "{\"token\":\"only\"}");
    StopServer(); // offline start
    LoadSavedLogin();
    ASSERT_TRUE(WaitUntil([] { return g_app.account.session_checked.load(); }));
    const Identity id = Current();
    EXPECT_EQ(id.token, "only");
    EXPECT_EQ(id.username, "");
    EXPECT_EQ(id.gamertag, "");
    EXPECT_EQ(DisplayName(), "");
    EXPECT_FALSE(g_app.account.is_guest);
    EXPECT_FALSE(g_app.flags.session_expired.load());
    EXPECT_TRUE(GameDirectory::Exists(kLoginFileName));
}

TEST_F(AccountWire, NoFileABadFileOrAnOversizedFileLeavesTheSignInPage)
{
    for (const std::string& content : {std::string("<none>"), std::string("{\"username\":\"x\"}"),
                                       std::string("not json at all"),
                                       "{\"token\":\"big\",\"pad\":\"" + std::string(70000, 'x') + "\"}"}) {
        ResetAccountAreas();
        if (content != "<none>")
            GameDirectory::Write(kLoginFileName, content);
        LoadSavedLogin();
        EXPECT_TRUE(g_app.account.is_guest) << content.substr(0, 40);
        EXPECT_EQ(Current().token, "");
        EXPECT_EQ(g_app.shell.current_page, PageSignIn);
    }
    EXPECT_EQ(WaitForMiniHttpRequests(server, 1, 300), 0u);
}

TEST_F(AccountWire, ARefusedSessionSignsOutAndDeletesTheFile)
{
    GameDirectory::Write(kLoginFileName, "{\"token\":\"gone\",\"username\":\"u\",\"gamertag\":\"g\"}");
    Answer(200, "{\"ok\":false,\"error\":\"Session expired.\"}");
    LoadSavedLogin();
    ASSERT_TRUE(WaitUntil([] { return g_app.account.session_checked.load(); }));
    // What the overlay frame does on its next frame.
    ASSERT_TRUE(g_app.flags.session_expired.exchange(false));
    SignOut();
    EXPECT_FALSE(GameDirectory::Exists(kLoginFileName));
    EXPECT_TRUE(g_app.account.is_guest);
    EXPECT_EQ(DisplayName(), "Guest");
    const Identity id = Current();
    EXPECT_EQ(id.token, "");
    EXPECT_EQ(id.username, "");
    EXPECT_EQ(g_app.shell.pending_page, PageSignIn);
}

TEST_F(AccountWire, AnUnansweredOrFailedSessionCheckKeepsTheSavedIdentity)
{
    for (int status : {0, 500}) {
        SetIdentity("keep", "u", "g");
        if (status == 0)
            SetMiniHttpHandler(server, [](const MiniHttpRequest&) {
                MiniHttpAnswer a;
                a.hang_up = true;
                return a;
            });
        else
            Answer(status, "{\"ok\":false}");
        SessionCheckWorker("keep");
        EXPECT_FALSE(g_app.flags.session_expired.load()) << status;
        EXPECT_EQ(Current().username, "u");
    }
}

TEST_F(AccountWire, ALateSessionResultForAnotherTokenIsDropped)
{
    // The player signed out and in as someone else while the check ran.
    SetIdentity("new-token", "second", "Second");
    Answer(200, "{\"ok\":false}");
    SessionCheckWorker("old-token");
    EXPECT_FALSE(g_app.flags.session_expired.load());
    Answer(200, "{\"ok\":true,\"username\":\"first\",\"gamertag\":\"First\"}");
    SessionCheckWorker("old-token");
    EXPECT_EQ(Current().username, "second");
    EXPECT_EQ(Current().gamertag, "Second");
    EXPECT_FALSE(g_app.flags.settings_arrived.load());
}

// ---------------------------------------------------------------------------
// Reset and verify requests, guests, sign-out
// ---------------------------------------------------------------------------

TEST_F(AccountWire, AccountRequestsEndWithTheDoneTextOnceAnswered)
{
    ASSERT_TRUE(StartAccountRequest(L"/request-reset", "a@b.c", kResetDoneText));
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.request_status.load() == RequestDone; }));
    {
        std::lock_guard<std::mutex> hold(g_app.account_request.lock);
        EXPECT_EQ(g_app.account_request.request_message, kResetDoneText);
    }
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/request-reset");
    EXPECT_EQ(requests[0].body, "{\"username\":\"a@b.c\"}");

    NavigateTo(PageProfile); // a page change resets the status
    EXPECT_EQ(g_app.flags.request_status.load(), RequestIdle);

    // Nobody answers: no mail can be on its way, and the text says so.
    StopServer();
    ASSERT_TRUE(StartAccountRequest(L"/request-verify", "ann", kVerifyDoneText));
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.request_status.load() == RequestDone; }));
    std::lock_guard<std::mutex> hold(g_app.account_request.lock);
    EXPECT_EQ(g_app.account_request.request_message, kCantReachText);
}

TEST_F(AccountWire, ASecondAccountRequestWhileOneIsSendingIsIgnored)
{
    g_app.flags.request_status.store(RequestSending);
    EXPECT_FALSE(StartAccountRequest(L"/request-reset", "x", kResetDoneText));
    EXPECT_EQ(WaitForMiniHttpRequests(server, 1, 300), 0u);
}

TEST_F(AccountWire, SignOutForgetsTheAccountButNotTheSettings)
{
    Answer(200, kAccepted);
    SignInWorker(false, "ann", "pw", "", "");
    ASSERT_TRUE(FinishSignIn());
    ASSERT_TRUE(GameDirectory::Exists(kLoginFileName));
    g_app.settings.snd_vol_pct = 0.3f;
    SignOut();
    const Identity id = Current();
    EXPECT_EQ(id.token + id.username + id.gamertag + id.role, "");
    EXPECT_FALSE(id.verified);
    EXPECT_TRUE(g_app.account.is_guest);
    EXPECT_EQ(DisplayName(), "Guest");
    EXPECT_FALSE(GameDirectory::Exists(kLoginFileName));
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthIdle);
    EXPECT_EQ(g_app.shell.pending_page, PageSignIn);
    EXPECT_EQ(g_app.settings.snd_vol_pct, 0.3f);
    SignOut(); // a second time, with no file, is harmless
    EXPECT_TRUE(g_app.account.is_guest);
}
