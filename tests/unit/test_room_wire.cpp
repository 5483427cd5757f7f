// The room workers against a scripted room port: the exact request bodies,
// how each answer lands in the state, toasts and sounds, and the stale-answer
// rules after leaving.
#include "app_reset.h"
#include "backend/click_sounds.h"
#include "backend/lobby_chat.h"
#include "backend/ready.h"
#include "backend/room_list.h"
#include "backend/rooms.h"
#include "backend/saved_room.h"
#include "link/channel_files.h"
#include "link/link_keys.h"
#include "link/link_seal.h"
#include "link/peer_link.h"
#include "platform/platform.h"
#include "scripted_port.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include "state/config.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>

namespace {

struct RoomSnapshot
{
    std::string code, partner, chapter, stage, mod, error;
    char role = 0;
};

RoomSnapshot Room()
{
    std::lock_guard<std::mutex> g(g_app.room.lock);
    const RoomState& r = g_app.room;
    return {r.room_code, r.room_partner, r.room_chapter_label, r.room_stage, r.room_mod, r.room_error, r.room_role};
}

std::string Relay()
{
    std::lock_guard<std::mutex> g(g_app.room.lock);
    return g_app.room.room_relay;
}

class RoomWire : public testing::Test
{
protected:
    ScriptedPort port;
    std::unique_ptr<GameDirectory> game;

    void SetUp() override
    {
        ResetAccountAreas();
        ResetRoomAreas();
        OverrideGameVersion("1.0.2.0");
        SetSendLinkKeys(true);
        game = std::make_unique<GameDirectory>();
        ASSERT_TRUE(port.Start(kRoomPort)) << "port 39002 is taken: run through tests/netns-run";
    }
    void TearDown() override
    {
        // Ends any heartbeat before the next case reuses the state.
        LeaveRoom();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        port.Stop();
        game.reset();
    }
    void Answer(const std::string& path, const std::string& body, int status = 200) { port.Answer(path, body, status); }
    void Delay(const std::string& path, int ms) { port.Delay(path, ms); }
    std::vector<std::string> Bodies(const std::string& path) { return port.Bodies(path); }
    size_t Count(const std::string& path) { return port.Count(path); }
    void Enter(const std::string& reply = "{\"ok\":true,\"code\":\"QX7K\",\"role\":\"A\"}")
    {
        Answer("/quickmatch", reply);
        StartRoomOp({.mode = RoomOpQuickmatch});
        ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    }
};

// The members every room request of this client ends with.
std::string Versions()
{
    return ",\"kestrel_version\":\"" + KestrelVersion() + "\",\"game_version\":\"1.0.2.0\"";
}

void SetDisplayNameTo(const char* name)
{
    std::lock_guard<std::mutex> g(g_app.account.lock);
    snprintf(g_app.account.display_name, sizeof(g_app.account.display_name), "%s", name);
}

} // namespace

// ---------------------------------------------------------------------------
// Bodies on the wire
// ---------------------------------------------------------------------------

TEST_F(RoomWire, QuickmatchCarriesTheNameTheClientIdAndMinusOneOnly)
{
    SetDisplayNameTo("Guest4321");
    Enter();
    const std::string cid = ClientId();
    ASSERT_EQ(cid.size(), 32u);
    EXPECT_EQ(cid.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(ClientId(), cid); // once per process
    EXPECT_EQ(Bodies("/quickmatch"),
              std::vector<std::string>{"{\"gamertag\":\"Guest4321\",\"cid\":\"" + cid + "\",\"chapter\":-1" +
                                       Versions() + "}"});
}

// A signed-in player's room requests prove its name with the token; a
// guest's stay exactly as they were.
TEST_F(RoomWire, ASignedInPlayersRoomRequestsCarryItsToken)
{
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        g_app.account.token = "tok\"en";
        g_app.account.gamertag = "Ann";
    }
    Enter();
    const std::string cid = ClientId();
    EXPECT_EQ(Bodies("/quickmatch"), std::vector<std::string>{"{\"gamertag\":\"Ann\",\"cid\":\"" + cid +
                                                              "\",\"token\":\"tok\\\"en\",\"chapter\":-1" +
                                                              Versions() + "}"});
    ASSERT_TRUE(WaitUntil([&] { return Count("/heartbeat") > 0; }));
    EXPECT_EQ(Bodies("/heartbeat").front(), "{\"gamertag\":\"Ann\",\"cid\":\"" + cid +
                                                "\",\"token\":\"tok\\\"en\",\"code\":\"QX7K\",\"link_key\":\"" +
                                                OwnLinkKey() + "\"" + Versions() + "}");
}

