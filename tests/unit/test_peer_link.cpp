// Ping, pong, statistics and the datagram dispatch of the peer link, without
// a socket: the same functions the link thread calls.
#include "link/link_path.h"
#include "link/peer_link.h"
#include "link/relay_address.h"
#include "link/role_file.h"
#include "state/app_state.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

void ResetStats()
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    g_app.link.rtt_ms = -1.0;
    g_app.link.ping_sequence = 0;
    g_app.link.pings.clear();
    g_app.link.first_pong_ms = -1.0;
}

std::string Body(const std::string& datagram)
{
    return datagram.substr(datagram.find('\n') + 1);
}

// Keeps a data file from being deleted, as a script holding it open does on
// Windows; a non-empty folder of that name stands in elsewhere.
struct Undeletable
{
#ifdef _WIN32
    HANDLE file;
    explicit Undeletable(const std::string& name)
    {
        file = CreateFileA(GameDirectory::Data(name).string().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~Undeletable() { CloseHandle(file); }
#else
    std::filesystem::path folder;
    explicit Undeletable(const std::string& name) : folder(GameDirectory::Data(name))
    {
        std::filesystem::remove(folder);
        std::filesystem::create_directories(folder / "held");
    }
    ~Undeletable() { std::filesystem::remove(folder / "held"); } // the empty folder deletes like a file
#endif
};

std::string Dispatch(LinkSession& s, const std::string& d, CompletedFiles& done, double now = 0)
{
    return DispatchDatagram(s, d.data(), d.size(), done, now);
}

} // namespace

// ---------------------------------------------------------------------------
// Ping and round trip
// ---------------------------------------------------------------------------

TEST(LinkPing, FirstPingCarriesSequenceOneAndTheSendTime)
{
    ResetStats();
    EXPECT_EQ(MakePing('A', 1234.56), "FILE:__ping___A.json\n1 1234.6");
    EXPECT_EQ(MakePing('B', 2000.0), "FILE:__ping___B.json\n2 2000.0");
    std::lock_guard<std::mutex> g(g_app.link.lock);
    EXPECT_EQ(g_app.link.ping_sequence, 2u);
    ASSERT_EQ(g_app.link.pings.size(), 2u);
    EXPECT_FALSE(g_app.link.pings[0].answered);
}

TEST(LinkPing, RttTakesTheFirstSampleThenSmooths)
{
    ResetStats();
    EXPECT_EQ(LinkRttMs(), -1);
    const std::string body = Body(MakePing('A', 1000.0));
    HandlePong(body, 1040.0);
    EXPECT_EQ(LinkRttMs(), 40);
    HandlePong(Body(MakePing('A', 2000.0)), 2140.0); // 0.7 * 40 + 0.3 * 140 = 70
    EXPECT_EQ(LinkRttMs(), 70);
    HandlePong("9 3000.0", 3010.4); // a sequence no longer held still updates the round trip
    EXPECT_EQ(LinkRttMs(), 52);     // 49 + 3.12 = 52.12
    HandlePong("1 5000.0", 4000.0); // echoed time in the future: sample 0
    EXPECT_EQ(LinkRttMs(), 36);     // 0.7 * 52.12 = 36.48
    HandlePong("1 5000.0", 25000.0); // answered after a 20 s stall: no sample
    EXPECT_EQ(LinkRttMs(), 36);
}

TEST(LinkPing, MalformedPongsChangeNothing)
{
    ResetStats();
    MakePing('A', 100.0);
    for (const char* body : {"1", "1 -5.0", "1 x", "", "1 ", "1 nan"})
        HandlePong(body, 200.0);
    EXPECT_EQ(LinkRttMs(), -1);
    EXPECT_EQ(LinkLossPercentAt(5000.0), -1); // no pong yet: nothing known about loss
}

TEST(LinkLoss, UnknownThenZeroThenCountsOnlyThe32Newest)
{
    ResetStats();
    EXPECT_EQ(LinkLossPercentAt(0), -1);
    HandlePong(Body(MakePing('A', 0.0)), 10.0);
    EXPECT_EQ(LinkLossPercentAt(1999.0), -1); // not two seconds old yet
    EXPECT_EQ(LinkLossPercentAt(2000.0), 0);

    // 40 pings, the 2nd to 10th unanswered: only the newest 32 are kept, 2
    // of them unanswered (sequences 9 and 10).
    ResetStats();
    for (int i = 0; i < 40; i++) {
        const std::string body = Body(MakePing('A', 1000.0 * i));
        if (i == 0 || i >= 10)
            HandlePong(body, 1000.0 * i + 5);
    }
    {
        std::lock_guard<std::mutex> g(g_app.link.lock);
        EXPECT_EQ(g_app.link.pings.size(), 32u);
        EXPECT_EQ(g_app.link.pings.front().sequence, 9u);
    }
    // At t = 41 s, pings sent up to 39 s are counted: sequences 9..40, 2 lost of 32.
    EXPECT_EQ(LinkLossPercentAt(41000.0), 6); // 6.25 rounds to 6
    EXPECT_EQ(LinkLossPercentAt(100000.0), 6);
}

// The partner learned "started" late: its first pongs come seconds after our
// first pings. Those early pings are not losses; once a pong has come, an
// unanswered ping is.
TEST(LinkLoss, PingsUnansweredBeforeTheFirstPongDoNotCount)
{
    ResetStats();
    for (int i = 0; i < 3; i++)
        MakePing('A', 1000.0 * i); // sequences 1-3: nobody answers yet
    EXPECT_EQ(LinkLossPercentAt(10000.0), -1);
    HandlePong(Body(MakePing('A', 3000.0)), 3040.0);
    EXPECT_EQ(LinkLossPercentAt(5040.0), 0);
    HandlePong(Body(MakePing('A', 4000.0)), 4030.0);
    MakePing('A', 5000.0); // lost after the link was answering
    EXPECT_EQ(LinkLossPercentAt(7000.0), 33);
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

TEST(LinkDispatch, PingIsAnsweredWithItsBodyUnderTheOwnLetter)
{
    LinkSession s;
    s.role = 2;
    CompletedFiles done;
    EXPECT_EQ(Dispatch(s, "FILE:__ping___A.json\n7 123.4", done), "FILE:__pong___B.json\n7 123.4");
    EXPECT_EQ(Dispatch(s, "FILE:__ping_\n", done), "FILE:__pong___B.json\n"); // empty body too
    EXPECT_TRUE(done.empty());
}

TEST(LinkDispatch, PongUpdatesStatisticsAndIsNeverAFile)
{
    ResetStats();
    LinkSession s;
    CompletedFiles done;
    const std::string ping = MakePing('A', 500.0);
    EXPECT_EQ(Dispatch(s, "FILE:__pong___B.json\n" + Body(ping), done, 530.0), "");
    EXPECT_EQ(LinkRttMs(), 30);
    EXPECT_TRUE(done.empty());
}

TEST(LinkDispatch, MalformedDatagramsAreIgnored)
{
    LinkSession s;
    s.role = 1;
    CompletedFiles done;
    for (const std::string& d : {std::string("FILE:"), std::string("HELLO R A\n"), std::string("FILE:no newline"),
                                std::string("FILE:\nempty name"), std::string("file:Kestrel_Packet_B.json\nx"),
                                std::string("FILE:Kestrel_Packet_A.json\nown letter")})
        EXPECT_EQ(Dispatch(s, d, done), "") << d;
    EXPECT_TRUE(done.empty());
    Dispatch(s, "FILE:Kestrel_Packet_B.json\n{\"x\":1}", done);
    EXPECT_EQ(done, (CompletedFiles{{"Kestrel_Packet_B.json", "{\"x\":1}"}}));
}

// ---------------------------------------------------------------------------
// Start guard
// ---------------------------------------------------------------------------

TEST(LinkDispatch, APartnerWhosePingsStartOverHasReturned)
{
    PartnerContact c; // no gap below: only the pings tell
    const auto ping = [&](const std::string& body) {
        const std::string d = "FILE:__ping___B.json\n" + body;
        return PartnerReturned(c, d.data(), d.size(), 0);
    };
    EXPECT_FALSE(ping("1 1.0") || ping("1 1.0") || ping("3 2.0") || ping("2 3.0")); // a copy; a place out of order
    EXPECT_TRUE(ping("1 9.0")); // restarted, however short its last life
}

// Probes from a keep-alive must not pass for a restarted partner (its files
// would all be sent again ten times a second), nor count as lost pings.
TEST(LinkDispatch, ProbesOfTheDirectPathAreNeitherARestartNorARecord)
{
    ResetStats();
    PartnerContact c;
    const std::string first = "FILE:__ping___B.json\n5 1.0", probe = MakeProbe('B', 2.0);
    EXPECT_EQ(Body(probe), "0 2.0");
    EXPECT_FALSE(PartnerReturned(c, first.data(), first.size(), 0) || PartnerReturned(c, probe.data(), probe.size(), 0));
    std::lock_guard<std::mutex> g(g_app.link.lock);
    EXPECT_TRUE(g_app.link.pings.empty());
}

// The direct path's rules against a clock: a PEER starts a round, only a pong
// from the address makes it direct, silence there falls back at once and the
// retries back off; a ping from the partner's address joins its round; a new
// address named while direct waits for the working path to fail.
TEST(DirectPath, ProbesGoDirectOnAPongFallBackOnSilenceAndRetryLessOften)
{
    NetAddress peer, other, got;
    ASSERT_TRUE(ParsePeerDatagram("PEER 198.51.100.4:40001\n", 24, peer));
    ASSERT_TRUE(ParsePeerDatagram("PEER 198.51.100.9:5", 19, other));
    for (const char* bad : {"PEER", "PEER \n", "PEER 1.2.3.4\n", "PEER 1.2.3.4:0\n", "peer 1.2.3.4:5\n", "PEER 1.2.3.4:5\n\n",
                            "PEER 1.2.3.4:5 \n", "FILE:PEER 1.2.3.4:5\n"})
        EXPECT_FALSE(ParsePeerDatagram(bad, strlen(bad), got)) << bad;
    EXPECT_EQ(PathDatagram("AB12", 'B', true), "PATH AB12 B direct\n");
    EXPECT_EQ(PathDatagram("AB12", 'A', false), "PATH AB12 A relay\n");

    const int64_t ms = 1000000;
    DirectPath p;
    bool fell = false;
    int64_t t = 1000 * ms;
    EXPECT_FALSE(PathTick(p, t, fell)); // nothing named: nothing sent
    PathHeard(p, true, false, t);
    EXPECT_FALSE(p.direct) << "no pong counts before the relay named an address";

    // A round: a probe every 200 ms for 3 s; nothing answers.
    PathTakePeer(p, peer, t);
    int probes = 0;
    for (int64_t at = t; at < t + 4000 * ms; at += 10 * ms)
        probes += PathTick(p, at, fell) ? 1 : 0;
    EXPECT_EQ(probes, 15);
    EXPECT_FALSE(p.direct || p.probing);
    EXPECT_EQ(p.retry_ns, t + 3000 * ms + kFirstRetryNs);
    PathTakePeer(p, peer, t + 4000 * ms);
    EXPECT_FALSE(p.probing) << "the same address again starts nothing";

    // The partner probes: this side joins; its pong makes the path direct.
    t += 4000 * ms;
    PathHeard(p, false, true, t);
    EXPECT_TRUE(p.probing);
    EXPECT_TRUE(PathTick(p, t, fell));
    PathHeard(p, true, false, t + 5 * ms);
    EXPECT_TRUE(p.direct && p.report_due);
    p.report_due = false;

    // Direct: a keep-alive every 100 ms, and a new address waits.
    PathTakePeer(p, other, t + 10 * ms);
    EXPECT_TRUE(p.direct && p.peer == peer);
    PathTakePeer(p, peer, t + 20 * ms);
    EXPECT_FALSE(p.next_known) << "the relay's next word names the working address again";
    PathTakePeer(p, other, t + 30 * ms);
    int keep = 0;
    for (int64_t at = t + 10 * ms; at <= t + 400 * ms; at += 10 * ms)
        keep += PathTick(p, at, fell) ? 1 : 0;
    EXPECT_EQ(keep, 3);
    EXPECT_TRUE(p.direct);
    EXPECT_LE(PathNextDueNs(p), t + 5 * ms + kDirectSilenceNs + 1);

    // The partner's pings still arrive, but no pong: a way open one way only.
    PathHeard(p, false, true, t + 300 * ms);

    // Silent past the limit: back to the relay in that turn, and the newer
    // address is tried at once.
    PathTick(p, t + 5 * ms + kDirectSilenceNs + 1, fell);
    EXPECT_TRUE(fell && !p.direct && p.report_due && p.losses == 1u);
    EXPECT_TRUE(p.probing && p.peer == other);

    // Rounds that fail wait longer each time, up to the limit.
    int64_t last_wait = 0;
    t = p.round_end_ns;
    for (int i = 0; i < 6; i++) {
        PathTick(p, t, fell);
        const int64_t wait = p.retry_ns - t;
        EXPECT_GE(wait, last_wait);
        EXPECT_LE(wait, kLastRetryNs);
        last_wait = wait;
        t = p.retry_ns;
        PathTick(p, t, fell);
        EXPECT_TRUE(p.probing);
        t = p.round_end_ns;
    }
    EXPECT_EQ(last_wait, kLastRetryNs);
}

// A relay member that is not exactly an address and a port would aim the
// link's datagrams, and its only accepted source, anywhere.
TEST(RelayAddress, OnlyADottedUnicastAddressAndAPortAreTaken)
{
    NetAddress a;
    ASSERT_TRUE(ParseRelayAddress("203.0.113.7:39000", a) && ParseRelayAddress("1.2.3.4:65535", a));
    EXPECT_EQ(RelayAddressText(a), "1.2.3.4:65535");
    for (const char* bad : {"", "203.0.113.7", "203.0.113.7:0", "203.0.113.7:65536", "203.0.113.7:039000",
                            "203.0.113.7:+39000", " 203.0.113.7:39000", "203.0.113.7:39000x", "203.0.113.256:39000",
                            "203.0.113.07:39000", "203.0.113:39000", "203.0.113.7.1:39000", "0.0.0.0:39000",
                            "224.0.0.1:39000", "relay.example:39000", "[::1]:39000", "203.0.113.7:9999999999"})
        EXPECT_FALSE(ParseRelayAddress(bad, a)) << bad;
}

TEST(LinkStart, RoleZeroStartsNothing)
{
    StartPeerLink(0, "ROOM");
    EXPECT_FALSE(g_app.flags.link_running.load());
}

// ---------------------------------------------------------------------------
// Role file
// ---------------------------------------------------------------------------

TEST(RoleFile, FollowsTheRoomAndTheLink)
{
    GameDirectory dir;
    RoleFileState st;
    UpdateRoleFile(st, 0, false);
    EXPECT_FALSE(GameDirectory::Exists("Kestrel_role.json"));

    UpdateRoleFile(st, 'A', false);
    EXPECT_EQ(GameDirectory::Read("Kestrel_role.json"), R"({"role":"A","connected":false,"session":0})");
    UpdateRoleFile(st, 'A', true);
    EXPECT_EQ(GameDirectory::Read("Kestrel_role.json"), R"({"role":"A","connected":true,"session":1})");
    UpdateRoleFile(st, 'A', false);
    UpdateRoleFile(st, 'A', true);
    EXPECT_EQ(GameDirectory::Read("Kestrel_role.json"), R"({"role":"A","connected":true,"session":2})");
    EXPECT_FALSE(GameDirectory::Exists("Kestrel_role.json.tmp"));

    UpdateRoleFile(st, 0, false); // left the room
    EXPECT_FALSE(GameDirectory::Exists("Kestrel_role.json"));
}

TEST(RoleFile, WritesOnlyOnChangeAndRetriesAFailedWrite)
{
    GameDirectory dir;
    std::filesystem::remove_all("reframework");
    RoleFileState st;
    UpdateRoleFile(st, 'B', true); // the data folder is missing: nothing written
    EXPECT_EQ(st.session, 1);
    std::filesystem::create_directories("reframework/data");
    UpdateRoleFile(st, 'B', true); // tried again, same session
    EXPECT_EQ(GameDirectory::Read("Kestrel_role.json"), R"({"role":"B","connected":true,"session":1})");
    GameDirectory::Write("Kestrel_role.json", "scribbled");
    UpdateRoleFile(st, 'B', true); // unchanged state: no write
    EXPECT_EQ(GameDirectory::Read("Kestrel_role.json"), "scribbled");
}

TEST(RoleFile, AFailedDeleteIsTriedAgain)
{
    GameDirectory dir;
    RoleFileState st;
    UpdateRoleFile(st, 'A', true);
    {
        Undeletable held("Kestrel_role.json");
        UpdateRoleFile(st, 0, false); // left the room while the file is held
        EXPECT_TRUE(GameDirectory::Exists("Kestrel_role.json"));
    }
    UpdateRoleFile(st, 0, false);
    EXPECT_FALSE(GameDirectory::Exists("Kestrel_role.json"));
    UpdateRoleFile(st, 0, false); // gone: nothing more to do
    EXPECT_FALSE(GameDirectory::Exists("Kestrel_role.json"));
}
