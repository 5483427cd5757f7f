// The room pages against a scripted room port, for the exact bodies, answers
// held back while a page shows its busy face, and a chat longer than kept.
#include "room_pages_fixture.h"

#include "backend/lobby_chat.h"
#include "backend/ready.h"
#include "backend/rooms.h"
#include "link/peer_link.h"
#include "mini_http_server.h"
#include "ui/input_queue.h"
#include "ui/pages/pages.h"
#include "ui/palette.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

namespace {

class ScriptedRoomsUi : public RoomPagesUi
{
protected:
    MiniHttpServer* rooms = nullptr;
    std::mutex answers_lock;
    std::map<std::string, std::string> answers; // by path
    std::atomic<int> heartbeat_status{200};
    std::atomic<bool> holding{false};            // hold every answer back

    void SetUp() override
    {
        RoomPagesUi::SetUp();
        Answer("/quickmatch", "{\"ok\":true,\"code\":\"QX7K2P\",\"role\":\"A\"}");
        Answer("/create", "{\"ok\":false,\"error\":\"Room name taken.\"}");
        Answer("/join", "{\"ok\":false,\"error\":\"Room not found.\"}");
        Answer("/heartbeat", "{\"ok\":true,\"my_ready\":false,\"peer_ready\":false,\"started\":false,\"peer\":\"\"}");
        Answer("/chat/poll", "{\"ok\":true,\"messages\":[]}");
        rooms = StartMiniHttpServer(39002);
        ASSERT_NE(rooms, nullptr);
        SetMiniHttpHandler(rooms, [this](const MiniHttpRequest& r) {
            while (holding.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard<std::mutex> hold(answers_lock);
            auto it = answers.find(r.target);
            MiniHttpAnswer a;
            a.body = it == answers.end() ? "{\"ok\":true}" : it->second;
            a.status = r.target == "/heartbeat" ? heartbeat_status.load() : 200;
            return a;
        });
    }
    void TearDown() override
    {
        holding = false;
        RoomPagesUi::TearDown();
        StopMiniHttpServer(rooms);
    }
    void Answer(const std::string& path, const std::string& body)
    {
        std::lock_guard<std::mutex> hold(answers_lock);
        answers[path] = body;
    }
    std::vector<std::string> Bodies(const std::string& path)
    {
        std::vector<std::string> out;
        for (const MiniHttpRequest& r : MiniHttpRequests(rooms))
            if (r.target == path)
                out.push_back(r.body);
        return out;
    }
    static std::string Code()
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        return g_app.room.room_code;
    }
    bool Click(const std::string& label)
    {
        const bool found = DriverClick(label);
        EXPECT_TRUE(found) << label << "\n" << DriverText();
        return found;
    }
};

TEST_F(ScriptedRoomsUi, CreateARoomSendsTheFormAndARefusalKeepsIt)
{
    ShowPage(PageCreate);
    EXPECT_STREQ(g_ui.room_name, "New Co-op Room");
    EXPECT_TRUE(Shows("Public: anyone can find this room in Matchmaking."));
    Click("##chap");
    DriverType("3");
    Click("##stage");
    DriverType("1-2");
    Click("##mod");
    DriverType("Driftwood");
    Click("Private");
    EXPECT_TRUE(Shows("Private: only people you give the room code can join."));
    Click("Show the mod I'm playing");
    EXPECT_EQ(DriverFind("##mod"), nullptr) << "hidden while unticked";
    EXPECT_STREQ(g_ui.room_mod, "Driftwood") << "but kept";

    holding = true;
    Click("Create Room");
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageMatchmaking);
    EXPECT_TRUE(Shows("Searching for a match..."));
    EXPECT_EQ(DriverFind("Quickmatch"), nullptr) << "no button while searching";
    g_app.shell.current_page = PageCreate;
    DriverFrame();
    EXPECT_TRUE(Shows("Creating room..."));
    Click("Creating room...");
    holding = false;
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() == RoomFailed; }));
    DriverFrame();
    ASSERT_EQ(Bodies("/create").size(), 1u) << "one request however often it was clicked";
    EXPECT_EQ(Bodies("/create")[0], "{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() +
                                         "\",\"name\":\"New Co-op Room\",\"visibility\":\"private\","
                                         "\"chapter_label\":\"3\",\"stage\":\"1-2\",\"mod\":\"\",\"chapter\":0" +
                                         VersionMembers() + "}");
    EXPECT_TRUE(Shows("Room name taken."));
    const DriverItem* button = DriverFind("Create Room");
    ASSERT_NE(button, nullptr);

    // Away and back: the form is as the player left it.
    Click("  Home");
    DriverFrame(21);
    Click("  Create");
    DriverFrame(21);
    EXPECT_STREQ(g_ui.room_chapter, "3");
    EXPECT_STREQ(g_ui.room_stage, "1-2");
    EXPECT_TRUE(Shows("Private: only people you give the room code can join."));
    EXPECT_EQ(DriverFind("##mod"), nullptr);
    Click("Show the mod I'm playing");
    EXPECT_NE(DriverFind("##mod"), nullptr);
    EXPECT_STREQ(g_ui.room_mod, "Driftwood");
    Click("Cancel");
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageHome);
}

