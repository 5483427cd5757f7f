// The road to a co-op session on screen, against the real service, with
// kestrel-partner as the other player.
#include "room_pages_fixture.h"

#include "../unit/app_reset.h"

#include "backend/ready.h"
#include "backend/rooms.h"
#include "link/peer_link.h"
#include "platform/platform.h"

#include <csignal>
#include <regex>
#include <thread>

namespace {

class RoadUi : public RoomPagesUi
{
protected:
    ServiceProcess service;
    std::vector<pid_t> partners;

    void SetUp() override
    {
        RoomPagesUi::SetUp();
        // Three rooms at most, so a test can fill the service with partners.
        ASSERT_TRUE(StartService(service, {"--max-rooms", "3"})) << service.output;
    }
    void TearDown() override
    {
        for (pid_t p : partners)
            StopProgram(p);
        LeaveRoomAndWaitForLink();
        StopService(service);
        RoomPagesUi::TearDown();
    }
    pid_t Partner(const std::string& tag, std::vector<std::string> args)
    {
        args.insert(args.begin(), BuiltProgram("tools/kestrel-partner"));
        args.insert(args.end(), {"--dir", dir + "/" + tag});
        const pid_t pid = StartProgram(args, dir + "/" + tag + ".log");
        EXPECT_GT(pid, 0);
        partners.push_back(pid);
        return pid;
    }
    std::string LogMatch(const std::string& tag, const std::string& pattern)
    {
        std::smatch m;
        const std::string log = ReadText(dir + "/" + tag + ".log");
        return std::regex_search(log, m, std::regex(pattern)) ? m[1].str() : "";
    }
    bool Logged(const std::string& tag, const std::string& text)
    {
        return ReadText(dir + "/" + tag + ".log").find(text) != std::string::npos;
    }
    static bool Queued(const std::string& title, const std::string& text)
    {
        for (const Toast& t : CopyToasts())
            if (t.title == title && t.text == text)
                return true;
        return false;
    }
    static std::string Code()
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        return g_app.room.room_code;
    }
};

TEST_F(RoadUi, QuickmatchChatReadyConnectedAndLeaving)
{
    ShowPage(PageHome);
    ASSERT_TRUE(DriverClick("Quickmatch"));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.shell.current_page == PageMatchmaking && Shows(Code()); }));
    EXPECT_TRUE(Shows("Waiting for a player..."));

    Partner("bob", {"--quickmatch", "--ready", "--say", "hi from bob"});
    ASSERT_TRUE(DriverRunUntil([&] { return !LogMatch("bob", "signed in: guest (Guest[0-9]+)").empty(); }));
    const std::string bob = LogMatch("bob", "signed in: guest (Guest[0-9]+)");
    ASSERT_TRUE(DriverRunUntil([&] { return Shows("Partner - Joiner (B)"); }, 15.0)) << DriverText();
    EXPECT_TRUE(Shows(bob));
    EXPECT_TRUE(Shows("READY")) << "bob readied at once";
    EXPECT_TRUE(Shows("Both players must ready up to connect."));
    // The beat names the partner a moment before it raises the toast: a frame may show it in between.
    EXPECT_TRUE(DriverRunUntil([&] { return Queued("Partner Joined", bob + " joined your lobby."); }));

    // Chat both ways through the input line.
    ASSERT_TRUE(DriverRunUntil([] { return Shows("hi from bob"); }, 15.0));
    ASSERT_TRUE(DriverClick("##lobbychatin"));
    DriverType("hello from the lobby");
    DriverKey(kVkEnter);
    ASSERT_TRUE(DriverRunUntil([] { return Shows("hello from the lobby"); }, 10.0)) << "own line, once polled";
    EXPECT_TRUE(DriverRunUntil([&] { return Logged("bob", "toast: Guest: hello from the lobby"); }));

    // Both ready: the link comes up and the readout shows its figures.
    ASSERT_TRUE(DriverClick("Ready Up"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Connected - load into the same area to play together."); }));
    EXPECT_TRUE(Shows("CONNECTION"));
    EXPECT_EQ(DriverFind("Ready Up"), nullptr);
    EXPECT_EQ(DriverFind("Cancel Ready"), nullptr);
    ASSERT_TRUE(DriverRunUntil([] { return LinkRttMs() >= 0 && Shows(" ms"); }));
    // Pings sent before the partner's link registered count as lost for a
    // while, so on loopback the word may still be any of the four.
    EXPECT_TRUE(Shows("Excellent") || Shows("Good") || Shows("Okay") || Shows("Poor")) << DriverText();

    // The partner goes: the waiting card comes back, the link stops.
    kill(partners.back(), SIGTERM);
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Waiting for a player..."); }, 15.0));
    EXPECT_TRUE(DriverRunUntil([] { return !g_app.flags.link_running.load() && Shows("Ready Up"); }));
    EXPECT_TRUE(DriverRunUntil([] { return Queued("Partner Left", "Your partner left the lobby."); }));

    // Leaving tells the service at once: the next player to quickmatch hosts.
    ASSERT_TRUE(DriverClick("Leave Room"));
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageHome);
    EXPECT_TRUE(Shows("Idle - not in a room"));
    Partner("carl", {"--quickmatch"});
    ASSERT_TRUE(DriverRunUntil([&] { return !LogMatch("carl", "room: ([A-Z0-9]+, role [AB])").empty(); }));
    EXPECT_NE(LogMatch("carl", "room: ([A-Z0-9]+, role [AB])").find("role A"), std::string::npos);
}

