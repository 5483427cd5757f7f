// Kept HTTPS connections against the real service (started by
// tests/support/with-tls-services, which can restart it on request): a lobby's
// steady requests ride kept connections; a restarted service costs no request
// and repeats none; another key behind a reopened connection gets no body.
// Built for Linux (libcurl) and for Windows (WinHTTP, under Wine).
#include "app_reset.h"
#include "backend/account.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/rooms.h"
#include "platform/platform.h"
#include "state/config.h"
#include "temp_dir.h"
#include "tls_services.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

namespace {

const char* const kPassword = "Never-In-Clear-7741";      // over TLS only
const char* const kPlainPassword = "Seen-In-Clear-5523";  // the one sent in clear

std::string ControlFile(const char* name)
{
    const char* dir = getenv("KESTREL_TEST_CONTROL");
#ifdef _WIN32
    return std::string("Z:") + (dir ? dir : "") + "/" + name; // the Unix root under Wine
#else
    return std::string(dir ? dir : "") + "/" + name;
#endif
}

// Restarts 127.0.0.1's service with key "a" or "b"; true once it is ready.
bool RestartService(const char* key)
{
    FILE* f = fopen(ControlFile("restart").c_str(), "wb");
    if (!f)
        return false;
    fputs(key, f);
    fclose(f);
    for (int i = 0; i < 300; i++) {
        if (FILE* done = fopen(ControlFile("restarted").c_str(), "rb")) {
            fclose(done);
            remove(ControlFile("restarted").c_str());
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Wine's WinHTTP pools sockets for the whole process, not per session, so
// closing the kept session does not close them there (Windows' does, as
// libcurl's handles do on Linux).
bool SessionsOwnTheirSockets()
{
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
#else
    return true;
#endif
}

uint64_t Opened()
{
    return HttpCountConnections().opened;
}

class KeptConnections : public testing::Test
{
protected:
    std::unique_ptr<GameDirectory> game;
    void SetUp() override
    {
        ASSERT_FALSE(Pin().empty()) << "run under tests/support/with-tls-services";
        ResetAccountAreas();
        HttpCloseConnections();
        game = std::make_unique<GameDirectory>();
        Use("127.0.0.1", Pin());
    }
    void TearDown() override { game.reset(); }

    int32_t SignUp(const std::string& user, const char* password)
    {
        SignInWorker(true, user, password, user, user + "@example.com");
        return g_app.flags.auth_status.load();
    }
    std::string Message()
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        return g_app.account.auth_message;
    }
};

// One of the lobby's requests at its cadence until `until`; counts what
// went unanswered or was refused.
void Repeat(const std::chrono::steady_clock::time_point until, int every_ms, int offset_ms,
            const std::function<bool()>& request, std::atomic<int>& sent, std::atomic<int>& failed)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(offset_ms));
    while (std::chrono::steady_clock::now() < until) {
        sent++;
        if (!request())
            failed++;
        std::this_thread::sleep_for(std::chrono::milliseconds(every_ms));
    }
}

} // namespace

