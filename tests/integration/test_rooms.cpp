// The whole road through the real service: this process is one client (the
// client state is process-wide), kestrel-partner the other. Each case runs on
// one embedded instance, and again on two instances sharing one PostgreSQL:
// this client on the first, every partner on the second.
#include "backend/click_sounds.h"
#include "backend/client_frame.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/lobby_chat.h"
#include "backend/ready.h"
#include "backend/rooms.h"
#include "backend/settings.h"
#include "link/peer_link.h"
#include "platform/platform.h"
#include "raw_peer.h"
#include "../unit/app_reset.h"
#include "pg_server.h"
#include "service_process.h"
#include "state/config.h"
#include "state/app_state.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* const kFirst = "127.0.0.2";  // two instances: this client's
const char* const kSecond = "127.0.0.3"; // and the partners'

class Road : public testing::TestWithParam<bool>
{
protected:
    bool two = GetParam();
    std::string database;
    std::string partner_host; // "": partners go to the second instance
    bool behind_balancer = false; // the instances take PROXY v2 headers only
    ServiceProcess service, second;
    std::string root;
    std::vector<pid_t> partners;
    std::vector<Toast> toasts;             // every toast this client raised
    std::vector<std::string> sounds;       // and every sound it played
    ClientFrameState frame;
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();

    void SetUp() override
    {
        root = MakeTempDir("kestrel-road");
        fs::create_directories(root + "/me/reframework/data");
        fs::current_path(root + "/me");
        if (two) {
            std::string error;
            database = CreateTestDatabase(error);
            ASSERT_FALSE(database.empty()) << error;
            ASSERT_TRUE(StartService(service, Instance(kFirst))) << service.output;
            ASSERT_TRUE(StartService(second, Instance(kSecond))) << second.output;
            OverrideBackendHost(kFirst);
        } else {
            ASSERT_TRUE(StartService(service)) << service.output;
        }
        BuildClickSounds();
        TakeRecordedSounds();
    }
    void TearDown() override
    {
        for (pid_t p : partners)
            StopProgram(p);
        LeaveRoomAndWaitForLink();
        StopService(service);
        StopService(second);
        OverrideBackendHost("");
        if (!database.empty())
            DropTestDatabase(database);
        fs::current_path("/");
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::vector<std::string> Instance(const char* addr)
    {
        std::vector<std::string> args = {"--bind", addr, "--store", database, "--relay-public",
                                         std::string(addr) + ":39000", "--metrics", std::string(addr) + ":39090"};
        if (behind_balancer)
            args.push_back("--proxy-protocol");
        return args;
    }
    void Name(const char* name)
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        snprintf(g_app.account.display_name, sizeof(g_app.account.display_name), "%s", name);
    }
    // Starts kestrel-partner in a folder of its own; its output goes to <tag>.log.
    void Partner(const std::string& tag, std::vector<std::string> args)
    {
        args.insert(args.begin(), BuiltProgram("tools/kestrel-partner"));
        args.insert(args.end(), {"--dir", root + "/" + tag});
        if (two)
            args.insert(args.end(), {"--host", partner_host.empty() ? kSecond : partner_host});
        const pid_t pid = StartProgram(args, root + "/" + tag + ".log");
        ASSERT_GT(pid, 0);
        partners.push_back(pid);
    }
    std::string Log(const std::string& tag) { return ReadFileText(root + "/" + tag + ".log"); }
    std::string LogMatch(const std::string& tag, const std::string& pattern)
    {
        std::smatch m;
        const std::string log = Log(tag);
        return std::regex_search(log, m, std::regex(pattern)) ? (m.size() > 1 ? m[1].str() : m[0].str()) : "";
    }
    // One overlay frame's worth of the per-frame steps, then what it raised.
    void Frame()
    {
        ClientFrame(frame, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), SteadyNowNs());
        for (Toast& t : TakeToasts())
            toasts.push_back(t);
        for (const RecordedSound& s : TakeRecordedSounds())
            sounds.push_back(s.image == SoundConfirm.data() ? "confirm" : s.image == SoundBack.data() ? "back" : "other");
    }
    template <class Pred>
    bool FramesUntil(Pred pred, std::chrono::milliseconds limit = 10000ms)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            Frame();
            if (pred())
                return true;
            std::this_thread::sleep_for(16ms);
        }
        return pred();
    }
    bool HasToast(const std::string& title, const std::string& text)
    {
        for (const Toast& t : toasts)
            if (t.title == title && t.text == text)
                return true;
        return false;
    }
    std::string Partner()
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        return g_app.room.room_partner;
    }
    std::string Error()
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        return g_app.room.room_error;
    }
};

} // namespace