TEST_F(RoadUi, ARestartedGameRejoinsFromHomeUntilTheRoomIsGone)
{
    const pid_t host = Partner("host", {"--create", "Kept room"});
    ASSERT_TRUE(DriverRunUntil([&] { return !LogMatch("host", "room: ([A-Z0-9]+)").empty(); }));
    const std::string code = LogMatch("host", "room: ([A-Z0-9]+)"), tile = "Rejoin Room " + code;
    StartRoomOp({.mode = RoomOpJoin, .code = code});
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    for (const bool room_gone : {false, true}) {
        // What a restart leaves: no room in memory, no leave sent, the data folder.
        g_app.room.heartbeat_active = false, g_app.room.room_generation++, g_app.flags.room_state = RoomIdle;
        { std::lock_guard<std::mutex> hold(g_app.room.lock); g_app.room.room_code.clear(); }
        { std::lock_guard<std::mutex> hold(g_app.saved_room.lock); g_app.saved_room.loaded = false; }
        { std::lock_guard<std::mutex> hold(g_app.client_id.lock); g_app.client_id.id.clear(); }
        if (room_gone && kill(host, SIGTERM) == 0) { // the host closes the room meanwhile
            ASSERT_TRUE(DriverRunUntil([&] { return Logged("host", "left room"); }));
        }
        ShowPage(PageHome);
        ASSERT_TRUE(DriverClick(tile)) << DriverText();
        ASSERT_TRUE(DriverRunUntil([&] { return Shows(room_gone ? "Room not found." : "Partner - Host (A)"); }, 10.0));
    }
    ShowPage(PageHome); // the tile is gone with the room
    EXPECT_TRUE(DriverFind(tile) == nullptr && DriverFind("Quickmatch") != nullptr) << DriverText();
}