TEST_F(ScriptedRoomsUi, QuickmatchFromHomeThenTheChatLineAndLeaving)
{
    ShowPage(PageHome);
    EXPECT_TRUE(Shows("WELCOME")) << "a guest is new each time";
    EXPECT_FALSE(Shows("WELCOME BACK"));
    EXPECT_TRUE(Shows("Guest"));
    EXPECT_TRUE(Shows("Idle - not in a room"));
    holding = true;
    TakeRecordedSounds();
    Click("Quickmatch");
    EXPECT_EQ(Sounds(), std::vector<std::string>{"confirm"});
    DriverFrame();
    EXPECT_TRUE(Shows("Searching for a match...")) << "the status card";
    EXPECT_NE(DriverFind("Return to Lobby"), nullptr);
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageMatchmaking);
    EXPECT_TRUE(Shows("Find a Match"));
    EXPECT_TRUE(Shows("Searching for a match..."));
    holding = false;
    ASSERT_TRUE(DriverRunUntil([] { return Shows("QX7K2P"); })) << DriverText();
    EXPECT_EQ(Bodies("/quickmatch"), std::vector<std::string>{"{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() +
                                                              "\",\"chapter\":-1" + VersionMembers() + "}"});
    for (const char* line : {"Lobby", "Share this code", "You - Host (A)", "HOST", "NOT READY", "Waiting for a player...",
                             "Share your room code to invite someone", "WAITING", "LOBBY CHAT",
                             "Waiting for your partner to join - you can start typing now.",
                             "Waiting for a partner to join.", "Nameplate"})
        EXPECT_TRUE(Shows(line)) << line << "\n" << DriverText();
    EXPECT_FALSE(Shows("ROOM INFO")) << "quickmatch rooms have no chapter, stage or mod";
    EXPECT_NE(DriverFind("Ready Up"), nullptr);

    // Enter on an empty line sends nothing; with text it sends once and empties the line.
    Click("##lobbychatin");
    DriverKey(kVkEnter);
    DriverFrame(3);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Bodies("/chat/send").empty());
    // The partner has been talking: more lines than the service keeps.
    std::string lines = "{\"ok\":true,\"messages\":[";
    for (int i = 1; i <= 250; i++)
        lines += std::string(i > 1 ? "," : "") + "{\"id\":" + std::to_string(i) +
                 ",\"role\":\"B\",\"name\":\"Bob\",\"body\":\"line " + std::to_string(i) + "\"}";
    Answer("/chat/poll", lines + "]}");
    Click("##lobbychatin");
    DriverType("hello \"there\"");
    DriverKey(kVkEnter);
    ASSERT_TRUE(DriverRunUntil([&] { return Bodies("/chat/send").size() == 1; }));
    EXPECT_EQ(Bodies("/chat/send")[0], "{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() +
                                           "\",\"code\":\"QX7K2P\",\"text\":\"hello \\\"there\\\"\"}");
    EXPECT_EQ(g_app.chat.chat_input[0], 0);
    ASSERT_TRUE(DriverRunUntil([] { return Shows("line 250"); })) << "the list follows the newest line";
    ASSERT_TRUE(DriverRunUntil([&] { return Bodies("/chat/poll").size() >= 3; }, 15.0));
    {
        std::lock_guard<std::mutex> hold(g_app.chat.lock);
        ASSERT_EQ(g_app.chat.chat_messages.size(), 200u) << "as many as the service keeps";
        EXPECT_EQ(g_app.chat.chat_messages.front().body, "line 51");
        EXPECT_EQ(g_app.chat.chat_messages.back().body, "line 250");
    }

    Click("Leave Room");
    ASSERT_TRUE(DriverRunUntil([&] { return Bodies("/leave").size() == 1; }));
    EXPECT_EQ(Bodies("/leave")[0], "{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() + "\",\"code\":\"QX7K2P\"}");
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageHome);
    EXPECT_TRUE(Shows("Idle - not in a room"));
}