TEST_F(RoomWire, CreateSendsTheVisibilityWordAndAnEmptyModWhenHidden)
{
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        g_app.account.gamertag = "Ann \"the\" Great"; // the account's name wins over the display name
    }
    Answer("/create", "{\"ok\":true,\"code\":\"C1\"}");
    StartRoomOp({.mode = RoomOpCreate,
                 .name = "Ann's \"room\"",
                 .visibility = 1,
                 .chapter_text = "Chapter 2",
                 .stage_text = "Docks",
                 .mod_text = "BetterCam",
                 .show_mod = false});
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    LeaveRoom();
    g_app.flags.room_state.store(RoomIdle);
    StartRoomOp({.mode = RoomOpCreate, .name = "Open", .mod_text = "BetterCam", .show_mod = true});
    ASSERT_TRUE(WaitUntil([this] { return Count("/create") == 2; }));
    const std::string cid = ClientId();
    const std::vector<std::string> bodies = Bodies("/create");
    EXPECT_EQ(bodies[0], "{\"gamertag\":\"Ann \\\"the\\\" Great\",\"cid\":\"" + cid +
                             "\",\"name\":\"Ann's \\\"room\\\"\",\"visibility\":\"private\",\"chapter_label\":\"Chapter "
                             "2\",\"stage\":\"Docks\",\"mod\":\"\",\"chapter\":0" + Versions() + "}");
    EXPECT_EQ(bodies[1], "{\"gamertag\":\"Ann \\\"the\\\" Great\",\"cid\":\"" + cid +
                             "\",\"name\":\"Open\",\"visibility\":\"public\",\"chapter_label\":\"\",\"stage\":\"\","
                             "\"mod\":\"BetterCam\",\"chapter\":0" + Versions() + "}");
}

TEST_F(RoomWire, ReadySendsABareTrueOrFalse)
{
    Enter();
    SetReady(true);
    EXPECT_TRUE(g_app.room.my_ready.load()); // at once, before the answer
    SetReady(false);
    ASSERT_TRUE(WaitUntil([this] { return Count("/ready") == 2; }));
    std::vector<std::string> bodies = Bodies("/ready");
    std::sort(bodies.begin(), bodies.end());
    const std::string head = "{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() + "\",\"code\":\"QX7K\",\"ready\":";
    const std::string tail = ",\"link_key\":\"" + OwnLinkKey() + "\"" + Versions() + "}";
    ASSERT_EQ(OwnLinkKey().size(), 64u);
    EXPECT_EQ(bodies, (std::vector<std::string>{head + "false" + tail, head + "true" + tail}));
}

// An older client, as far as the service can tell: the bodies it always sent.
TEST_F(RoomWire, WithoutKeysTheRequestsAreTheOlderClientsOwn)
{
    SetSendLinkKeys(false);
    Answer("/heartbeat", "{\"ok\":true,\"peer\":\"Bob\"}");
    Enter();
    SetReady(true);
    ASSERT_TRUE(WaitUntil([this] { return Count("/ready") == 1 && Count("/heartbeat") >= 1; }));
    const std::string who = "{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() + "\"";
    EXPECT_EQ(Bodies("/quickmatch")[0], who + ",\"chapter\":-1}");
    EXPECT_EQ(Bodies("/ready")[0], who + ",\"code\":\"QX7K\",\"ready\":true}");
    EXPECT_EQ(Bodies("/heartbeat")[0], who + ",\"code\":\"QX7K\"}");
    SetSendLinkKeys(true);
}

// The partner's key and versions as the answers hand them: a key to seal to,
// none from an older partner, no member at all from an older service; a new
// room makes a new own key; sealed-only keeps a plain link from starting.
TEST_F(RoomWire, ThePartnersKeyAndVersionsComeWithTheBeatAndANewRoomMakesNewKeys)
{
    const std::string partner_key(64, 'b');
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":true,\"peer_ready\":true,\"started\":false,"
                         "\"peer_link_key\":\"" + partner_key + "\",\"peer_kestrel_version\":\"1.4.0\","
                         "\"peer_game_version\":\"1.0.3.0\",\"peer\":\"Bob\"}");
    Enter();
    const std::string own = OwnLinkKey();
    ASSERT_EQ(own.size(), 64u);
    ASSERT_TRUE(WaitUntil([] { return PartnerSealState() == PartnerSeal::Sealed; }));
    EXPECT_EQ(CurrentLinkKeys().partner, partner_key);
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        EXPECT_EQ(g_app.room.partner_kestrel_version, "1.4.0");
        EXPECT_EQ(g_app.room.partner_game_version, "1.0.3.0");
    }
    EXPECT_NE(Bodies("/heartbeat")[0].find(",\"link_key\":\"" + own + "\""), std::string::npos);
    EXPECT_EQ(VersionWarnings(KestrelVersion(), "1.0.2.0", "1.4.0", "1.0.3.0").front(),
              "Your partner runs game version 1.0.3.0, you run 1.0.2.0: co-op may not work.");

    // An older partner: the member empty. Sealed-only refuses the plain link.
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":true,\"peer_ready\":true,\"started\":true,"
                         "\"peer_link_key\":\"\",\"peer\":\"Bob\"}");
    ASSERT_TRUE(WaitUntil([] { return PartnerSealState() == PartnerSeal::PartnerOlder; }));
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_started.load(); }));
    SetLinkSealedOnly(true);
    EXPECT_TRUE(LinkRefusedPlain());
    LinkStartStep();
    EXPECT_FALSE(g_app.flags.link_running.load()) << "no plain link when refused";
    SetLinkSealedOnly(false);
    EXPECT_FALSE(LinkRefusedPlain());
    // An older service: no member at all.
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":true,\"peer_ready\":true,\"started\":false,\"peer\":\"Bob\"}");
    ASSERT_TRUE(WaitUntil([] { return PartnerSealState() == PartnerSeal::ServiceOlder; }));

    // Leaving forgets both keys; the next room has a new own key.
    LeaveRoom();
    EXPECT_EQ(OwnLinkKey(), "");
    EXPECT_EQ(PartnerSealState(), PartnerSeal::Unknown);
    g_app.flags.room_state.store(RoomIdle);
    Enter();
    EXPECT_EQ(OwnLinkKey().size(), 64u);
    EXPECT_NE(OwnLinkKey(), own);
}

