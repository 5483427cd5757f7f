// Players sharing a PC: signing out in a lobby, the next account or guest,
// and answers of the last account that arrive after it is gone.
#include "page_fixture.h"

#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/settings.h"
#include "platform/platform.h"
#include "ui/ui_state.h"

#include <atomic>
#include <cstdio>

namespace {

class SwitchingUi : public PageUi
{
protected:
    void SetUp() override
    {
        PageUi::SetUp();
        // Tall enough for the whole lobby and the sidebar's foot.
        DriverSetDisplay(ImVec2(1280.0f, 1500.0f));
        g_ui.main_window_h = 1440.0f;
    }

public:
    static std::string Settings(const std::string& user)
    {
        std::string reply;
        HttpPostJson(kAccountPort, L"/login",
                     "{\"username\":\"" + user + "\",\"password\":\"" + std::string(kTestPassword) + "\"}", reply);
        return JsonGetString(reply, "settings");
    }
    static std::string Token()
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        return g_app.account.token;
    }
    // The Profile page's own button (the sidebar has one too).
    static void ClickProfileSignOut()
    {
        g_app.shell.current_page = PageProfile;
        DriverFrame(2);
        for (const DriverItem& item : DriverItems())
            if (item.label == "Sign Out" && item.window.find("content") != std::string::npos) {
                DriverClickAt(item.rect.GetCenter());
                return;
            }
        ADD_FAILURE() << "no Sign Out on the Profile page\n" << DriverText();
    }
    size_t Count(const std::string& path) const { return Bodies(path).size(); }
    bool Arrives(const std::string& path, size_t count) const
    {
        return DriverRunUntil([&] { return Count(path) >= count; });
    }
};

TEST_F(SwitchingUi, SigningOutInALobbyLeavesTheRoomAndHandsNothingToTheNextPlayer)
{
    StartIn(true);
    ASSERT_TRUE(SignUpHere("ann", "Ann"));
    g_app.shell.current_page = PageHome;
    OpenMenu();
    ASSERT_TRUE(DriverClick("Quickmatch"));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    StartPartner("bob", {"--quickmatch"}, "60");
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Partner - Joiner (B)"); }, 15.0)) << DriverText();
    const std::string role_file = dir + "/reframework/data/Kestrel_role.json";
    EXPECT_TRUE(std::filesystem::exists(role_file));
    ASSERT_TRUE(DriverRunUntil([&] { return ReadFileText(dir + "/bob.log").find("partner joined") != std::string::npos; }));

    // What Ann typed and changed last, just before she signs out.
    snprintf(g_ui.gamertag, sizeof(g_ui.gamertag), "AnnNew");
    snprintf(g_ui.signup_email, sizeof(g_ui.signup_email), "ann@example.com");
    snprintf(g_ui.reset_email, sizeof(g_ui.reset_email), "ann@example.com");
    snprintf(g_ui.add_friend, sizeof(g_ui.add_friend), "Zed");
    snprintf(g_app.social.compose, sizeof(g_app.social.compose), "see you");
    g_app.settings.hint = false;
    MarkSettingsChanged(SteadyNowNs());

    const uint32_t generation = g_app.room.room_generation.load();
    ClickProfileSignOut();
    DriverFrame(2);
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIdle);
    EXPECT_NE(g_app.room.room_generation.load(), generation) << "the heartbeat ends";
    EXPECT_FALSE(g_app.room.heartbeat_active.load());
    EXPECT_FALSE(std::filesystem::exists(role_file));
    for (const char* typed : std::initializer_list<const char*>{g_ui.gamertag, g_ui.signup_email, g_ui.reset_email, g_ui.add_friend,
                              (const char*)g_app.social.compose})
        EXPECT_STREQ(typed, "");
    // Bob sees his host leave at once (a "/leave" under her name): the room
    // closes under him, not after her heartbeats time out.
    ASSERT_TRUE(DriverRunUntil([&] { return ReadFileText(dir + "/bob.log").find("room closed") != std::string::npos; },
                               8.0))
        << ReadFileText(dir + "/bob.log");
    EXPECT_NE(Settings("ann").find("\"hint\":false"), std::string::npos) << "uploaded under Ann's account";

    // A guest gets no way back into Ann's lobby.
    Fade();
    ASSERT_TRUE(DriverClick("Continue as Guest"));
    Fade();
    EXPECT_FALSE(Shows("Return to Lobby"));

    // Cat has no settings stored: nothing of Ann's change reaches her.
    g_app.shell.current_page = PageSignIn;
    ASSERT_TRUE(SignUpHere("cat", "Cat"));
    const int64_t signed_in = SteadyNowNs();
    DriverRunUntil([&] { return SteadyNowNs() - signed_in > 1500000000; });
    EXPECT_EQ(Settings("cat"), "");
}