TEST_F(ScriptedRoomsUi, AJoinerAloneSeesNoHostTagOnTheEmptySlot)
{
    Answer("/quickmatch", "{\"ok\":true,\"code\":\"QX7K2P\",\"role\":\"B\"}");
    ShowPage(PageHome);
    Click("Quickmatch");
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Waiting for a player..."); })) << DriverText();
    EXPECT_TRUE(Shows("You - Joiner (B)"));
    EXPECT_FALSE(Shows("HOST"));
}

TEST_F(ScriptedRoomsUi, AStartFromAClosedRoomLeavesItFirst)
{
    Answer("/chat/poll", "{\"ok\":true,\"messages\":[{\"id\":9,\"role\":\"B\",\"name\":\"Bob\",\"body\":\"bye\"}]}");
    ShowPage(PageMatchmaking);
    Click("Quickmatch");
    ASSERT_TRUE(DriverRunUntil([] { return Shows("bye"); }));
    Answer("/heartbeat", "{\"ok\":false,\"error\":\"Room closed.\"}");
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Room closed."); }, 10.0));
    EXPECT_TRUE(Bodies("/leave").empty());

    holding = true;
    Click("Quickmatch");
    DriverFrame();
    EXPECT_TRUE(Shows("Searching for a match..."));
    EXPECT_EQ(Code(), "") << "the closed room is left at once";
    {
        std::lock_guard<std::mutex> hold(g_app.chat.lock);
        EXPECT_TRUE(g_app.chat.chat_messages.empty());
        EXPECT_EQ(g_app.chat.chat_last_id, 0);
    }
    Answer("/heartbeat", "{\"ok\":true,\"peer\":\"\"}");
    holding = false;
    ASSERT_TRUE(DriverRunUntil([&] { return Bodies("/leave").size() == 1 && g_app.flags.room_state.load() == RoomIn; }));
    EXPECT_EQ(Bodies("/leave")[0], "{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() + "\",\"code\":\"QX7K2P\"}");
}