// ---------------------------------------------------------------------------
// Answers
// ---------------------------------------------------------------------------

TEST_F(RoomWire, ARoomReplyFillsTheFieldsWithTheFormsValuesAsFallback)
{
    Answer("/create", "{\"ok\":true,\"code\":\"K9\",\"stage\":\"Pier\"}");
    StartRoomOp({.mode = RoomOpCreate,
                 .name = "R",
                 .chapter_text = "Ch 1",
                 .stage_text = "Typed stage",
                 .mod_text = "Mod",
                 .show_mod = true});
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    const RoomSnapshot r = Room();
    EXPECT_EQ(r.code, "K9");
    EXPECT_EQ(r.role, 'A'); // no role: host
    EXPECT_EQ(r.chapter, "Ch 1");
    EXPECT_EQ(r.stage, "Pier");
    EXPECT_EQ(r.mod, "Mod");
    EXPECT_TRUE(g_app.room.heartbeat_active.load());
    EXPECT_TRUE(WaitUntil([this] { return Count("/heartbeat") >= 1; })); // beats at once
}

TEST_F(RoomWire, FailuresShowTheirText)
{
    Answer("/join", "{\"ok\":false}");
    StartRoomOp({.mode = RoomOpJoin, .code = "ZZ"});
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomFailed; }));
    EXPECT_EQ(Room().error, "Matchmaking failed.");

    Answer("/join", "{\"ok\":false,\"error\":\"Room is full.\"}");
    StartRoomOp({.mode = RoomOpJoin, .code = "ZZ"});
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomFailed && Room().error == "Room is full."; }));

    Answer("/join", "{\"ok\":true,\"code\":\"ZZ\"}", 500); // not a 200: no answer
    StartRoomOp({.mode = RoomOpJoin, .code = "ZZ"});
    ASSERT_TRUE(WaitUntil([] {
        return g_app.flags.room_state.load() == RoomFailed && Room().error == "Can't reach the matchmaking server.";
    }));
    port.Stop(); // nobody listening at all
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        g_app.room.room_error.clear();
    }
    StartRoomOp({.mode = RoomOpQuickmatch});
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomFailed; }));
    EXPECT_EQ(Room().error, "Can't reach the matchmaking server.");
}

TEST_F(RoomWire, ASecondOperationWhileOneIsInFlightChangesNothing)
{
    Delay("/quickmatch", 400);
    Answer("/quickmatch", "{\"ok\":true,\"code\":\"Q1\"}");
    StartRoomOp({.mode = RoomOpQuickmatch});
    EXPECT_EQ(g_app.flags.room_state.load(), RoomBusy);
    StartRoomOp({.mode = RoomOpJoin, .code = "OTHER"});
    StartRoomOp({.mode = RoomOpQuickmatch});
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    EXPECT_EQ(Count("/quickmatch"), 1u);
    EXPECT_EQ(Count("/join"), 0u);
    EXPECT_EQ(Room().code, "Q1");
}

// ---------------------------------------------------------------------------
// Heartbeat
// ---------------------------------------------------------------------------

TEST_F(RoomWire, PartnerJoinedAndLeftRaiseToastsAndSounds)
{
    g_app.toasts.enabled.store(true);
    TakeToasts();
    g_app.flags.sound_request.store(ClickNone);
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":false,\"peer_ready\":true,\"started\":false,\"peer\":\"Bob\"}");
    Enter();
    ASSERT_TRUE(WaitUntil([] { return Room().partner == "Bob"; }));
    ASSERT_TRUE(WaitUntil([] { return !CopyToasts().empty(); }));
    std::vector<Toast> toasts = TakeToasts();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].title, "Partner Joined");
    EXPECT_EQ(toasts[0].text, "Bob joined your lobby.");
    EXPECT_EQ(g_app.flags.sound_request.exchange(ClickNone), ClickConfirm);
    EXPECT_TRUE(g_app.room.peer_ready.load());

    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":false,\"peer_ready\":false,\"started\":false}");
    ASSERT_TRUE(WaitUntil([] { return !CopyToasts().empty(); })); // next beat, about 3 s on
    toasts = TakeToasts();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].title, "Partner Left");
    EXPECT_EQ(toasts[0].text, "Your partner left the lobby.");
    EXPECT_EQ(g_app.flags.sound_request.exchange(ClickNone), ClickBack);
    EXPECT_EQ(Room().partner, "");
}

