// The client frame under the overlay, menu closed: what a game with the
// plugin loaded does before the player ever opens the menu. Scripted account
// and room ports count what reaches the service.
#include "ui_fixture.h"

#include "backend/account.h"
#include "link/channel_files.h"
#include "mini_http_server.h"
#include "service_process.h"
#include "state/app_state.h"
#include "ui/ui_state.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class ClientFrameUi : public OverlayUi
{
protected:
    std::string dir, old_dir;
    MiniHttpServer* account = nullptr;
    MiniHttpServer* rooms = nullptr;

    void SetUp() override
    {
        old_dir = fs::current_path().string();
        dir = MakeTempDir("kestrel-ui");
        fs::create_directories(dir + "/reframework/data");
        fs::current_path(dir);
        account = StartMiniHttpServer(39001);
        rooms = StartMiniHttpServer(39002);
        ASSERT_NE(account, nullptr);
        ASSERT_NE(rooms, nullptr);
        SetMiniHttpHandler(account, [](const MiniHttpRequest& r) {
            MiniHttpAnswer a;
            if (r.target == "/session")
                a.body = "{\"ok\":true,\"email_verified\":true,\"role\":\"user\",\"settings\":\"\","
                         "\"username\":\"vesper\",\"gamertag\":\"Ve\\\"sper\"}";
            else
                a.body = "{\"ok\":true}";
            return a;
        });
        SetMiniHttpHandler(rooms, [](const MiniHttpRequest&) {
            MiniHttpAnswer a;
            a.body = "{\"ok\":true,\"messages\":[],\"last_id\":0}";
            return a;
        });
        OverlayUi::SetUp();
        g_app.flags.client_check_started = false;
    }
    void TearDown() override
    {
        OverlayUi::TearDown();
        StopMiniHttpServer(account);
        StopMiniHttpServer(rooms);
        fs::current_path(old_dir);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    static size_t Count(MiniHttpServer* s, const std::string& path)
    {
        size_t n = 0;
        for (const MiniHttpRequest& r : MiniHttpRequests(s))
            n += r.target == path;
        return n;
    }
    static std::string File(const char* name)
    {
        std::string text;
        ReadWholeFile(std::string("reframework/data/") + name, text, 4096);
        return text;
    }
};

TEST_F(ClientFrameUi, WithTheMenuClosedTheSavedLoginTheCheckAndTheFilesAreLookedAfter)
{
    ASSERT_TRUE(WriteFileAtomically("reframework/data/Kestrel_login.json",
                                    "{\"token\":\"T1\",\"username\":\"vesper\",\"gamertag\":\"vesper\","
                                    "\"role\":\"user\",\"verified\":true}"));
    ASSERT_TRUE(DriverRunUntil([&] { return Count(account, "/session") == 1 && Count(account, "/clientcheck") == 1; }));
    EXPECT_EQ(g_app.shell.current_page, PageHome) << "a restored sign-in starts on Home";
    EXPECT_FALSE(g_app.account.is_guest);
    // The session's answer renamed the player: the nameplate follows, escaped.
    ASSERT_TRUE(DriverRunUntil([&] { return File("Kestrel_nameplate.json").find("sper") != std::string::npos &&
                                            File("Kestrel_nameplate.json").find("\\\"") != std::string::npos; }))
        << File("Kestrel_nameplate.json") << " " << Count(account, "/session");
    EXPECT_EQ(File("Kestrel_nameplate.json"),
              "{\"name\":\"Ve\\\"sper\",\"display\":3,\"max_dist\":35,\"height\":185,\"text_scale\":100}");
    DriverFrame(60);
    EXPECT_EQ(Count(account, "/session"), 1u) << "checked once";
    EXPECT_EQ(Count(account, "/clientcheck"), 1u) << "posted once";
    EXPECT_TRUE(OnlyIndicatorsDrawn()) << "the menu stayed closed";
    EXPECT_EQ(File("Kestrel_role.json"), "") << "no room, no role file";

    // In a room: the role file, and the chat polled at once, then every 3 s
    // of the overlay's clock.
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        g_app.room.room_code = "ABC234";
        g_app.room.room_role = 'A';
    }
    g_app.room.heartbeat_active = true; // a live room, without its heartbeat thread
    g_app.flags.room_state = RoomIn;
    ASSERT_TRUE(DriverRunUntil([&] { return Count(rooms, "/chat/poll") == 1; }));
    EXPECT_EQ(File("Kestrel_role.json"), "{\"role\":\"A\",\"connected\":false,\"session\":0}");
    DriverSetFrameTime(0.5f);
    DriverFrame(5); // 2.5 s more
    WaitForMiniHttpRequests(rooms, 2, 300);
    EXPECT_EQ(Count(rooms, "/chat/poll"), 1u);
    DriverFrame(2); // past 3 s
    EXPECT_EQ(WaitForMiniHttpRequests(rooms, 2, 5000), 2u);
    EXPECT_TRUE(OnlyIndicatorsDrawn());
}

TEST_F(ClientFrameUi, ANameplateFileThatCannotBeWrittenIsTriedAgain)
{
    fs::remove_all("reframework");
    DriverFrame(3);
    EXPECT_EQ(File("Kestrel_nameplate.json"), "");
    fs::create_directories("reframework/data");
    DriverSetFrameTime(0.25f);
    DriverFrame(2);
    EXPECT_EQ(File("Kestrel_nameplate.json"), "") << "not more than once a second";
    // The retry waits on the steady clock, not the overlay's.
    EXPECT_TRUE(DriverRunUntil([] { return !File("Kestrel_nameplate.json").empty(); }, 3.0));
    EXPECT_EQ(File("Kestrel_nameplate.json"),
              "{\"name\":\"Guest\",\"display\":3,\"max_dist\":35,\"height\":185,\"text_scale\":100}");
}

TEST_F(ClientFrameUi, ATakenOverSignInEmptiesThePasswordField)
{
    snprintf(g_ui.password, sizeof(g_ui.password), "Secret!Pass1");
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        g_app.account.token = "T2";
        g_app.account.username = g_app.account.gamertag = "vesper";
    }
    g_app.flags.auth_status = AuthSucceeded;
    DriverFrame();
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthIdle);
    EXPECT_EQ(g_ui.password[0], 0);
    EXPECT_EQ(g_app.shell.current_page, PageWelcome);
}

} // namespace