TEST_F(ScriptedRoomsUi, FindARoomFetchesOnceUpperCasesTheCodeAndJoinsOnlyWhenIdle)
{
    Answer("/list", "{\"ok\":true,\"rooms\":[{\"code\":\"QX7K2P\",\"name\":\"%n%s\",\"host\":\"Bob\",\"players\":1,"
                    "\"max\":2},{\"code\":\"ZZ22AB\",\"players\":1}]}");
    holding = true;
    ShowPage(PageSearch);
    EXPECT_TRUE(Shows("Loading rooms..."));
    EXPECT_NE(DriverFind("Refreshing..."), nullptr);
    holding = false;
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Host: Bob   1/2   Code: QX7K2P"); })) << DriverText();
    EXPECT_TRUE(Shows("%n%s")) << "a room's name is shown as written";
    EXPECT_TRUE(Shows("Host: -   1/2   Code: ZZ22AB"));
    DriverFrame(30);
    EXPECT_EQ(MiniHttpRequests(rooms).size(), 1u) << "one fetch on the first visit";
    EXPECT_EQ(Bodies("/list")[0], "{}");

    // The code field: capitals as typed, seven characters at most, "Join" inert while empty.
    const DriverItem* join = FindIn("Join", "allroomslist", false);
    ASSERT_NE(join, nullptr);
    DriverClickAt(join->rect.GetCenter());
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageSearch);
    Click("##joincode");
    DriverType("abc12");
    DriverFrame(2);
    EXPECT_STREQ(g_ui.join_code, "ABC12");
    DriverType("xyz");
    DriverFrame(2);
    EXPECT_STREQ(g_ui.join_code, "ABC12XY");

    // A join in flight: no row offers "Join" and the code's button does nothing.
    holding = true;
    ASSERT_NE(FindIn("Join", "allroomslist"), nullptr);
    DriverClickAt(FindIn("Join", "allroomslist")->rect.GetCenter());
    EXPECT_EQ(g_app.flags.room_state.load(), RoomBusy);
    g_app.shell.current_page = PageSearch;
    g_app.shell.pending_page = -1;
    DriverFrame();
    EXPECT_EQ(FindIn("Join", "allroomslist"), nullptr) << DriverText();
    DriverClickAt(FindIn("Join", "allroomslist", false)->rect.GetCenter());
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageSearch);
    holding = false;
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() == RoomFailed; }));
    DriverFrame();
    EXPECT_TRUE(Shows("Room not found."));
    ASSERT_EQ(Bodies("/join").size(), 1u);
    EXPECT_NE(Bodies("/join")[0].find("\"code\":\"QX7K2P\""), std::string::npos) << "the row's code";
    Click("Refresh");
    ASSERT_TRUE(DriverRunUntil([&] { return Bodies("/list").size() == 2; }));
}