TEST_F(RoomWire, AClosedRoomClearsItsFlagsSoNothingRestartsOrPolls)
{
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":true,\"peer_ready\":true,\"started\":true,\"peer\":\"Bob\"}");
    Enter();
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_started.load(); }));
    Answer("/heartbeat", "{\"ok\":false,\"error\":\"Room closed.\"}");
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomFailed; }));
    EXPECT_EQ(Room().error, "Room closed.");
    EXPECT_FALSE(g_app.flags.room_started.load());
    EXPECT_FALSE(g_app.room.my_ready.load());
    EXPECT_FALSE(g_app.room.peer_ready.load());
    EXPECT_FALSE(g_app.room.heartbeat_active.load());
    LinkStartStep();
    EXPECT_FALSE(g_app.flags.link_running.load());
    const size_t polls = Count("/chat/poll");
    PollChat();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Count("/chat/poll"), polls);
}

// A beat whose reply stalls after its headers is no answer: the room stays,
// and the beat after it comes at most one deadline plus one rhythm later.
TEST_F(RoomWire, AStalledHeartbeatReplyNeitherClosesTheRoomNorHoldsTheRhythm)
{
    Enter();
    ASSERT_TRUE(WaitUntil([this] { return Count("/heartbeat") >= 1; }));
    {
        std::lock_guard<std::mutex> g(port.lock);
        MiniHttpAnswer& stall = port.answers["/heartbeat"];
        stall.raw = {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 40\r\n\r\n"};
        stall.hold_ms = kHttpDeadlineMs + 4000;
    }
    const size_t stalled = Count("/heartbeat") + 1;
    ASSERT_TRUE(WaitUntil([&] { return Count("/heartbeat") >= stalled; }));
    const auto t0 = std::chrono::steady_clock::now();
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":false,\"peer_ready\":false,\"started\":false,\"peer\":\"Bob\"}");
    for (int i = 0; i < 15 && Count("/heartbeat") < stalled + 1; i++)
        std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_GE(Count("/heartbeat"), stalled + 1);
    const long long gap_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(gap_ms, kHttpDeadlineMs + 3000 + 2000);
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIn);
    EXPECT_EQ(Room().error, "");
    ASSERT_TRUE(WaitUntil([] { return Room().partner == "Bob"; }));
}

// Beats counted at the port over 2.5 s after a beat: every 3 s in the lobby,
// every 0.5 s while ready and not started, every 3 s again once started or
// unready.
TEST_F(RoomWire, TheHeartbeatQuickensOnlyWhileReadyAndNotStarted)
{
    const auto beats_in_window = [this] {
        const size_t seen = Count("/heartbeat");
        WaitUntil([&] { return Count("/heartbeat") > seen; });
        const size_t first = Count("/heartbeat");
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        return Count("/heartbeat") - first;
    };
    const std::string lobby = "{\"ok\":true,\"my_ready\":false,\"peer_ready\":true,\"started\":false,\"peer\":\"Bob\"}";
    const std::string ready = "{\"ok\":true,\"my_ready\":true,\"peer_ready\":false,\"started\":false,\"peer\":\"Bob\"}";
    const std::string started = "{\"ok\":true,\"my_ready\":true,\"peer_ready\":true,\"started\":true,\"peer\":\"Bob\"}";
    Answer("/heartbeat", lobby);
    Enter();
    EXPECT_EQ(beats_in_window(), 0u);

    Answer("/heartbeat", ready);
    SetReady(true);
    const size_t quick = beats_in_window();
    EXPECT_GE(quick, 3u); // five at 0.5 s
    EXPECT_LE(quick, 6u);

    Answer("/heartbeat", started);
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_started.load(); }));
    EXPECT_EQ(beats_in_window(), 0u);

    Answer("/heartbeat", lobby);
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.room_started.load(); }));
    SetReady(false);
    EXPECT_EQ(beats_in_window(), 0u);
}

// The service answers a beat with the ready flags it has then; a beat that
// left before the player's ready change reached it must not undo the change.
std::string Beat(const char* peer)
{
    return std::string("{\"ok\":true,\"my_ready\":false,\"peer_ready\":false,\"started\":false,\"peer\":\"") +
           peer + "\"}";
}

TEST_F(RoomWire, ABeatSentBeforeAReadyChangeLeavesTheReadyFlagsAlone)
{
    Answer("/heartbeat", Beat("Bob"));
    Delay("/heartbeat", 400); // the room's first beat is still out when the player readies
    Enter();
    ASSERT_TRUE(WaitUntil([this] { return Count("/heartbeat") >= 1; }));
    ASSERT_EQ(Room().partner, "");
    SetReady(true);
    ASSERT_TRUE(WaitUntil([] { return Room().partner == "Bob"; })); // that beat is in
    EXPECT_TRUE(g_app.room.my_ready.load());
    // Beats sent once the ready answer is in report the service's flags again.
    Delay("/heartbeat", 0);
    ASSERT_TRUE(WaitUntil([] { return !g_app.room.my_ready.load(); }));
}

TEST_F(RoomWire, ABeatAnsweredWhileTheReadyAnswerIsOutLeavesTheReadyFlagsAlone)
{
    Answer("/heartbeat", Beat("Bob"));
    Enter();
    ASSERT_TRUE(WaitUntil([] { return Room().partner == "Bob"; }));
    {
        // The ready answer comes 2.5 s late on a connection of its own, so
        // the port keeps answering beats meanwhile.
        std::lock_guard<std::mutex> g(port.lock);
        MiniHttpAnswer& late = port.answers["/ready"];
        late.raw = {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n\r\n",
                    "{\"ok\":true}"};
        late.pause_ms = 2500;
        late.hold_ms = 1;
    }
    Answer("/heartbeat", Beat("Carol"));
    SetReady(true); // ready and not started: the next beat comes within 0.5 s
    ASSERT_TRUE(WaitUntil([] { return Room().partner == "Carol"; }));
    EXPECT_TRUE(g_app.room.my_ready.load());
    EXPECT_EQ(Count("/ready"), 1u);
    ASSERT_TRUE(WaitUntil([] { return !g_app.room.my_ready.load(); }));
}