TEST_F(RoadUi, FindARoomListsThePartnersRoomAndJoinEntersIt)
{
    Partner("host", {"--create", "%n%s"});
    ASSERT_TRUE(DriverRunUntil([&] { return !LogMatch("host", "room: ([A-Z0-9]+), role A").empty(); }));
    const std::string code = LogMatch("host", "room: ([A-Z0-9]+), role A");
    const std::string host = LogMatch("host", "signed in: guest (Guest[0-9]+)");
    ShowPage(PageSearch);
    ASSERT_TRUE(DriverRunUntil([&] { return Shows("Code: " + code); })) << DriverText();
    EXPECT_TRUE(Shows("%n%s"));
    EXPECT_TRUE(Shows("Host: " + host + "   1/2   Code: " + code));
    const DriverItem* join = FindIn("Join", "allroomslist");
    ASSERT_NE(join, nullptr);
    DriverClickAt(join->rect.GetCenter());
    ASSERT_TRUE(DriverRunUntil([&] { return Code() == code && Shows("Partner - Host (A)"); })) << DriverText();
    EXPECT_EQ(g_app.shell.current_page, PageMatchmaking);
    EXPECT_TRUE(Shows("You - Joiner (B)"));
    EXPECT_TRUE(Shows(host));
    EXPECT_TRUE(Shows("No messages yet. Say hi and ask what chapter they're on!"));

    // In a room, the page only points to the lobby.
    g_app.shell.current_page = PageSearch;
    DriverFrame();
    EXPECT_TRUE(Shows("You're already in a room. Open the Matchmaking tab to see the lobby."));
    ASSERT_TRUE(DriverClick("Go to Lobby"));
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageMatchmaking);
}

TEST_F(RoadUi, ANewRoomAfterRoomClosedShowsItsOwnFirstLines)
{
    Partner("old", {"--create", "Old room", "--say", "old one", "--say", "old two", "--say", "old three"});
    ASSERT_TRUE(DriverRunUntil([&] { return !LogMatch("old", "room: ([A-Z0-9]+), role A").empty(); }));
    StartRoomOp({.mode = RoomOpJoin, .code = LogMatch("old", "room: ([A-Z0-9]+), role A")});
    ShowPage(PageMatchmaking);
    ASSERT_TRUE(DriverRunUntil([] { return Shows("old three"); }, 15.0)) << DriverText();

    // The host goes: the room is closed under this player.
    kill(partners.back(), SIGTERM);
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Room closed."); }, 15.0));
    ASSERT_TRUE(DriverClick("Quickmatch"));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    TakeToasts(); // the old room's chat toasts may still show over the game
    DriverFrame();
    EXPECT_FALSE(Shows("old one")) << "nothing of the closed room";
    Partner("new", {"--quickmatch", "--say", "new one", "--say", "new two", "--say", "new three"});
    ASSERT_TRUE(DriverRunUntil([] { return Shows("new one") && Shows("new three"); }, 15.0)) << DriverText();
    TakeToasts();
    DriverFrame();
    EXPECT_TRUE(Shows("new one") && Shows("new three")) << "in the lobby's list";
    EXPECT_FALSE(Shows("old"));
}

