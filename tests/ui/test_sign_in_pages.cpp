// The pages before the menu as a player meets them: signing up through the
// real service into the welcome page and Home, refusals, one sign-in at a
// time, the e-mail rule and the reset page.
#include "page_fixture.h"

#include "ui/ui_state.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class SignInPages : public PageUi
{
protected:
    void TypeInto(const char* field, const std::string& text)
    {
        ASSERT_TRUE(DriverClick(field)) << field;
        DriverType(text);
        DriverFrame();
    }
};

TEST_F(SignInPages, SignUpLeadsThroughTheWelcomePageToHome)
{
    StartIn(true);
    OpenMenu();
    for (const char* text : {"KESTREL  \xC2\xB7  CO-OP", "USERNAME", "PASSWORD", "Sign In", "Create Account",
                             "Continue as Guest", "Forgot password?"})
        EXPECT_TRUE(Shows(text)) << text << "\n" << DriverText();
    TypeInto("##si_user", "nova");
    TypeInto("##si_pass", kTestPassword);
    EXPECT_FALSE(Shows(kTestPassword)) << "the password is masked";

    ASSERT_TRUE(DriverClick("Create Account"));
    Fade();
    ASSERT_EQ(g_app.shell.current_page, PageSignUp);
    EXPECT_TRUE(Shows("nova")) << "the username typed on sign-in is kept";
    EXPECT_TRUE(Shows("8+ chars, one capital letter, one special character."));
    TypeInto("##su_tag", "Nova");
    TypeInto("##su_email", "nova@example.com");
    ASSERT_TRUE(DriverClick("Create Account"));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.shell.current_page == PageWelcome; }));
    EXPECT_EQ(g_ui.password[0], 0) << "the password is gone once signed in";
    DriverFrame();
    EXPECT_TRUE(Shows("Welcome to ")) << DriverText();
    EXPECT_TRUE(Shows("Signed in as Nova"));
    EXPECT_NE(ReadFileText("reframework/data/Kestrel_login.json").find("\"gamertag\":\"Nova\""), std::string::npos);

    // Home after 2.8 s of the overlay's clock and the page fade.
    int frames = 0;
    ASSERT_TRUE(DriverFramesUntil([&] { return ++frames, g_app.shell.current_page == PageHome; }, 400));
    EXPECT_GE(frames / 60.0, 2.8);
    EXPECT_LE(frames / 60.0, 3.05);
    EXPECT_FALSE(g_app.account.is_guest);
    EXPECT_STREQ(g_app.account.display_name, "Nova");
}