TEST_F(RoomWire, LeavingStopsTheHeartbeatAndClearsTheRoom)
{
    Enter();
    ASSERT_TRUE(WaitUntil([this] { return Count("/heartbeat") >= 1; }));
    std::strcpy(g_app.chat.chat_input, "half typed");
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        g_app.room.room_error = "kept";
    }
    LeaveRoom();
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIdle);
    const RoomSnapshot r = Room();
    EXPECT_EQ(r.code, "");
    EXPECT_EQ(r.role, 0);
    EXPECT_EQ(r.error, "kept");
    EXPECT_EQ(g_app.chat.chat_input[0], 0);
    ASSERT_TRUE(WaitUntil([this] { return Count("/leave") == 1; }));
    EXPECT_EQ(Bodies("/leave")[0], "{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() + "\",\"code\":\"QX7K\"}");
    const size_t beats = Count("/heartbeat");
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(Count("/heartbeat"), beats);
    SetReady(true); // outside a room: nothing
    EXPECT_FALSE(g_app.room.my_ready.load());
}

// ---------------------------------------------------------------------------
// A restart: the saved room and the client id
// ---------------------------------------------------------------------------

namespace {

const char* const kSavedCid = "0123456789abcdef0123456789abcdef";

// The game restarted with "OLD7" saved moments ago: nothing of it is in memory.
void RestartWithSavedRoom()
{
    GameDirectory::Write(kSavedRoomFileName, std::string("{\"cid\":\"") + kSavedCid +
                                                 "\",\"code\":\"OLD7\",\"role\":\"B\",\"ready\":false,"
                                                 "\"saved_at\":\"" +
                                                 std::to_string(time(nullptr)) + "\",\"account\":\"\"}");
    {
        std::lock_guard<std::mutex> g(g_app.saved_room.lock);
        g_app.saved_room.loaded = false;
    }
    std::lock_guard<std::mutex> g(g_app.client_id.lock);
    g_app.client_id.id.clear();
}

std::vector<std::string> RoomPaths(MiniHttpServer* server)
{
    std::vector<std::string> paths;
    for (const MiniHttpRequest& r : MiniHttpRequests(server))
        if (r.target != "/heartbeat" && r.target != "/chat/poll")
            paths.push_back(r.target);
    return paths;
}

} // namespace

// After a restart the player is in no room, but the service still keeps the
// saved room's place: a new room leaves it first (the old partner hears
// "left" at once), while joining that same room again keeps it.
TEST_F(RoomWire, AfterARestartANewRoomLeavesTheSavedRoomFirstAndARejoinKeepsIt)
{
    RestartWithSavedRoom();
    // Several workers ask for the id at once as the first room starts.
    std::vector<std::string> ids(4);
    std::vector<std::thread> askers;
    for (size_t i = 0; i < ids.size(); i++)
        askers.emplace_back([&ids, i] { ids[i] = ClientId(); });
    for (std::thread& t : askers)
        t.join();
    for (const std::string& id : ids)
        EXPECT_EQ(id, kSavedCid);

    Enter();
    ASSERT_TRUE(WaitUntil([this] { return Count("/leave") == 1; }));
    EXPECT_EQ(Bodies("/leave")[0], std::string("{\"gamertag\":\"Guest\",\"cid\":\"") + kSavedCid +
                                       "\",\"code\":\"OLD7\"}");
    EXPECT_EQ(RoomPaths(port.server), (std::vector<std::string>{"/leave", "/quickmatch"})) << "left before asking";
    // The heartbeat's worker saves the new room a moment after it is entered.
    EXPECT_TRUE(WaitUntil([] { return GameDirectory::Read(kSavedRoomFileName).find("\"code\":\"QX7K\"") != std::string::npos; }));

    // The rejoin of the saved room, typed in lower case: no "/leave" of it.
    LeaveRoom();
    ASSERT_TRUE(WaitUntil([this] { return Count("/leave") == 2; }));
    RestartWithSavedRoom();
    Answer("/join", "{\"ok\":true,\"code\":\"OLD7\",\"role\":\"B\"}");
    StartRoomOp({.mode = RoomOpJoin, .code = "old7"});
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Count("/leave"), 2u);
}