TEST_F(KeptConnections, AClientIdleInALobbyOpensAlmostNoConnectionsAndEveryRequestIsAnswered)
{
    ASSERT_EQ(SignUp("lobby_idle", kPassword), AuthSucceeded) << Message();
    RoomOpRequest create;
    create.op.mode = RoomOpCreate;
    create.gamertag = "lobby_idle";
    create.cid = ClientId();
    create.op.name = "Idle lobby";
    std::string reply;
    ASSERT_TRUE(HttpPostJson(kRoomPort, L"/create", RoomOpBody(create), reply));
    std::string code;
    code = JsonGetString(reply, "code");
    ASSERT_FALSE(code.empty()) << reply;
    const std::string member = "\"gamertag\":\"lobby_idle\",\"cid\":\"" + create.cid + "\",\"code\":\"" + code + "\"";

    // The lobby's steady traffic: the heartbeat and the chat poll every 3 s
    // on the room port, the message poll every 5 s on the account port.
    auto heartbeat = [&] {
        std::string r;
        return HttpPostJson(kRoomPort, L"/heartbeat", "{" + member + "}", r) && Ok(r);
    };
    auto chat = [&] {
        std::string r;
        return HttpPostJson(kRoomPort, L"/chat/poll", "{" + member + ",\"after_id\":0}", r);
    };
    auto threads = [&] {
        std::string r;
        return PostWithToken(L"/messages/threads", "", r) && Ok(r);
    };
    // The first round opens the connections the lobby keeps.
    ASSERT_TRUE(heartbeat());
    ASSERT_TRUE(chat());
    ASSERT_TRUE(threads());
    const uint64_t before = Opened();
    std::atomic<int> sent{0}, failed{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::thread a(Repeat, until, 3000, 0, heartbeat, std::ref(sent), std::ref(failed));
    std::thread b(Repeat, until, 3000, 1500, chat, std::ref(sent), std::ref(failed));
    std::thread c(Repeat, until, 5000, 700, threads, std::ref(sent), std::ref(failed));
    a.join();
    b.join();
    c.join();
    EXPECT_GE(sent.load(), 25);
    EXPECT_EQ(failed.load(), 0);
    // At most 2 a minute: in these 30 s, one.
    EXPECT_LE(Opened() - before, 1u) << sent.load() << " requests";
}

TEST_F(KeptConnections, ARestartedServiceCostsNoRequestAndRepeatsNoneAndAnotherKeyGetsNoBody)
{
    // Each sign-up reaches the service exactly once or the name would be
    // taken by its own first copy: an answered "ok" proves both.
    ASSERT_EQ(SignUp("restart_0", kPassword), AuthSucceeded) << Message();
    for (int round = 1; round <= 2; round++) {
        ASSERT_TRUE(RestartService("a"));
        const std::string user = "restart_" + std::to_string(round);
        EXPECT_EQ(SignUp(user, kPassword), AuthSucceeded) << user << ": " << Message();
    }

    // The service comes back with another key: the reopened connection shows
    // it and nothing of the request goes to it.
    ASSERT_TRUE(RestartService("b"));
    std::string reply = "untouched";
    EXPECT_FALSE(HttpPostJson(kRoomPort, L"/list", "{}", reply));
    EXPECT_EQ(reply, "untouched");
    EXPECT_NE(SignUp("other_key", kPassword), AuthSucceeded);
    Use("127.0.0.1", "");
    EXPECT_EQ(SignUp("other_key", kPlainPassword), AuthSucceeded) << "the refused sign-up reached it: " << Message();

    // Back with the pinned key; a connection the service closed when idle is
    // reopened (resuming its TLS session where the stack does) and checked.
    Use("127.0.0.1", Pin());
    ASSERT_TRUE(RestartService("a"));
    ASSERT_EQ(SignUp("restart_3", kPassword), AuthSucceeded) << Message();
    ASSERT_TRUE(HttpPostJson(kRoomPort, L"/list", "{}", reply)); // a session with this process on both ports
    const HttpConnectionCounts before = HttpCountConnections();
    std::this_thread::sleep_for(std::chrono::seconds(10)); // past the service's 8 s idle time
    ASSERT_TRUE(HttpPostJson(kRoomPort, L"/list", "{}", reply));
    const HttpConnectionCounts after = HttpCountConnections();
    EXPECT_EQ(after.opened - before.opened, 1u);
#ifndef _WIN32
    // A resumed session still carries the certificate it was made with: the
    // pin passed on connections that showed none in their handshake.
    EXPECT_EQ(after.resumed - before.resumed, 1u);
#endif

    // Signing out closes them: the next request opens its own.
    SignOut();
    const uint64_t opened = Opened();
    ASSERT_TRUE(HttpPostJson(kRoomPort, L"/list", "{}", reply));
    if (SessionsOwnTheirSockets()) {
        EXPECT_GE(Opened() - opened, 1u);
    }
}
