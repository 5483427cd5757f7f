// The account operations that need no server: guests, navigation, the login
// file's form and the sign-in hand-over.
#include "app_reset.h"
#include "backend/account.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <set>

TEST(Guest, NamesRunFromGuest1000ToGuest9999AndChangeEachTime)
{
    ResetAccountAreas();
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        g_app.account.token = "kept";
    }
    g_app.flags.auth_status.store(AuthFailed);
    std::set<std::string> seen;
    for (int i = 0; i < 300; i++) {
        ContinueAsGuest();
        const std::string name = DisplayName();
        ASSERT_EQ(name.size(), 9u) << name;
        ASSERT_EQ(name.substr(0, 5), "Guest");
        const int n = std::stoi(name.substr(5));
        ASSERT_GE(n, 1000);
        ASSERT_LE(n, 9999);
        seen.insert(name);
    }
    EXPECT_GT(seen.size(), 250u); // 300 draws from 9000 names rarely repeat much
    EXPECT_TRUE(g_app.account.is_guest);
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthIdle);
    EXPECT_EQ(g_app.shell.pending_page, PageHome);
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    EXPECT_EQ(g_app.account.token, "kept"); // the account fields are not touched
}

TEST(Navigation, TheLastPageAskedForWinsAndTheRequestStatusResets)
{
    ResetAccountAreas();
    g_app.flags.request_status.store(RequestDone);
    g_app.shell.page_fade = 0.4f;
    NavigateTo(PageSettings);
    NavigateTo(PageFriends);
    EXPECT_EQ(g_app.shell.pending_page, PageFriends);
    EXPECT_EQ(g_app.shell.current_page, PageSignIn); // the shell switches, with its fade
    EXPECT_EQ(g_app.shell.page_fade, 0.4f);
    EXPECT_EQ(g_app.flags.request_status.load(), RequestIdle);
}

TEST(LoginFile, EscapesEveryFieldAndIsWrittenOnlyWithAToken)
{
    ResetAccountAreas();
    GameDirectory game;
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    EXPECT_EQ(LoginFileText(), "");
    g_app.account.token = "a\"b";
    g_app.account.username = "u\\1";
    g_app.account.gamertag = "g\n\x01";
    g_app.account.role = "r\xc3\xa9";
    g_app.account.email_verified = false;
    ASSERT_TRUE(SaveLogin(LoginFileText()));
    EXPECT_FALSE(GameDirectory::Exists(std::string(kLoginFileName) + ".tmp"));
    EXPECT_EQ(GameDirectory::Read(kLoginFileName),
              "{\"token\":\"a\\\"b\",\"username\":\"u\\\\1\",\"gamertag\":\"g\\n\\u0001\",\"role\":\"r\xc3\xa9\","
              "\"verified\":false}");
}

TEST(SignInHandOver, WaitsForSuccessAndKeepsTheNameWhenTheGamertagIsEmpty)
{
    ResetAccountAreas();
    EXPECT_FALSE(FinishSignIn());
    g_app.flags.auth_status.store(AuthFailed);
    EXPECT_FALSE(FinishSignIn());
    EXPECT_TRUE(g_app.account.is_guest);

    g_app.flags.auth_status.store(AuthSucceeded);
    EXPECT_TRUE(FinishSignIn());
    EXPECT_EQ(DisplayName(), "Guest");
    EXPECT_FALSE(g_app.account.is_guest);

    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        g_app.account.gamertag = std::string(100, 'x');
    }
    g_app.flags.auth_status.store(AuthSucceeded);
    EXPECT_TRUE(FinishSignIn());
    EXPECT_EQ(DisplayName(), std::string(63, 'x'));
}