// The heartbeat keeps the saved room: the file is rewritten when something in
// it changes, not on every beat (every 0.5 s while ready), and a closed room
// is forgotten without holding the room lock, which the render thread takes
// every frame, while the saved room's file is busy.
TEST_F(RoomWire, TheHeartbeatWritesTheSavedRoomOnChangeOnlyAndNeverUnderTheRoomLock)
{
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":true,\"peer\":\"Bob\"}");
    Enter();
    SetReady(true);
    ASSERT_TRUE(WaitUntil([] { return !g_app.room.ready_in_flight.load(); }));
    size_t beats = Count("/heartbeat");
    ASSERT_TRUE(WaitUntil([&] { return Count("/heartbeat") >= beats + 2; }));
    ASSERT_NE(GameDirectory::Read(kSavedRoomFileName).find("\"ready\":true"), std::string::npos);
    // Gone from the disk: only a write brings it back.
    std::filesystem::remove(GameDirectory::Data(kSavedRoomFileName));
    beats = Count("/heartbeat");
    ASSERT_TRUE(WaitUntil([&] { return Count("/heartbeat") >= beats + 4; })) << "ready: a beat every 0.5 s";
    EXPECT_FALSE(GameDirectory::Exists(kSavedRoomFileName)) << "nothing changed, nothing written";

    // The saved room's lock held (a slow disk under it) when the room closes:
    // taken while the closing beat is on its way.
    Delay("/heartbeat", 300);
    Answer("/heartbeat", "{\"ok\":false,\"error\":\"Room closed.\"}");
    beats = Count("/heartbeat");
    ASSERT_TRUE(WaitUntil([&] { return Count("/heartbeat") > beats; }));
    bool room_lock_free = false;
    {
        std::lock_guard<std::mutex> busy(g_app.saved_room.lock);
        ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_state.load() == RoomFailed; }));
        room_lock_free = WaitUntil([] {
            if (!g_app.room.lock.try_lock())
                return false;
            g_app.room.lock.unlock();
            return true;
        });
    }
    EXPECT_TRUE(room_lock_free) << "the render thread would wait on the disk";
    // Forgetting is a change: written (without the room) once the lock is free.
    ASSERT_TRUE(WaitUntil([] { return GameDirectory::Exists(kSavedRoomFileName); }));
    EXPECT_EQ(GameDirectory::Read(kSavedRoomFileName).find("\"code\""), std::string::npos);
}

// ---------------------------------------------------------------------------
// Ready and the link-start rule
// ---------------------------------------------------------------------------

TEST_F(RoomWire, AReadyAnswerAfterLeavingChangesNothing)
{
    Enter();
    Delay("/ready", 400);
    Answer("/ready", "{\"ok\":true,\"started\":true,\"peer_ready\":true,\"relay\":\"10.0.0.2:39000\"}");
    SetReady(true);
    LeaveRoom();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_FALSE(g_app.flags.room_started.load());
    EXPECT_FALSE(g_app.room.peer_ready.load());
    EXPECT_EQ(Relay(), ""); // the next room's link would go to the old room's relay
}

// A malformed relay member must not aim the link astray (the last valid one
// stays), a moved room moves the link, and leaving forgets the relay.
TEST_F(RoomWire, TheRoomsRelayTakesOnlyValidMembersAndGoesWithTheRoom)
{
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":true,\"relay\":\"10.0.0.2:39000\"}");
    Enter();
    ASSERT_TRUE(WaitUntil([] { return Relay() == "10.0.0.2:39000"; }));
    Answer("/heartbeat", "{\"ok\":true,\"my_ready\":true,\"relay\":\"10.0.0.9:0\"}"); // quick beats: ready
    Answer("/ready", "{\"ok\":true,\"relay\":\"10.0.0.3:40000\"}");
    SetReady(true);
    ASSERT_TRUE(WaitUntil([] { return Relay() == "10.0.0.3:40000"; }));
    const size_t beats = Count("/heartbeat");
    ASSERT_TRUE(WaitUntil([&] { return Count("/heartbeat") >= beats + 2; }));
    EXPECT_EQ(Relay(), "10.0.0.3:40000");
    LeaveRoom();
    EXPECT_EQ(Relay(), "");
}

// A late answer of the previous room checks the generation under the room
// lock; so whoever holds that lock must never see the new room's fields with
// the old generation. An observer samples the pair as often as it can get
// the lock while rooms follow each other.
TEST_F(RoomWire, ANewRoomAndItsGenerationAppearTogether)
{
    std::atomic<bool> done{false};
    std::map<uint32_t, std::string> code_of; // generation -> the one code seen with it
    bool mixed = false;
    std::thread observer([&] {
        while (!done.load()) {
            if (!g_app.room.lock.try_lock())
                continue;
            const uint32_t generation = g_app.room.room_generation.load();
            const std::string code = g_app.room.room_code;
            g_app.room.lock.unlock();
            if (code.empty())
                continue;
            auto [it, fresh] = code_of.emplace(generation, code);
            mixed |= !fresh && it->second != code;
        }
    });
    for (int i = 0; i < 150 && !HasFailure(); i++) {
        Enter("{\"ok\":true,\"code\":\"R" + std::to_string(i) + "\",\"role\":\"A\"}");
        g_app.flags.room_state.store(RoomIdle); // the next quickmatch goes from this room
    }
    done.store(true);
    observer.join();
    EXPECT_FALSE(mixed);
    EXPECT_GT(code_of.size(), 1u);
}