TEST_P(Road, QuickmatchChatReadyLinkAndTheJoinerLeaving)
{
    Name("Ann");
    StartRoomOp({.mode = RoomOpQuickmatch});
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    Partner("bob", {"--quickmatch", "--ready", "--say", "hello from \"B\"", "--mirror"});
    ASSERT_TRUE(FramesUntil([&] { return !LogMatch("bob", "signed in: guest (Guest[0-9]+)").empty(); }));
    const std::string bob = LogMatch("bob", "signed in: guest (Guest[0-9]+)");

    // B lands in A's room; A hears of it with a toast and a confirming click.
    ASSERT_TRUE(FramesUntil([&] { return Partner() == bob; }));
    ASSERT_TRUE(FramesUntil([&] { return HasToast("Partner Joined", bob + " joined your lobby."); }));
    EXPECT_EQ(sounds.front(), "confirm");
    EXPECT_TRUE(FramesUntil([&] { return Log("bob").find("partner joined: Ann") != std::string::npos; }));

    // Chat both ways: only the partner's lines raise toasts.
    SendChat("hello from A");
    EXPECT_TRUE(FramesUntil([&] { return HasToast(bob, "hello from \"B\""); }));
    EXPECT_TRUE(FramesUntil([&] { return Log("bob").find("toast: Ann: hello from A") != std::string::npos; }));
    EXPECT_TRUE(FramesUntil([&] { return Log("bob").find("chat " + bob + " (B): hello from \"B\"") != std::string::npos; }));
    EXPECT_FALSE(HasToast("Ann", "hello from A"));
    EXPECT_EQ(Log("bob").find("toast: " + bob), std::string::npos);

    // Both ready: started reaches both and both links come up.
    SetReady(true);
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_started.load() && g_app.flags.link_running.load(); }));
    ASSERT_TRUE(FramesUntil([&] { return Log("bob").find("link up") != std::string::npos; }));
    EXPECT_NE(Log("bob").find("started"), std::string::npos);
    ASSERT_TRUE(FramesUntil([] { return LinkRttMs() >= 0; }));

    std::string state(50 * 1024, 'x');
    for (size_t i = 0; i < state.size(); i++)
        state[i] = (char)('a' + i * 7 % 26);
    WriteFileText("reframework/data/Kestrel_Packet_A.json", state);
    EXPECT_TRUE(FramesUntil([&] { return ReadFileText(root + "/bob/reframework/data/Kestrel_Packet_A.json") == state; }));
    EXPECT_TRUE(FramesUntil([&] { return ReadFileText("reframework/data/Kestrel_Packet_B.json") == state; })); // mirrored

    // A's heartbeat has seen the link up (both links now come up within half a
    // second, sooner than A's next 3 s beat): otherwise the beat that sees B
    // gone also raises "Partner Spawned In", and its confirm wins that beat.
    ASSERT_TRUE(FramesUntil([&] { return HasToast("Partner Spawned In", "Your partner is now in your game."); }));

    // B leaves: A is told, its link stops and it is no longer ready.
    kill(partners.back(), SIGTERM);
    ASSERT_TRUE(FramesUntil([&] { return Partner().empty(); }));
    EXPECT_TRUE(FramesUntil([&] { return HasToast("Partner Left", "Your partner left the lobby."); }));
    EXPECT_TRUE(FramesUntil([] { return !g_app.flags.link_running.load(); }));
    EXPECT_FALSE(g_app.room.my_ready.load());
    EXPECT_FALSE(g_app.flags.room_started.load());
    EXPECT_EQ(sounds.back(), "back");
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIn); // the room waits for someone new
}