// A scripted account port whose answers wait for the test: the last
// account's sign-in, list and friend action answer after it signed out.
TEST_F(SwitchingUi, AnswersForTheLastAccountChangeNothing)
{
    StartIn(false);
    std::atomic<bool> login_gate{true}, list_gate{true}, add_gate{true};
    ReleaseOnExit r1{login_gate}, r2{list_gate}, r3{add_gate};
    SetMiniHttpHandler(account, [&](const MiniHttpRequest& r) {
        MiniHttpAnswer a;
        const bool ann = r.body.find("ann") != std::string::npos;
        if (r.target == "/login") {
            a.body = ann ? "{\"ok\":true,\"token\":\"ann-token\",\"username\":\"ann\",\"gamertag\":\"Ann\"}"
                         : "{\"ok\":true,\"token\":\"cat-token\",\"username\":\"cat\",\"gamertag\":\"Cat\"}";
            a.gate = &login_gate;
        } else if (r.target == "/friends/list") {
            a.body = ann ? "{\"ok\":true,\"friends\":[{\"gamertag\":\"AnnPal\"}],\"incoming\":[{\"gamertag\":\"AnnFan\"}]}"
                         : "{\"ok\":true,\"friends\":[{\"gamertag\":\"CatPal\"}]}";
            a.gate = &list_gate;
        } else if (r.target == "/friends/add") {
            a.body = "{\"ok\":false,\"error\":\"No such player.\"}";
            a.gate = &add_gate;
        }
        return a;
    });
    OpenMenu();

    // A sign-in still running when the player signs out is discarded, and no
    // second one starts beside it.
    login_gate = false;
    ASSERT_TRUE(StartSignIn(false, "ann", kTestPassword, "", ""));
    ASSERT_TRUE(Arrives("/login", 1));
    SignOut();
    EXPECT_FALSE(StartSignIn(false, "cat", kTestPassword, "", ""));
    login_gate = true;
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.auth_status.load() != AuthRunning; }));
    DriverFrame(2);
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthIdle);
    EXPECT_EQ(Token(), "");
    EXPECT_TRUE(g_app.account.is_guest);
    EXPECT_EQ(g_app.shell.current_page, PageSignIn);
    EXPECT_FALSE(std::filesystem::exists(dir + "/reframework/data/Kestrel_login.json"));
    EXPECT_EQ(Count("/login"), 1u);

    // Ann, on the Friends page: a refresh and an "Add" still out at sign-out.
    ASSERT_TRUE(StartSignIn(false, "ann", kTestPassword, "", ""));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.shell.current_page == PageWelcome; }));
    g_app.shell.current_page = PageFriends;
    ASSERT_TRUE(DriverRunUntil([] { return Shows("AnnPal"); }));
    list_gate = add_gate = false;
    g_ui.last_friends_refresh = -100.0;
    const size_t lists = Count("/friends/list");
    DriverFrame();
    ASSERT_TRUE(Arrives("/friends/list", lists + 1));
    ASSERT_TRUE(DriverClick("##addf"));
    DriverType("Zed");
    ASSERT_TRUE(DriverClick("Add"));
    ASSERT_TRUE(Arrives("/friends/add", 1));
    ClickProfileSignOut();
    ASSERT_TRUE(StartSignIn(false, "cat", kTestPassword, "", ""));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.shell.current_page == PageWelcome; }));

    list_gate = true;
    ASSERT_TRUE(DriverRunUntil([] { return !g_app.flags.friends_busy.load(); }));
    add_gate = true; // the action's own refresh, as Cat, comes after its status
    ASSERT_TRUE(DriverRunUntil([&] {
        for (const std::string& body : Bodies("/friends/list"))
            if (body.find("cat-token") != std::string::npos)
                return true;
        return false;
    }));
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        EXPECT_TRUE(g_app.social.incoming_requests.empty());
        EXPECT_EQ(g_app.social.friend_status, "");
        for (const std::string& tag : g_app.social.friends)
            EXPECT_NE(tag, "AnnPal");
    }
    g_app.shell.current_page = PageFriends;
    ASSERT_TRUE(DriverRunUntil([] { return Shows("CatPal"); }));
    EXPECT_FALSE(Shows("AnnPal") || Shows("AnnFan") || Shows("No such player."));
}

} // namespace