TEST_F(RoomWire, StartedInAReadyAnswerStartsTheLinkWithTheRoleNumber)
{
    // Beats fail and so change nothing: a beat sent before the ready answer
    // and answered after it would otherwise report the room as not started
    // yet, and only the ready answer is under test here.
    Answer("/heartbeat", "", 503);
    Enter("{\"ok\":true,\"code\":\"QX7K\",\"role\":\"B\"}");
    Answer("/ready", "{\"ok\":true,\"started\":true}");
    g_app.room.peer_ready.store(true);
    SetReady(true);
    ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_started.load(); }));
    EXPECT_FALSE(g_app.room.peer_ready.load()); // missing: false
    LinkStartStep();
    EXPECT_TRUE(g_app.flags.link_running.load());
    LeaveRoom();
    EXPECT_TRUE(g_app.flags.link_stop.load());
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.link_running.load(); }));
}

// The partner's files of one room must not pass for the next partner's: a
// link starting in a new room clears the six partner-letter files (a channel
// the new partner never writes would keep the old one's state), while the
// same room's link starting again keeps them, and the own files stay always.
TEST_F(RoomWire, ALinkInANewRoomStartsWithoutThePreviousPartnersFiles)
{
    auto write_all = [] {
        for (const char* base : kChannelNames) {
            GameDirectory::Write(std::string(base) + "_A.json", "{\"old\":\"partner\"}");
            GameDirectory::Write(std::string(base) + "_B.json", "{\"own\":1}");
        }
    };
    auto count = [](char letter) {
        int n = 0;
        for (const char* base : kChannelNames)
            n += GameDirectory::Exists(std::string(base) + "_" + letter + ".json") ? 1 : 0;
        return n;
    };
    auto start_link_in = [this](const char* code) {
        Answer("/heartbeat", "", 503); // only the ready answer starts the room here
        Enter(std::string("{\"ok\":true,\"code\":\"") + code + "\",\"role\":\"B\"}");
        Answer("/ready", "{\"ok\":true,\"started\":true}");
        SetReady(true);
        ASSERT_TRUE(WaitUntil([] { return g_app.flags.room_started.load(); }));
        LinkStartStep();
        ASSERT_TRUE(g_app.flags.link_running.load());
    };
    auto stop_link = [] {
        StopPeerLink();
        ASSERT_TRUE(WaitUntil([] { return !g_app.flags.link_running.load(); }));
    };

    write_all();
    start_link_in("QX7K");
    EXPECT_EQ(count('A'), 0) << "left from before: not this room's";
    EXPECT_EQ(count('B'), 6) << "the scripts' own files";
    stop_link();

    // The partner went and came back: the same room's link starts again.
    write_all();
    g_app.flags.room_started.store(true);
    LinkStartStep();
    ASSERT_TRUE(g_app.flags.link_running.load());
    EXPECT_EQ(count('A'), 6);
    stop_link();

    start_link_in("ZZ9P");
    EXPECT_EQ(count('A'), 0);
    EXPECT_EQ(count('B'), 6);
    LeaveRoom();
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.link_running.load(); }));
}

// ---------------------------------------------------------------------------
// Lobby chat
// ---------------------------------------------------------------------------

TEST_F(RoomWire, ChatPollsAfterTheLastIdAndToastsOnlyThePartnersNewLines)
{
    g_app.toasts.enabled.store(true);
    Enter("{\"ok\":true,\"code\":\"QX7K\",\"role\":\"A\"}");
    TakeToasts();
    Answer("/chat/poll", "{\"ok\":true,\"messages\":[{\"id\":4,\"role\":\"B\",\"name\":\"Bob\",\"body\":\"old\"}]}");
    Delay("/chat/poll", 300); // so the first poll is surely still out at the second call
    PollChat();
    PollChat(); // one in flight: the second does nothing
    ASSERT_TRUE(WaitUntil([] { return g_app.chat.chat_primed.load() && !g_app.flags.chat_poll_busy.load(); }));
    EXPECT_EQ(Count("/chat/poll"), 1u);
    Delay("/chat/poll", 0);
    EXPECT_TRUE(TakeToasts().empty()); // history before the first poll raises none

    Answer("/chat/poll", "{\"ok\":true,\"messages\":[{\"id\":5,\"role\":\"B\",\"name\":\"Bob\",\"body\":\"hi\"},"
                         "{\"id\":-3,\"role\":\"A\",\"name\":\"Me\",\"body\":\"mine\"},"
                         "{\"id\":6,\"role\":\"B\",\"name\":\"\",\"body\":\"anon\"},"
                         "{\"id\":7,\"role\":\"\",\"name\":\"Sys\",\"body\":\"no role\"}]}");
    PollChat();
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.chat_poll_busy.load() && g_app.chat.chat_last_id == 7; }));
    const std::vector<Toast> toasts = TakeToasts();
    ASSERT_EQ(toasts.size(), 2u);
    EXPECT_EQ(toasts[0].title, "Bob");
    EXPECT_EQ(toasts[0].text, "hi");
    EXPECT_EQ(toasts[1].title, "Lobby");
    {
        std::lock_guard<std::mutex> g(g_app.chat.lock);
        EXPECT_EQ(g_app.chat.chat_messages.size(), 5u);
    }
    std::vector<std::string> polls = Bodies("/chat/poll");
    ASSERT_GE(polls.size(), 2u);
    EXPECT_NE(polls[0].find("\"after_id\":0}"), std::string::npos);
    EXPECT_NE(polls.back().find("\"after_id\":4}"), std::string::npos);
}