TEST_P(Road, TheHostLeavingClosesTheRoomForTheJoiner)
{
    Partner("host", {"--create", "Host room"});
    ASSERT_TRUE(FramesUntil([&] { return !LogMatch("host", "room: ([A-Z0-9]+), role A").empty(); }));
    const std::string code = LogMatch("host", "room: ([A-Z0-9]+), role A");
    Name("Joiner");
    StartRoomOp({.mode = RoomOpJoin, .code = code});
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        EXPECT_EQ(g_app.room.room_role, 'B');
    }
    // The host is already there: the first beat tells of it.
    EXPECT_TRUE(FramesUntil([&] { return HasToast("Partner Joined", "You joined " + LogMatch("host", "signed in: guest (Guest[0-9]+)") + "'s lobby."); }));
    kill(partners.back(), SIGTERM);
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_state.load() == RoomFailed; }, 8000ms));
    EXPECT_EQ(Error(), "Room closed.");
    EXPECT_FALSE(g_app.room.heartbeat_active.load());
}

TEST_P(Road, UnknownAndFullRoomsAnswerWithTheServicesText)
{
    Name("Third");
    StartRoomOp({.mode = RoomOpJoin, .code = "ZZZZZZ"});
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_state.load() == RoomFailed; }));
    EXPECT_EQ(Error(), "Room not found.");

    Partner("host", {"--create", "Full"});
    ASSERT_TRUE(FramesUntil([&] { return !LogMatch("host", "room: ([A-Z0-9]+)").empty(); }));
    const std::string code = LogMatch("host", "room: ([A-Z0-9]+)");
    Partner("guest", {"--join", code});
    ASSERT_TRUE(FramesUntil([&] { return Log("guest").find("room: " + code + ", role B") != std::string::npos; }));
    StartRoomOp({.mode = RoomOpJoin, .code = code});
    ASSERT_TRUE(FramesUntil([&] { return g_app.flags.room_state.load() == RoomFailed && !Error().empty(); }));
    EXPECT_EQ(Error(), "Room is full.");
}

TEST_P(Road, TheRelayTakesHellosOnlyForAStartedRoom)
{
    Partner("host", {"--create", "Not started"});
    ASSERT_TRUE(FramesUntil([&] { return !LogMatch("host", "room: ([A-Z0-9]+)").empty(); }));
    const std::string code = LogMatch("host", "room: ([A-Z0-9]+)");
    RawPeer a, b;
    ASSERT_TRUE(StartRawPeer(a, code, 'A'));
    ASSERT_TRUE(StartRawPeer(b, code, 'B'));
    std::this_thread::sleep_for(1200ms); // a HELLO refresh each
    RawPeerSend(a, "FILE:Kestrel_Packet_A.json\nnot forwarded");
    std::this_thread::sleep_for(300ms);
    StopRawPeer(a);
    StopRawPeer(b);
    EXPECT_TRUE(RawPeerReceived(b).empty());
}

// The balancer set-up an operator copies (packaging/haproxy), with the
// addresses in its environment: haproxy in front of both instances' HTTP
// ports, checking each one's /readyz.
static pid_t StartBalancer(const std::string& dir, const char* addr)
{
    setenv("KESTREL_FRONT", addr, 1);
    setenv("KESTREL_FIRST", kFirst, 1);
    setenv("KESTREL_SECOND", kSecond, 1);
    setenv("KESTREL_METRICS", "39090", 1);
    return StartProgram({"/usr/sbin/haproxy", "-db", "-f", std::string(KESTREL_SOURCE_DIR) + "/packaging/haproxy/kestrel-haproxy.cfg"},
                        dir + "/haproxy.log");
}

// The instance whose relay serves a started room dies: the room moves to the
// other instance's relay on the next heartbeats, both links follow it there,
// and files cross again.
class TwoInstances : public Road
{
protected:
    TwoInstances() { behind_balancer = true; }
};

