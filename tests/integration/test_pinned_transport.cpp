// The client's HTTPS with a pinned key against real services (started by
// tests/support/with-tls-services, which also captures the loopback traffic):
// 127.0.0.1 holds the pinned key, 127.0.0.2 another key, 127.0.0.3 plain HTTP
// only. Built for Linux (libcurl) and for Windows (WinHTTP, under Wine).
#include "app_reset.h"
#include "backend/account.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "state/config.h"
#include "temp_dir.h"
#include "tls_services.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

// Also searched for in the capture, by the script: over TLS it must not show.
const char* const kTlsPassword = "Never-In-Clear-7741";
const char* const kPlainPassword = "Seen-In-Clear-5523";
const char* const kCannotReach = "Can't reach the server. Check your connection.";

class PinnedTransport : public testing::Test
{
protected:
    std::unique_ptr<GameDirectory> game;
    void SetUp() override
    {
        ASSERT_FALSE(Pin().empty()) << "run under tests/support/with-tls-services";
        ResetAccountAreas();
        game = std::make_unique<GameDirectory>();
    }
    void TearDown() override { game.reset(); }

    int32_t SignIn(bool signup, const char* user, const char* password)
    {
        SignInWorker(signup, user, password, signup ? user : "", signup ? std::string(user) + "@example.com" : "");
        return g_app.flags.auth_status.load();
    }
    std::string Message()
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        return g_app.account.auth_message;
    }
};

} // namespace

TEST_F(PinnedTransport, ThePinnedServiceAnswersOverTlsAndOldClientsStillOverPlain)
{
    Use("127.0.0.1", Pin());
    ASSERT_EQ(SignIn(true, "tls_user", kTlsPassword), AuthSucceeded) << Message();
    ASSERT_EQ(SignIn(false, "tls_user", kTlsPassword), AuthSucceeded) << Message();
    std::string token;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        token = g_app.account.token;
    }
    std::string reply;
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/session", "{\"token\":\"" + token + "\"}", reply));
    EXPECT_TRUE(Ok(reply)) << reply;
    EXPECT_TRUE(HttpPostJson(kRoomPort, L"/list", "{}", reply));
    EXPECT_TRUE(Ok(reply)) << reply;

    // The same port, the same service, a release without a pin.
    Use("127.0.0.1", "");
    EXPECT_EQ(SignIn(true, "plain_user", kPlainPassword), AuthSucceeded) << Message();
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/session", "{\"token\":\"" + token + "\"}", reply));
    EXPECT_TRUE(Ok(reply)) << reply;
}

TEST_F(PinnedTransport, AnotherKeyOrPlainHttpIsNoAnswerAndGetsNoBody)
{
    // A service with a key of its own, as a machine in the middle would show.
    Use("127.0.0.2", Pin());
    EXPECT_EQ(SignIn(true, "victim", kTlsPassword), AuthFailed);
    EXPECT_EQ(Message(), kCannotReach);
    std::string reply = "untouched";
    EXPECT_FALSE(HttpPostJson(kRoomPort, L"/list", "{}", reply));
    EXPECT_EQ(reply, "untouched");
    // Nothing reached it: in plain, the name is still free there.
    Use("127.0.0.2", "");
    EXPECT_EQ(SignIn(true, "victim", kPlainPassword), AuthSucceeded) << Message();

    // A pinned release against a service that answers only plain HTTP.
    Use("127.0.0.3", Pin());
    EXPECT_FALSE(HttpPostJson(kRoomPort, L"/list", "{}", reply));
    EXPECT_EQ(reply, "untouched");
    // ...and the right service under a wrong pin.
    Use("127.0.0.1", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
    EXPECT_FALSE(HttpPostJson(kRoomPort, L"/list", "{}", reply));
    EXPECT_EQ(reply, "untouched");
}