TEST_F(RoomWire, SendingPostsTheEscapedLineAndPollsAtOnce)
{
    Enter();
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.chat_poll_busy.load(); }));
    const size_t polls = Count("/chat/poll");
    SendChat("say \"hi\"\n");
    ASSERT_TRUE(WaitUntil([this] { return Count("/chat/send") == 1; }));
    EXPECT_EQ(Bodies("/chat/send")[0], "{\"gamertag\":\"Guest\",\"cid\":\"" + ClientId() +
                                           "\",\"code\":\"QX7K\",\"text\":\"say \\\"hi\\\"\\n\"}");
    EXPECT_TRUE(WaitUntil([this, polls] { return Count("/chat/poll") >= polls + 1; }));
    SendChat(""); // never sent
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Count("/chat/send"), 1u);
}

// A player typing fast: every line reaches the service in the order typed,
// one request at a time, a failed one does not stop the rest, and the poll
// after the last one brings them back.
TEST_F(RoomWire, LinesSentInARowArriveInTheOrderTyped)
{
    Enter();
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.chat_poll_busy.load(); }));
    Delay("/chat/send", 40); // each line is still out when the next is typed
    Answer("/chat/send", "{\"ok\":false}", 500);
    const std::vector<std::string> lines = {"one", "two", "three", "four", "five", "six"};
    for (const std::string& line : lines)
        SendChat(line);
    ASSERT_TRUE(WaitUntil([this] { return Count("/chat/send") == 6; }));
    const std::vector<std::string> sent = Bodies("/chat/send");
    for (size_t i = 0; i < lines.size(); i++)
        EXPECT_NE(sent[i].find("\"text\":\"" + lines[i] + "\"}"), std::string::npos) << sent[i];
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.chat_poll_busy.load(); }));
    Answer("/chat/send", "{\"ok\":true}");
    Answer("/chat/poll", "{\"ok\":true,\"messages\":[{\"id\":1,\"role\":\"A\",\"name\":\"Guest\",\"body\":\"seven\"}]}");
    const size_t polls = Count("/chat/poll");
    SendChat("seven");
    // One poll, after the line is in: it comes back with the line.
    ASSERT_TRUE(WaitUntil([] {
        std::lock_guard<std::mutex> g(g_app.chat.lock);
        return g_app.chat.chat_messages.size() == 1;
    }));
    EXPECT_EQ(Count("/chat/send"), 7u);
    EXPECT_EQ(Count("/chat/poll"), polls + 1);
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.chat_poll_busy.load(); }));
    std::lock_guard<std::mutex> g(g_app.chat.send_lock);
    EXPECT_TRUE(g_app.chat.send_queue.empty());
    EXPECT_FALSE(g_app.chat.sender_running);
}

TEST_F(RoomWire, AChatAnswerAfterLeavingIsDropped)
{
    Enter();
    Delay("/chat/poll", 400);
    Answer("/chat/poll", "{\"ok\":true,\"messages\":[{\"id\":1,\"role\":\"B\",\"name\":\"Bob\",\"body\":\"late\"}]}");
    PollChat();
    LeaveRoom();
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.chat_poll_busy.load(); }));
    std::lock_guard<std::mutex> g(g_app.chat.lock);
    EXPECT_TRUE(g_app.chat.chat_messages.empty());
    EXPECT_EQ(g_app.chat.chat_last_id, 0);
    EXPECT_FALSE(g_app.chat.chat_primed.load());
}

// ---------------------------------------------------------------------------
// Room list
// ---------------------------------------------------------------------------

TEST_F(RoomWire, RoomListStatusEntriesAndDefaults)
{
    EXPECT_EQ(g_app.room_list.status.load(), RoomListNever);
    Delay("/list", 300);
    Answer("/list", "{\"ok\":true,\"rooms\":[{\"code\":\"A1\",\"players\":1,\"max\":2,\"name\":\"One\",\"host\":\"Ann\"},"
                    "{\"name\":\"no code\"},{\"code\":\"\"},{\"code\":\"B2\"}]}");
    RefreshRoomList();
    EXPECT_EQ(g_app.room_list.status.load(), RoomListFetching);
    RefreshRoomList(); // while one runs: nothing
    ASSERT_TRUE(WaitUntil([] { return g_app.room_list.status.load() == RoomListDone; }));
    EXPECT_EQ(Count("/list"), 1u);
    EXPECT_EQ(Bodies("/list")[0], "{}");
    {
        std::lock_guard<std::mutex> g(g_app.room_list.lock);
        const std::vector<RoomListEntry>& rooms = g_app.room_list.rooms;
        ASSERT_EQ(rooms.size(), 2u);
        EXPECT_EQ(rooms[0].host, "Ann");
        EXPECT_EQ(rooms[1].code, "B2");
        EXPECT_EQ(rooms[1].name, "");
        EXPECT_EQ(rooms[1].players, 0);
        EXPECT_EQ(rooms[1].max, 2);
    }
    Delay("/list", 0);
    Answer("/list", "", 503);
    RefreshRoomList();
    ASSERT_TRUE(WaitUntil([] { return g_app.room_list.status.load() == RoomListFailed; }));
    std::lock_guard<std::mutex> g(g_app.room_list.lock);
    EXPECT_TRUE(g_app.room_list.rooms.empty());
}