// Create while in a room: the old room is left first, completely, whether
// the new one is granted or refused.
TEST_F(RoadUi, ARoomOperationInARoomLeavesTheOldRoomFirst)
{
    Partner("bob", {"--create", "Bob's room", "--ready"});
    ASSERT_TRUE(DriverRunUntil([&] { return !LogMatch("bob", "room: ([A-Z0-9]+), role A").empty(); }));
    Partner("carl", {"--create", "Carl's room"});
    ASSERT_TRUE(DriverRunUntil([&] { return !LogMatch("carl", "room: ([A-Z0-9]+), role A").empty(); }));
    ShowPage(PageHome);
    ASSERT_TRUE(DriverClick("Quickmatch")); // the oldest open room: Bob's
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Partner - Host (A)"); }, 15.0)) << DriverText();
    ASSERT_TRUE(DriverRunUntil([&] { return Logged("bob", "partner joined"); }, 8.0));
    ASSERT_TRUE(DriverClick("Ready Up"));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.link_running.load(); }, 15.0));
    const std::string role_file = dir + "/reframework/data/Kestrel_role.json";

    // Granted: Bob sees the player leave at once, the link stops, and the
    // lobby is the new room's alone.
    const std::string bobs = Code();
    g_app.shell.current_page = PageCreate;
    DriverFrame();
    ASSERT_TRUE(DriverClick("Create Room"));
    ASSERT_TRUE(DriverRunUntil([&] { return g_app.flags.room_state.load() == RoomIn && Code() != bobs; }));
    EXPECT_TRUE(DriverRunUntil([] { return !g_app.flags.link_running.load(); }));
    ASSERT_TRUE(DriverRunUntil([&] { return Logged("bob", "partner left"); }, 8.0)) << ReadText(dir + "/bob.log");
    g_app.shell.current_page = PageMatchmaking;
    ASSERT_TRUE(DriverRunUntil([] { return Shows("You - Host (A)") && Shows("Waiting for a player..."); }));
    EXPECT_FALSE(Shows("Partner - Host (A)"));
    EXPECT_TRUE(DriverRunUntil([&] { return ReadText(role_file).find("\"role\":\"A\"") != std::string::npos; }))
        << ReadText(role_file);

    // Back with Bob; then the service is full (Bob's, Carl's and Dan's rooms)
    // and refuses the next create: the player ends in no room at all.
    ASSERT_TRUE(DriverClick("Leave Room"));
    DriverFrame(21);
    ShowPage(PageHome);
    ASSERT_TRUE(DriverClick("Quickmatch"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Partner - Host (A)"); }, 15.0)) << DriverText();
    const size_t bob_left = ReadText(dir + "/bob.log").rfind("partner left");
    ASSERT_TRUE(DriverRunUntil([&] { return ReadText(dir + "/bob.log").rfind("partner joined") > bob_left; }, 8.0));
    Partner("dan", {"--create", "Dan's room"});
    ASSERT_TRUE(DriverRunUntil([&] { return !LogMatch("dan", "room: ([A-Z0-9]+), role A").empty(); }));
    g_app.shell.current_page = PageCreate;
    DriverFrame();
    ASSERT_TRUE(DriverClick("Create Room"));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() == RoomFailed; }));
    EXPECT_EQ(RoomError(), "The server is full. Try again later.");
    EXPECT_EQ(Code(), "");
    EXPECT_FALSE(g_app.room.heartbeat_active.load());
    ASSERT_TRUE(DriverRunUntil([&] { return ReadText(dir + "/bob.log").rfind("partner left") != bob_left; }, 8.0));
    DriverFrame(21);
    EXPECT_FALSE(std::filesystem::exists(role_file));
    EXPECT_TRUE(Shows("The server is full. Try again later.")) << DriverText();
    EXPECT_EQ(DriverFind("Leave Room"), nullptr);
    EXPECT_EQ(DriverFind("Ready Up"), nullptr);
}

// "Ready Up" and "Cancel Ready" share a place: a double click readies once.
TEST_F(RoadUi, ADoubleClickOnReadyUpReadiesOnce)
{
    ShowPage(PageHome);
    ASSERT_TRUE(DriverClick("Quickmatch"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Ready Up"); }));
    const ImVec2 button = DriverFind("Ready Up")->rect.GetCenter();
    DriverClickAt(button);
    DriverClickAt(button);
    DriverFrame();
    EXPECT_TRUE(g_app.room.my_ready.load());
    EXPECT_TRUE(Shows("Cancel Ready"));
    // The service agrees once its next beat is in.
    ASSERT_TRUE(DriverRunUntil([] { return g_app.room.ready_in_flight.load() == 0; }));
    const int64_t settled = SteadyNowNs();
    DriverRunUntil([&] { return SteadyNowNs() - settled > 3500000000; });
    EXPECT_TRUE(g_app.room.my_ready.load());
    // A single click later does what it says.
    ASSERT_TRUE(DriverClick("Cancel Ready"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Ready Up"); }));
    EXPECT_FALSE(g_app.room.my_ready.load());
}

} // namespace