TEST_P(TwoInstances, OneKilledMidSessionMovesItsRoomsAndTheLinkComesBack)
{
    const pid_t balancer = StartBalancer(root, "127.0.0.4");
    ASSERT_GT(balancer, 0);
    partners.push_back(balancer);
    OverrideBackendHost("127.0.0.4");
    partner_host = "127.0.0.4"; // both players through the balancer
    // Both instances checked ready: haproxy's log names no server down.
    std::this_thread::sleep_for(1500ms);
    Name("Ann");
    StartRoomOp({.mode = RoomOpQuickmatch});
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_state.load() == RoomIn; })) << Log("haproxy");
    Partner("bob", {"--quickmatch", "--ready", "--mirror"});
    SetReady(true);
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.link_running.load(); }));
    ASSERT_TRUE(FramesUntil([&] { return !LogMatch("bob", "relay (127\\.0\\.0\\.[23]):39000").empty(); }));
    // The instance whose relay serves the room goes; the other one stays.
    const std::string serving = LogMatch("bob", "relay (127\\.0\\.0\\.[23]):39000");
    const std::string other = serving == kFirst ? kSecond : kFirst;
    // Both registered first: the relay takes a started room's HELLO only once
    // its list of served rooms has caught up, and a version sent before that is lost.
    ASSERT_TRUE(FramesUntil([] { return LinkRttMs() >= 0; }));
    WriteFileText("reframework/data/Kestrel_Packet_A.json", "{\"before\":1}");
    ASSERT_TRUE(FramesUntil([] { return ReadFileText("reframework/data/Kestrel_Packet_B.json") == "{\"before\":1}"; }));

    // The script writes on while the relay is gone: that file crosses once both links moved.
    kill((serving == kFirst ? service : second).pid, SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    WriteFileText("reframework/data/Kestrel_Packet_A.json", "{\"after\":2}");
    ASSERT_TRUE(FramesUntil([] { return ReadFileText("reframework/data/Kestrel_Packet_B.json") == "{\"after\":2}"; },
                            25000ms)) << Log("bob") << Log("haproxy");
    printf("kill to the file across: %lld ms\n",
           (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killed).count());
    // Two players gone straight to each other need not wait for the move
    // (the file may cross before it); the links move all the same.
    EXPECT_TRUE(FramesUntil([&] { return Log("bob").find("relay " + other + ":39000") != std::string::npos; }, 25000ms))
        << Log("bob");
    EXPECT_TRUE(FramesUntil([&] { return LinkRelay() == other + ":39000"; }));
    WriteFileText("reframework/data/Kestrel_Packet_A.json", "{\"moved\":3}");
    EXPECT_TRUE(FramesUntil([] { return ReadFileText("reframework/data/Kestrel_Packet_B.json") == "{\"moved\":3}"; }));
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIn);
    EXPECT_TRUE(g_app.flags.link_running.load());
}

// A restart of a service on the embedded store, as an operator does one
// (systemctl restart: SIGTERM, start again), and a renewed certificate
// loaded with SIGHUP, both under two players in a running session.
class Restarts : public Road
{
protected:
    std::string Shell(const std::string& command)
    {
        std::string out;
        if (FILE* p = popen(command.c_str(), "r")) {
            char buf[512];
            size_t n = 0;
            while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
                out.append(buf, n);
            pclose(p);
        }
        return out;
    }
    // The subject and serial of the certificate the room port serves now.
    std::string Served()
    {
        return Shell("openssl s_client -connect 127.0.0.1:39002 </dev/null 2>/dev/null | "
                     "openssl x509 -noout -subject -serial 2>/dev/null");
    }
    // Writes the own file as a game does, a new version every 100 ms, until
    // the partner's mirror of a version written from now on comes back.
    bool FilesFlow(int& version, std::chrono::milliseconds limit)
    {
        const int first = ++version;
        auto last_write = std::chrono::steady_clock::now() - 1s;
        return FramesUntil(
            [&] {
                if (std::chrono::steady_clock::now() - last_write >= 100ms) {
                    WriteFileText("reframework/data/Kestrel_Packet_A.json", "{\"v\":" + std::to_string(++version) + "}");
                    last_write = std::chrono::steady_clock::now();
                }
                const std::string back = ReadFileText("reframework/data/Kestrel_Packet_B.json");
                return back.rfind("{\"v\":", 0) == 0 && atoi(back.c_str() + 5) >= first;
            },
            limit);
    }
};