// A linked session whose partner goes quiet, then whose own beats go
// unanswered: the lobby, its readout, the pill over the game, the Co-op
// button and Home all tell the same state, and nothing still says
// "Connected" or "Idle"; each comes back without a click.
TEST_F(ScriptedRoomsUi, ReconnectingAndPartnerReconnectingSaidTheSameOnEverySurface)
{
    const auto beat = [&](bool away) { Answer("/heartbeat", away ? R"({"ok":true,"peer_away":true,"peer":"Bob"})" : R"({"ok":true,"peer":"Bob"})"); };
    beat(false);
    StartRoomOp({.mode = RoomOpQuickmatch});
    ShowPage(PageMatchmaking);
    ASSERT_TRUE(DriverRunUntil([&] { return Shows("Both players must ready up to connect."); }, 10.0)) << DriverText();
    g_app.flags.link_running = true; // the session runs (its link is not the point here)
    const char* kConnected = "Connected - load into the same area to play together.";
    ASSERT_TRUE(DriverRunUntil([&] { return Shows(kConnected); }, 5.0)) << DriverText();
    const auto button_fill = [] {
        const ImGuiWindow* w = ImGui::FindWindowByName("##mp_toggle");
        ImU32 best = 0; // the most opaque vertex beside the label: the fill
        for (const ImDrawVert& v : w->DrawList->VtxBuffer)
            if (v.pos.x < w->Pos.x + 8.0f && (v.col >> IM_COL32_A_SHIFT) > (best >> IM_COL32_A_SHIFT))
                best = v.col;
        return best & ~IM_COL32_A_MASK;
    };
    const auto rgb = [](const ImVec4& c) { return ImGui::ColorConvertFloat4ToU32(c) & ~IM_COL32_A_MASK; };
    EXPECT_EQ(button_fill(), rgb(ColGreen));
    struct Case
    {
        const char *lobby, *home, *pill;
    };
    const Case cases[] = {
        {"Partner reconnecting - their place is kept.", "Partner reconnecting - their place is kept",
         "Partner reconnecting..."},
        {"Reconnecting to the room - your place is kept.", "Reconnecting - your place in the room is kept",
         "Reconnecting..."},
    };
    for (const Case& c : cases) {
        // The service holds the partner's place, or this client's beats go unanswered.
        c.pill[0] == 'P' ? beat(true) : (void)(heartbeat_status = 503);
        ASSERT_TRUE(DriverRunUntil([&] { return Shows(c.lobby); }, 15.0)) << DriverText();
        EXPECT_TRUE(Shows("Bob") && Shows("QX7K2P"));
        EXPECT_TRUE(Shows(c.pill)) << "the pill over the game: " << DriverText();
        EXPECT_TRUE(Shows("Paused")) << DriverText();
        EXPECT_FALSE(Shows("Connected")) << DriverText();
        EXPECT_FALSE(Shows(" ms")) << "no figures from before the drop";
        EXPECT_EQ(button_fill(), rgb(ColGold));
        ShowPage(PageHome);
        EXPECT_TRUE(Shows(c.home)) << DriverText();
        EXPECT_FALSE(Shows("Idle") || Shows("Connected")) << DriverText();
        EXPECT_TRUE(Shows(c.pill));
        ShowPage(PageMatchmaking);
        beat(false), heartbeat_status = 200;
        ASSERT_TRUE(DriverRunUntil([&] { return Shows(kConnected); }, 10.0)) << DriverText();
        EXPECT_EQ(button_fill(), rgb(ColGreen));
        const std::vector<Toast> q = CopyToasts(); // the toast comes with the partner's return
        EXPECT_TRUE(c.pill[0] != 'P' || std::any_of(q.begin(), q.end(), [](const Toast& t) {
                        return t.title == "Partner Reconnected" && t.text == "Bob is back in the session.";
                    }));
    }
    g_app.flags.link_running = false;
    LeaveRoom();
    TakeToasts(); // not for the next case to read
}