TEST_F(SignInPages, RefusalsShowInGoldAndLeavingThePageClearsThem)
{
    StartIn(true);
    OpenMenu();
    EXPECT_FALSE(Drawn(DrawnBox("signin", ColGold)));
    snprintf(g_ui.username, sizeof(g_ui.username), "nobody");
    snprintf(g_ui.password, sizeof(g_ui.password), "Wrong#Pass1");
    ASSERT_TRUE(DriverClick("Sign In"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Wrong username or password."); })) << DriverText();
    EXPECT_TRUE(Drawn(DrawnBox("signin", ColGold)));

    ASSERT_TRUE(DriverClick("Create Account"));
    Fade();
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthIdle) << "a finished failure is cleared";
    EXPECT_FALSE(Shows("Wrong username or password."));
    snprintf(g_ui.gamertag, sizeof(g_ui.gamertag), "Nova");
    snprintf(g_ui.signup_email, sizeof(g_ui.signup_email), "nova@example.com");
    snprintf(g_ui.password, sizeof(g_ui.password), "weak");
    ASSERT_TRUE(DriverClick("Create Account"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Password needs 8+ chars"); })) << DriverText();
    EXPECT_TRUE(Drawn(DrawnBox("signup", ColGold)));

    ASSERT_TRUE(DriverClick("Back to Sign In"));
    Fade();
    StopService(service);
    ASSERT_TRUE(DriverClick("Sign In"));
    EXPECT_TRUE(DriverRunUntil([] { return Shows("Can't reach the server. Check your connection."); }));
}

// A scripted account port: "/login" waits until the test lets it answer.
TEST_F(SignInPages, OneSignInAtATimeWhateverThePlayerClicks)
{
    StartIn(false);
    std::atomic<bool> answer{false};
    ReleaseOnExit release{answer};
    SetMiniHttpHandler(account, [&answer](const MiniHttpRequest& r) {
        while (r.target == "/login" && !answer.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        MiniHttpAnswer a;
        a.body = "{\"ok\":true,\"token\":\"T\",\"username\":\"nova\",\"gamertag\":\"Nova\"}";
        return a;
    });
    OpenMenu();
    snprintf(g_ui.username, sizeof(g_ui.username), "nova");
    snprintf(g_ui.password, sizeof(g_ui.password), "%s", kTestPassword);
    ASSERT_TRUE(DriverClick("Sign In"));
    DriverFrame();
    EXPECT_NE(DriverFind("Signing in..."), nullptr);
    EXPECT_TRUE(Shows("Please wait..."));
    ASSERT_TRUE(DriverClick("Signing in...")); // the second click of a double click
    ASSERT_EQ(WaitForMiniHttpRequests(account, 1, 5000), 1u);

    // Neither page changes nor guest mode lets a second one start beside it.
    ASSERT_TRUE(DriverClick("Create Account"));
    Fade();
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthRunning);
    ASSERT_TRUE(DriverClick("Creating..."));
    ASSERT_TRUE(DriverClick("Back to Sign In"));
    Fade();
    ASSERT_TRUE(DriverClick("Signing in..."));
    ASSERT_TRUE(DriverClick("Continue as Guest"));
    EXPECT_EQ(g_ui.password[0], 0) << "a guest keeps no password";
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthRunning);

    answer = true;
    ASSERT_TRUE(DriverRunUntil([] { return g_app.shell.current_page == PageWelcome; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Bodies("/login").size(), 1u);
    EXPECT_TRUE(Bodies("/signup").empty());
}

TEST_F(SignInPages, TheEmailRuleAndTheResetPageSendNothingInvalid)
{
    StartIn(false);
    OpenMenu();
    g_app.shell.current_page = PageSignUp;
    snprintf(g_ui.username, sizeof(g_ui.username), "nova");
    for (const char* bad : {"", "@example.com", "nova.example.com", "nova@examplecom", "nova@example."}) {
        g_app.flags.auth_status = AuthIdle;
        snprintf(g_ui.signup_email, sizeof(g_ui.signup_email), "%s", bad);
        ASSERT_TRUE(DriverClick("Create Account")) << bad;
        EXPECT_EQ(g_app.flags.auth_status.load(), AuthFailed) << bad;
        EXPECT_TRUE(Shows("Please enter a valid email - it's needed to recover your password.")) << bad;
    }
    EXPECT_EQ(WaitForMiniHttpRequests(account, 1, 300), 0u) << "nothing sent for a bad address";
    g_app.flags.auth_status = AuthIdle;
    snprintf(g_ui.signup_email, sizeof(g_ui.signup_email), "nova@.com"); // a dot right after the "@" passes
    ASSERT_TRUE(DriverClick("Create Account"));
    ASSERT_EQ(WaitForMiniHttpRequests(account, 1, 5000), 1u);
    EXPECT_NE(Bodies("/signup").at(0).find("\"email\":\"nova@.com\""), std::string::npos);
    ASSERT_TRUE(DriverRunUntil([] { return g_app.shell.current_page == PageWelcome; }));

    g_app.shell.current_page = PageForgotPassword;
    DriverFrame();
    EXPECT_TRUE(Shows("Enter your email and we'll send you a link to set a new password."));
    ASSERT_TRUE(DriverClick("Send reset link"));
    EXPECT_TRUE(Shows("Please enter your email.")) << DriverText();
    EXPECT_TRUE(Drawn(DrawnBox("forgot", ColGreen)));
    EXPECT_EQ(WaitForMiniHttpRequests(account, 2, 300), 1u);
    snprintf(g_ui.reset_email, sizeof(g_ui.reset_email), "nova@example.com");
    ASSERT_TRUE(DriverClick("Send reset link"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("If that email has an account, a reset link is on the way"); }));
    EXPECT_EQ(Bodies("/request-reset"), std::vector<std::string>{"{\"username\":\"nova@example.com\"}"});
    DriverFrame(); // the card grows to hold the answer
    const ImGuiWindow* card = ImGui::FindWindowByName("Kestrel Multiplayer")->DC.ChildWindows.back();
    EXPECT_LE(DriverFind("Back to Sign In")->rect.Max.y, card->Rect().Max.y) << "the way back stays on the card";
    ASSERT_TRUE(DriverClick("Back to Sign In"));
    Fade();
    EXPECT_EQ(g_app.shell.current_page, PageSignIn);
}

} // namespace

namespace {

// Reset and verify requests on a slow or absent service: no second mail, no
// result on the other page, and no answer is not a success.
TEST_F(SignInPages, AResetOrVerifyRequestEndsOnItsOwnPageAndSaysWhenNothingWasReached)
{
    StartIn(false);
    std::atomic<bool> gate{false};
    ReleaseOnExit release{gate};
    SetMiniHttpHandler(account, [&gate](const MiniHttpRequest&) {
        MiniHttpAnswer a;
        a.gate = &gate;
        return a;
    });
    g_app.shell.current_page = PageForgotPassword;
    OpenMenu();
    snprintf(g_ui.reset_email, sizeof(g_ui.reset_email), "nova@example.com");
    ASSERT_TRUE(DriverClick("Send reset link"));
    ASSERT_EQ(WaitForMiniHttpRequests(account, 1, 5000), 1u);
    // Away and back while it is out: still sending, so no second mail.
    ASSERT_TRUE(DriverClick("Back to Sign In"));
    Fade();
    ASSERT_TRUE(DriverClick("Forgot password?"));
    Fade();
    ASSERT_TRUE(DriverClick("Sending..."));
    DriverFrame(2);
    EXPECT_EQ(Bodies("/request-reset").size(), 1u);
    gate = true;
    ASSERT_TRUE(DriverRunUntil([] { return Shows(kResetDoneText); }));

    // A verify answered after the player moved to the reset page shows there nothing.
    gate = false;
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        g_app.account.token = "T";
        g_app.account.username = g_app.account.gamertag = "nova";
    }
    g_app.account.is_guest = false;
    g_app.shell.current_page = PageProfile;
    DriverFrame();
    ASSERT_TRUE(DriverClick("Resend verification email"));
    ASSERT_TRUE(DriverRunUntil([this] { return Bodies("/request-verify").size() == 1; }));
    NavigateTo(PageForgotPassword);
    Fade();
    gate = true;
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.request_status.load() == RequestDone; }));
    DriverFrame();
    EXPECT_FALSE(Shows(kVerifyDoneText)) << DriverText();

    // Nobody answers: the sign-in's "can't reach" text, on both pages.
    StopMiniHttpServer(account);
    account = nullptr;
    NavigateTo(PageSignIn);
    Fade();
    ASSERT_TRUE(DriverClick("Forgot password?"));
    Fade();
    ASSERT_TRUE(DriverClick("Send reset link"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows(kCantReachText); })) << DriverText();
    EXPECT_FALSE(Shows(kResetDoneText));
    NavigateTo(PageProfile);
    Fade();
    ASSERT_TRUE(DriverClick("Resend verification email"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows(kCantReachText); })) << DriverText();
    EXPECT_FALSE(Shows(kVerifyDoneText));
}

} // namespace