TEST_P(Restarts, ASessionRidesOutASigtermRestartAndASighupCertificateReload)
{
    StopService(service);
    const std::string cert = root + "/cert.pem", key = root + "/key.pem";
    ASSERT_EQ(system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + key +
                      " -out " + cert + " -days 30 -subj /CN=first 2>/dev/null").c_str()),
              0);
    const std::vector<std::string> args = {"--tls-cert", cert, "--tls-key", key};
    service.log_path = root + "/service.log";
    ASSERT_TRUE(StartService(service, args)) << service.output;

    Name("Ann");
    StartRoomOp({.mode = RoomOpQuickmatch});
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    Partner("bob", {"--quickmatch", "--ready", "--mirror"});
    ASSERT_TRUE(FramesUntil([&] { return !Partner().empty(); }));
    SetReady(true);
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.link_running.load() && LinkRttMs() >= 0; }));
    int version = 0;
    ASSERT_TRUE(FilesFlow(version, 10000ms)) << Log("bob");

    // SIGTERM: a clean stop that keeps the room; the same data folder again.
    EXPECT_EQ(StopServiceKeepingData(service), 0);
    service.reuse_data = true;
    ASSERT_TRUE(StartService(service, args)) << service.output;
    const auto answering = std::chrono::steady_clock::now();
    ASSERT_TRUE(FilesFlow(version, 15000ms)) << Log("bob");
    const long long ms =
        (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - answering)
            .count();
    printf("service answering to the files flowing again: %lld ms\n", ms);
    EXPECT_LT(ms, 2000);
    // Beats answered again (one every 3 s): still in the room, nobody told it closed.
    FramesUntil([] { return false; }, 4000ms);
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIn);
    EXPECT_EQ(Error(), "");
    EXPECT_TRUE(g_app.flags.link_running.load());
    EXPECT_EQ(Partner(), LogMatch("bob", "signed in: guest (Guest[0-9]+)"));
    EXPECT_EQ(Log("bob").find("Room closed"), std::string::npos) << Log("bob");
    const std::string log = ReadFileText(service.log_path);
    EXPECT_NE(log.find("SIGTERM: stopping"), std::string::npos) << log;
    EXPECT_NE(log.find("rooms kept for the next start: 1"), std::string::npos) << log;
    EXPECT_NE(log.find("rooms kept at the last stop: 1 back"), std::string::npos) << log;

    // SIGHUP with a renewed certificate (same key, so the pin holds).
    const std::string before = Served();
    ASSERT_NE(before.find("CN = first"), std::string::npos) << before;
    ASSERT_EQ(system(("openssl req -x509 -new -key " + key + " -out " + cert + ".new -days 60 -subj /CN=renewed && mv " +
                      cert + ".new " + cert).c_str()),
              0);
    const size_t bob_seen = Log("bob").size();
    kill(service.pid, SIGHUP);
    ASSERT_TRUE(FramesUntil([&] { return ReadFileText(service.log_path).find("SIGHUP: TLS certificate reloaded") != std::string::npos; }))
        << ReadFileText(service.log_path);
    const std::string after = Served();
    EXPECT_NE(after.find("CN = renewed"), std::string::npos) << after;
    EXPECT_NE(after, before);
    ASSERT_TRUE(FilesFlow(version, 5000ms));
    // A few beats later nobody was dropped: no missed beat, the same room.
    FramesUntil([] { return false; }, 4000ms);
    EXPECT_EQ(Log("bob").find("reconnecting", bob_seen), std::string::npos) << Log("bob").substr(bob_seen);
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIn);
    EXPECT_TRUE(g_app.flags.link_running.load());
    EXPECT_EQ(kill(service.pid, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(Embedded, Restarts, testing::Values(false));

INSTANTIATE_TEST_SUITE_P(Instances, Road, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Two" : "One"; });
INSTANTIATE_TEST_SUITE_P(Shared, TwoInstances, testing::Values(true));

// ---------------------------------------------------------------------------
// Room texts and chat lines as the client reads and sends them
// ---------------------------------------------------------------------------

namespace {

std::string RoomPost(const wchar_t* path, const std::string& members)
{
    std::string reply;
    EXPECT_TRUE(HttpPostJson(kRoomPort, path, "{\"gamertag\":\"Tester\",\"cid\":\"" + ClientId() + "\"" + members + "}",
                             reply));
    return reply;
}

bool Ok(const std::string& reply)
{
    bool ok = false;
    return JsonGetBool(reply, "ok", ok) && ok;
}

} // namespace

// Each member the client reads from a room reply, in each room text, as the
// whole text or after a quote, would be read in that member's place: refused.
// Texts that only come close are taken, and read right where the client reads
// them (the create reply, and the room list for the room name).
TEST_P(Road, RoomTextsThatWouldReadAsAMemberAreRefused)
{
    const std::vector<std::string> members = {"ok", "error", "code", "role", "chapter_label", "stage", "mod",
                                              "my_ready", "peer_ready", "started", "peer", "messages", "id", "name",
                                              "body", "rooms", "code", "players", "max", "host"};
    for (const char* field : {"name", "chapter_label", "stage", "mod"})
        for (const std::string& m : members) {
            for (const std::string& text : {m, "a\"" + m, "x y\"" + m}) {
                const std::string reply = RoomPost(L"/create", std::string(",\"") + field + "\":\"" + JsonEscape(text) + "\"");
                EXPECT_FALSE(Ok(reply)) << field << ": " << text << " -> " << reply;
            }
            for (const std::string& text : {m + "\"", "\"" + m + "x", m + "s"}) {
                const std::string reply = RoomPost(L"/create", std::string(",\"") + field + "\":\"" + JsonEscape(text) + "\"");
                ASSERT_TRUE(Ok(reply)) << field << ": " << text << " -> " << reply;
                const std::string code = JsonGetString(reply, "code");
                EXPECT_EQ(code.size(), 6u) << reply;
                EXPECT_EQ(JsonGetString(reply, "role"), "A") << reply;
                if (std::string(field) != "name") {
                    EXPECT_EQ(JsonGetString(reply, field), text) << reply;
                    continue;
                }
                std::string list;
                ASSERT_TRUE(HttpPostJson(kRoomPort, L"/list", "{}", list));
                const std::vector<std::string> rooms = JsonGetObjectArray(list, "rooms");
                ASSERT_EQ(rooms.size(), 1u) << list;
                EXPECT_EQ(JsonGetString(rooms[0], "code"), code) << list;
                EXPECT_EQ(JsonGetString(rooms[0], "name"), text) << list;
                EXPECT_EQ(JsonGetString(rooms[0], "host"), "Tester") << list;
            }
        }
}

// The chat input holds 511 bytes; all of them arrive.
TEST_P(Road, AChatLineAsLongAsTheInputHoldsIsTaken)
{
    const std::string code = JsonGetString(RoomPost(L"/create", ""), "code");
    ASSERT_FALSE(code.empty());
    const std::string line(511, 'w');
    EXPECT_TRUE(Ok(RoomPost(L"/chat/send", ",\"code\":\"" + code + "\",\"text\":\"" + line + "\"")));
    EXPECT_FALSE(Ok(RoomPost(L"/chat/send", ",\"code\":\"" + code + "\",\"text\":\"" + line + "w\"")));
    const std::vector<std::string> lines =
        JsonGetObjectArray(RoomPost(L"/chat/poll", ",\"code\":\"" + code + "\",\"after_id\":0"), "messages");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(JsonGetString(lines[0], "body"), line);
}