TEST_F(ScriptedRoomsUi, TheConnectionReadoutAndTheNameplateSliders)
{
    g_app.flags.room_state = RoomIn; // a room whose code has not come yet: nothing to link to
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        g_app.room.room_role = 'A';
        g_app.room.room_chapter_label = "4";
        g_app.room.room_mod = "Driftwood";
    }
    g_app.flags.room_started = true;
    ShowPage(PageMatchmaking);
    EXPECT_TRUE(Shows("-----"));
    EXPECT_TRUE(Shows("Both ready - connecting..."));
    EXPECT_TRUE(Shows("Chapter / Stage"));
    EXPECT_TRUE(Shows("Driftwood"));
    EXPECT_NE(DriverFind("Ready Up"), nullptr);

    g_app.flags.room_started = false;
    g_app.flags.link_running = true;
    struct Case { int rtt, pings, lost; const char* word; const char* figures; int bars; } kCases[] = {
        {59, 0, 0, "Excellent", "59 ms", 4},
        {59, 50, 1, "Good", "59 ms  -  2% loss", 3},
        {150, 25, 3, "Poor", "150 ms  -  12% loss", 1},
        {-1, 0, 0, "Measuring...", nullptr, 0},
    };
    for (const Case& c : kCases) {
        {
            std::lock_guard<std::mutex> hold(g_app.link.lock);
            g_app.link.rtt_ms = c.rtt;
            g_app.link.pings.clear();
            g_app.link.first_pong_ms = LinkClockMs() - 6000.0; // the partner answered before these
            for (int i = 0; i < c.pings; i++)
                g_app.link.pings.push_back(PingRecord{(uint32_t)i + 1, LinkClockMs() - 5000.0, i >= c.lost});
        }
        DriverFrame();
        EXPECT_TRUE(Shows("Connected - load into the same area to play together.")) << c.word;
        EXPECT_TRUE(Shows("CONNECTION")) << c.word;
        EXPECT_TRUE(Shows(c.word)) << DriverText();
        if (c.figures)
            EXPECT_TRUE(Shows(c.figures)) << DriverText();
        else
            EXPECT_FALSE(Shows(" ms")) << DriverText();
        EXPECT_EQ(DriverFind("Ready Up"), nullptr);
        EXPECT_EQ(DriverFind("Cancel Ready"), nullptr);
        const LinkRating rating = RateLink(LinkRttMs(), LinkLossPercent());
        EXPECT_EQ(rating.bars, c.bars) << c.word;
        if (c.rtt == 59) {
            EXPECT_TRUE(Shows("Through relay, 59 ms")) << DriverText();
        }
    }
    // The path in use, with the round trip of that path.
    {
        std::lock_guard<std::mutex> hold(g_app.link.lock);
        g_app.link.path_direct = true;
        g_app.link.path_rtt_ms[1] = 3.0;
    }
    DriverFrame();
    EXPECT_TRUE(Shows("Direct, 3 ms") && !Shows("Through relay")) << DriverText();
    {
        std::lock_guard<std::mutex> hold(g_app.link.lock);
        g_app.link.path_direct = false;
        g_app.link.path_rtt_ms[1] = -1.0;
    }
    // The game sync in a player's words; the figures one click away.
    EXPECT_TRUE(Shows("GAME SYNC")) << DriverText();
    EXPECT_TRUE(Shows("Waiting for the first update from your partner's game")) << "nothing came yet";
    EXPECT_FALSE(Shows("Packet") || Shows("mine")) << "no debug names";
    EXPECT_EQ(DriverFind("Send my game again"), nullptr) << "nothing to mend yet";
    DriverWheelAt(ImVec2(700.0f, 400.0f), -30.0f); // below the fold
    DriverFrame(2);
    ASSERT_TRUE(DriverClick("Show details"));
    DriverFrame();
    for (const char* word : {"From your partner", "From you", "Position", "Story progress", "Companion", "not yet",
                             "Round trip, up to a minute back"})
        EXPECT_TRUE(Shows(word)) << word << "\n" << DriverText();
    EXPECT_NE(DriverFind("Send my game again"), nullptr);
    ASSERT_TRUE(DriverClick("Hide details"));
    DriverFrame();
    EXPECT_FALSE(Shows("From your partner"));
    EXPECT_EQ(RateLink(-1, -1).colour.x, ColMuted.x);
    EXPECT_EQ(RateLink(150, 12).colour.x, 0.86f);
    EXPECT_EQ(RateLink(59, -1).colour.y, ColGreen.y);

    // Typed values beyond a slider's range are clamped.
    Click("Nameplate");
    EXPECT_TRUE(Shows("Your name (Guest) floats over your character so your partner can see who you are."));
    struct Typed { const char* id; const char* text; int32_t* value; int32_t want; } kTyped[] = {
        {"##np_dist", "999", &g_app.nameplate.max_dist, 100},
        {"##np_height", "20", &g_app.nameplate.height, 50},
        {"##np_text", "-7", &g_app.nameplate.text_scale, 50},
    };
    for (const Typed& t : kTyped) {
        QueueKeyEvent(0x11, true); // Ctrl held: a click types into the slider
        Click(t.id);
        QueueKeyEvent(0x11, false);
        DriverType(t.text);
        DriverKey(kVkEnter);
        DriverFrame(3);
        EXPECT_EQ(*t.value, t.want) << t.id;
    }
    EXPECT_EQ(g_app.nameplate.display, 3);
    ASSERT_TRUE(DriverRunUntil([] {
        return ReadText("reframework/data/Kestrel_nameplate.json").find("\"max_dist\":100,\"height\":50,"
                                                                          "\"text_scale\":50") != std::string::npos;
    }));
}

} // namespace
