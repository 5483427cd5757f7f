// The sealed link through the real service and relay: this process is one
// client, kestrel-partner the other. Two clients of this version seal every
// datagram (a capture of the relay port holds none of a channel file's text);
// datagrams forged with the relay's address, altered, replayed or sealed with
// another key are counted and never written; a client without keys (as the
// releases before them) plays plain, unless the player refuses plain links.
#include "backend/client_frame.h"
#include "backend/ready.h"
#include "backend/rooms.h"
#include "link/link_keys.h"
#include "link/link_path.h"
#include "link/link_seal.h"
#include "link/peer_link.h"
#include "link/seal.h"
#include "platform/platform.h"
#include "../unit/app_reset.h"
#include "raw_peer.h"
#include "service_process.h"
#include "state/app_state.h"
#include "state/config.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Udp
{
    uint16_t src_port = 0, dst_port = 0;
    std::string payload;
};

// The UDP datagrams of a pcap file written by tcpdump on loopback.
std::vector<Udp> ReadCapture(const std::string& path)
{
    const std::string f = ReadFileText(path);
    std::vector<Udp> out;
    if (f.size() < 24)
        return out;
    uint32_t link = 0;
    memcpy(&link, f.data() + 20, 4);
    const size_t l2 = link == 1 ? 14 : link == 113 ? 16 : 0; // Ethernet or Linux cooked
    for (size_t at = 24; at + 16 <= f.size();) {
        uint32_t caplen = 0;
        memcpy(&caplen, f.data() + at + 8, 4);
        const size_t p = at + 16;
        at = p + caplen;
        if (at > f.size() || caplen < l2 + 28)
            break;
        const unsigned char* ip = (const unsigned char*)f.data() + p + l2;
        if ((ip[0] >> 4) != 4 || ip[9] != IPPROTO_UDP)
            continue;
        const size_t ihl = (size_t)(ip[0] & 15) * 4;
        const unsigned char* udp = ip + ihl;
        Udp d;
        d.src_port = (uint16_t)(udp[0] << 8 | udp[1]);
        d.dst_port = (uint16_t)(udp[2] << 8 | udp[3]);
        const size_t len = (size_t)(udp[4] << 8 | udp[5]);
        if (len < 8 || p + l2 + ihl + len > at)
            continue;
        d.payload.assign((const char*)udp + 8, len - 8);
        out.push_back(d);
    }
    return out;
}

// A datagram that claims to come from the relay (127.0.0.1:39000), sent by a
// third party through a raw socket: the link's source check alone lets it in.
bool SendAsRelay(uint16_t to_port, const std::string& payload)
{
    const int s = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (s < 0)
        return false;
    std::string packet(sizeof(iphdr) + sizeof(udphdr) + payload.size(), '\0');
    iphdr* ip = (iphdr*)&packet[0];
    ip->version = 4;
    ip->ihl = 5;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->tot_len = htons((uint16_t)packet.size());
    ip->saddr = htonl(INADDR_LOOPBACK);
    ip->daddr = htonl(INADDR_LOOPBACK);
    udphdr* udp = (udphdr*)&packet[sizeof(iphdr)];
    udp->source = htons(39000);
    udp->dest = htons(to_port);
    udp->len = htons((uint16_t)(sizeof(udphdr) + payload.size()));
    udp->check = 0; // none, as IPv4 allows
    memcpy(&packet[sizeof(iphdr) + sizeof(udphdr)], payload.data(), payload.size());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool sent = sendto(s, packet.data(), packet.size(), 0, (sockaddr*)&to, sizeof(to)) == (ssize_t)packet.size();
    close(s);
    return sent;
}

// A figure of the service's metrics page (on 39090); -1 when absent.
double Metric(const std::string& name)
{
    const int fd = ConnectTcpFrom(39090, "127.0.0.1");
    if (fd < 0)
        return -1;
    SendText(fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    const std::string page = ReadAll(fd, 2000);
    close(fd);
    const std::string line = "\n" + name + " ";
    const size_t at = page.find(line);
    return at == std::string::npos ? -1 : atof(page.c_str() + at + line.size());
}

// Cuts (or mends) the way between two of this namespace's UDP ports, both
// directions, while each still reaches the relay: a direct path lost in the
// middle of the network.
bool CutBetween(uint16_t a, uint16_t b, bool cut)
{
    const std::string ports = "{ " + std::to_string(a) + ", " + std::to_string(b) + " }";
    const std::string cmd = cut ? "nft 'add table ip kestrel_cut; add chain ip kestrel_cut out { type filter hook output priority 0 ; } ; "
                                  "add rule ip kestrel_cut out udp sport " + ports + " udp dport " + ports + " drop'"
                                : "nft 'delete table ip kestrel_cut'";
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

uint16_t PortOf(const std::string& address)
{
    return (uint16_t)atoi(address.c_str() + address.rfind(':') + 1);
}

class SealedLink : public testing::Test
{
protected:
    ServiceProcess service;
    std::string root;
    std::vector<pid_t> programs;
    ClientFrameState frame;
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();

    void SetUp() override
    {
        root = MakeTempDir("kestrel-sealed");
        fs::create_directories(root + "/me/reframework/data");
        fs::current_path(root + "/me");
        ASSERT_TRUE(StartService(service, {"--metrics", "39090"})) << service.output;
        g_app.settings.sealed_only = false;
        OverrideGameVersion("1.0.2.0");
    }
    void TearDown() override
    {
        for (pid_t p : programs)
            StopProgram(p);
        LeaveRoom();
        for (int i = 0; i < 300 && g_app.flags.link_running.load(); i++)
            std::this_thread::sleep_for(10ms);
        StopService(service);
        g_app.settings.sealed_only = false;
        SetLinkSealedOnly(false);
        fs::current_path("/");
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void Partner(const std::string& tag, std::vector<std::string> args)
    {
        args.insert(args.begin(), BuiltProgram("tools/kestrel-partner"));
        args.insert(args.end(), {"--dir", root + "/" + tag});
        const pid_t pid = StartProgram(args, root + "/" + tag + ".log");
        ASSERT_GT(pid, 0);
        programs.push_back(pid);
    }
    std::string Log(const std::string& tag) { return ReadFileText(root + "/" + tag + ".log"); }
    void Frame() { ClientFrame(frame, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), SteadyNowNs()); }
    template <class Pred>
    bool FramesUntil(Pred pred, std::chrono::milliseconds limit = 15000ms)
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
    // This client hosts, the partner quickmatches into the room, both ready.
    void Meet(std::vector<std::string> partner_args)
    {
        StartRoomOp({.mode = RoomOpCreate, .name = "Sealed"});
        ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
        partner_args.insert(partner_args.end(), {"--quickmatch", "--ready", "--mirror"});
        Partner("bob", partner_args);
        SetReady(true);
        ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_started.load(); }));
    }
    std::string PartnerFile(const std::string& name) { return ReadFileText(root + "/bob/reframework/data/" + name); }
    uint16_t OwnPort()
    {
        std::lock_guard<std::mutex> g(g_app.link.lock);
        return g_app.link.local_port;
    }
    // The direct path dies under a new version written at once: the seconds
    // until the partner holds it (through the relay, which still works).
    double CutAndCross(const std::string& content)
    {
        EXPECT_TRUE(CutBetween(OwnPort(), PortOf(LinkPath().peer), true)) << "nft in the test's namespace";
        const auto cut = std::chrono::steady_clock::now();
        WriteFileText("reframework/data/Kestrel_Packet_A.json", content);
        EXPECT_TRUE(FramesUntil([&] { return PartnerFile("Kestrel_Packet_A.json") == content; }, 10000ms));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count();
    }
};

} // namespace

TEST_F(SealedLink, TwoNewClientsSealAndNothingForgedAlteredReplayedOrForeignIsWritten)
{
    // Every datagram, captured for the whole session: through the relay and,
    // once the two go straight to each other, between them.
    const std::string pcap = root + "/relay.pcap";
    const pid_t capture = StartProgram({"/usr/bin/tcpdump", "-i", "lo", "-n", "--immediate-mode", "-U", "-s", "0", "-w", pcap, "udp"},
                                       root + "/tcpdump.log");
    ASSERT_GT(capture, 0);
    programs.push_back(capture);
    ASSERT_TRUE(FramesUntil([&] { return ReadFileText(root + "/tcpdump.log").find("listening") != std::string::npos; }));

    Meet({"--game-version", "1.0.2.0"});
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.link_running.load() && LinkSealStatus().sealed; }));
    EXPECT_EQ(PartnerSealState(), PartnerSeal::Sealed);
    ASSERT_TRUE(FramesUntil([] { return LinkRttMs() >= 0; })) << "pings and pongs open both ways";

    // A channel file with a marker crosses to the partner and back (mirrored).
    const std::string marker = "MARKER-7f3c-do-not-show-on-the-wire";
    const std::string content = "{\"pos\":[1,2,3],\"note\":\"" + marker + "\",\"pad\":\"" + std::string(3000, 'q') + "\"}";
    WriteFileText("reframework/data/Kestrel_Packet_A.json", content);
    ASSERT_TRUE(FramesUntil([&] { return PartnerFile("Kestrel_Packet_A.json") == content; }));
    ASSERT_TRUE(FramesUntil([&] { return ReadFileText("reframework/data/Kestrel_Packet_B.json") == content; }));
    EXPECT_TRUE(FramesUntil([&] { return Log("bob").find("seal on") != std::string::npos; }));
    std::this_thread::sleep_for(500ms); // the last datagrams reach the file
    StopProgram(capture);
    programs.pop_back();

    const std::vector<Udp> datagrams = ReadCapture(pcap);
    ASSERT_GT(datagrams.size(), 10u);
    size_t sealed = 0;
    for (const Udp& d : datagrams) {
        EXPECT_EQ(d.payload.find(marker.substr(0, 10)), std::string::npos) << "a datagram shows the marker";
        EXPECT_EQ(d.payload.find("Kestrel_Packet"), std::string::npos) << "a datagram shows a channel name";
        sealed += LooksSealed(d.payload.data(), d.payload.size()) ? 1 : 0;
        if (!LooksSealed(d.payload.data(), d.payload.size())) {
            // Besides HELLO only the relay's introductions and the path reports, which carry no game state.
            const bool hello = d.payload.compare(0, 6, "HELLO ") == 0, path = d.payload.compare(0, 5, "PATH ") == 0,
                       peer = d.payload.compare(0, 5, "PEER ") == 0 && d.src_port == 39000;
            EXPECT_TRUE(hello || path || peer) << "only HELLO, PEER and PATH cross plain";
        }
    }
    EXPECT_GT(sealed, 5u);
    EXPECT_EQ(ReadFileText(pcap).find(marker.substr(0, 10)), std::string::npos);

    // From a third socket, with the relay's address: a plain forgery, a genuine
    // datagram altered, the same replayed, one sealed with another key to A's.
    uint16_t a_port = 0;
    {
        std::lock_guard<std::mutex> g(g_app.link.lock);
        a_port = g_app.link.local_port;
    }
    // The shortest (a ping or pong): the relay sends a run of equal datagrams
    // as one segmented send, which the capture shows as one. Through the
    // relay or straight from the partner: the same seal holds.
    std::string genuine;
    for (const Udp& d : datagrams)
        if (d.dst_port == a_port && LooksSealed(d.payload.data(), d.payload.size()) &&
            (genuine.empty() || d.payload.size() < genuine.size()))
            genuine = d.payload;
    ASSERT_FALSE(genuine.empty()) << "a sealed datagram from the partner to this client";
    const LinkSealHealth before = LinkSealStatus();
    const std::string forged_flags = "{\"forged\":true}";
    std::string altered = genuine;
    altered[altered.size() / 2] ^= 0x20;
    SealSession mallory;
    ASSERT_TRUE(StartSealSession(mallory, MakeSealKeyPair(), OwnLinkKey(), 'B'));
    std::string foreign;
    const std::string plain = "FILE:Kestrel_Flags_B.json\n" + forged_flags;
    SealDatagram(mallory, plain.data(), plain.size(), foreign);
    for (const std::string& d : {plain, altered, genuine, foreign})
        ASSERT_TRUE(SendAsRelay(a_port, d));
    ASSERT_TRUE(FramesUntil([&] {
        const LinkSealHealth h = LinkSealStatus();
        return h.refused_forged >= before.refused_forged + 3 && h.refused_replayed >= before.refused_replayed + 1;
    }));
    std::this_thread::sleep_for(300ms);
    const LinkSealHealth after = LinkSealStatus();
    EXPECT_EQ(after.refused_forged, before.refused_forged + 3);
    EXPECT_EQ(after.refused_replayed, before.refused_replayed + 1);
    EXPECT_EQ(ReadFileText("reframework/data/Kestrel_Flags_B.json").find("forged"), std::string::npos);
    // The link goes on: a new version still crosses.
    const std::string next = "{\"v\":2}";
    WriteFileText("reframework/data/Kestrel_Flags_A.json", next);
    EXPECT_TRUE(FramesUntil([&] { return PartnerFile("Kestrel_Flags_A.json") == next; }));
}

TEST_F(SealedLink, AnOlderPartnerPlaysPlainWithTheWarningUnlessPlainLinksAreRefused)
{
    Meet({"--keyless", "--game-version", "1.0.3.0"});
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.link_running.load(); }));
    EXPECT_EQ(PartnerSealState(), PartnerSeal::PartnerOlder);
    ASSERT_TRUE(FramesUntil([] { return LinkRttMs() >= 0; }));
    EXPECT_FALSE(LinkSealStatus().sealed);
    const std::string content = "{\"plain\":true}";
    WriteFileText("reframework/data/Kestrel_Packet_A.json", content);
    EXPECT_TRUE(FramesUntil([&] { return PartnerFile("Kestrel_Packet_A.json") == content; }));
    EXPECT_TRUE(FramesUntil([&] { return Log("bob").find("seal off") != std::string::npos; }));
    EXPECT_FALSE(LinkPath().direct) << "a partner that cannot seal is never gone to straight";
    {
        // The older partner says no versions: no warning from them.
        std::lock_guard<std::mutex> g(g_app.room.lock);
        EXPECT_EQ(g_app.room.partner_game_version, "");
    }

    // The player refuses plain links: the link stops and does not start again.
    g_app.settings.sealed_only = true;
    LeaveRoom();
    ASSERT_TRUE(FramesUntil([] { return !g_app.flags.link_running.load(); }));
    for (pid_t p : programs)
        StopProgram(p);
    programs.clear();
    fs::remove_all(root + "/bob");
    Meet({"--keyless"});
    ASSERT_TRUE(FramesUntil([] { return LinkRefusedPlain(); }));
    for (int i = 0; i < 60; i++)
        Frame();
    EXPECT_FALSE(g_app.flags.link_running.load());
    EXPECT_TRUE(LinkRefusedPlain());
}

TEST_F(SealedLink, VersionsReachThePartnerAndQuickmatchPairsTheSameBuild)
{
    // Two hosts wait, of two builds; a player of the second build quickmatches.
    Partner("old", {"--create", "Old build", "--game-version", "1.0.2.0"});
    Partner("new", {"--create", "New build", "--game-version", "1.0.3.0"});
    ASSERT_TRUE(FramesUntil([&] { return Log("old").find("room: ") != std::string::npos && Log("new").find("room: ") != std::string::npos; }));
    OverrideGameVersion("1.0.3.0");
    StartRoomOp({.mode = RoomOpQuickmatch});
    ASSERT_TRUE(FramesUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    ASSERT_TRUE(FramesUntil([] {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        return g_app.room.partner_game_version == "1.0.3.0";
    }));
    std::lock_guard<std::mutex> g(g_app.room.lock);
    EXPECT_EQ(g_app.room.partner_kestrel_version, KestrelVersion());
    EXPECT_TRUE(VersionWarnings(KestrelVersion(), GameVersion(), g_app.room.partner_kestrel_version,
                                g_app.room.partner_game_version)
                    .empty());
}

// Two clients of this version: straight to each other once the relay
// introduced them, the relay then carrying none of the files; what a third
// socket sends (forged path words and files, even with the relay's address)
// moves nothing; the direct path cut mid-session, the files cross through the
// relay within about a second and nothing is lost; mended, the path goes
// direct again at the next try.
TEST_F(SealedLink, GoesStraightToThePartnerIgnoresForgeriesAndFallsBackTheMomentThatPathDies)
{
    Meet({});
    ASSERT_TRUE(FramesUntil([] { return LinkSealStatus().sealed && LinkPath().direct; })) << "direct after the introduction";
    const LinkPathInfo path = LinkPath();
    EXPECT_EQ(path.peer.compare(0, 10, "127.0.0.1:"), 0);
    EXPECT_NE(PortOf(path.peer), 39000);
    EXPECT_TRUE(FramesUntil([&] { return Log("bob").find(" path direct rtt ") != std::string::npos; }));
    EXPECT_TRUE(FramesUntil([] { return Metric("kestrel_relay_direct_sessions") == 1; })) << "both report direct";

    // Files both ways (the partner mirrors them), none through the relay.
    const double relayed = Metric("kestrel_relay_forwarded_bytes_total");
    std::string content;
    for (int v = 1; v <= 20; v++) {
        content = "{\"v\":" + std::to_string(v) + ",\"pad\":\"" + std::string(3000, (char)('a' + v)) + "\"}";
        WriteFileText("reframework/data/Kestrel_Packet_A.json", content);
        ASSERT_TRUE(FramesUntil([&] { return PartnerFile("Kestrel_Packet_A.json") == content; }));
    }
    ASSERT_TRUE(FramesUntil([&] { return ReadFileText("reframework/data/Kestrel_Packet_B.json") == content; }));
    EXPECT_LT(Metric("kestrel_relay_forwarded_bytes_total") - relayed, 12000.0) << "120 KB of files crossed, not via the relay";
    EXPECT_TRUE(LinkPath().direct);

    // A third socket: its own address as the partner's, a pong for a probe,
    // a file; the same address named with the relay's.
    const int third = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(third, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(me);
    ASSERT_EQ(bind(third, (sockaddr*)&me, sizeof(me)), 0);
    getsockname(third, (sockaddr*)&me, &len);
    const std::string fake_peer = "PEER 127.0.0.1:" + std::to_string(ntohs(me.sin_port)) + "\n";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(OwnPort());
    for (const std::string& d : {fake_peer, std::string("FILE:__pong___B.json\n0 1.0"),
                                 std::string("FILE:Kestrel_Flags_B.json\n{\"forged\":true}")})
        sendto(third, d.data(), d.size(), 0, (sockaddr*)&to, sizeof(to));
    ASSERT_TRUE(SendAsRelay(OwnPort(), fake_peer));
    const auto settle = std::chrono::steady_clock::now() + 1200ms; // the relay's next word names the partner again
    FramesUntil([&] { return std::chrono::steady_clock::now() >= settle; });
    close(third);
    EXPECT_TRUE(LinkPath().direct);
    EXPECT_EQ(LinkPath().peer, path.peer);
    EXPECT_EQ(LinkPath().losses, 0u);
    EXPECT_EQ(ReadFileText("reframework/data/Kestrel_Flags_B.json").find("forged"), std::string::npos);

    // The direct path dies; the relay still works.
    const std::string after_cut = "{\"after\":\"cut\",\"pad\":\"" + std::string(2500, 'z') + "\"}";
    const double took = CutAndCross(after_cut);
    EXPECT_FALSE(LinkPath().direct);
    EXPECT_EQ(LinkPath().losses, 1u);
    EXPECT_LT(took, 2.5) << "through the relay within about a second";
    printf("direct path cut: the next version crossed through the relay after %.2f s\n", took);
    EXPECT_TRUE(FramesUntil([&] { return ReadFileText("reframework/data/Kestrel_Packet_B.json") == after_cut; }))
        << "and came back mirrored";

    // Mended: the next try finds it again.
    ASSERT_TRUE(CutBetween(0, 0, false));
    EXPECT_TRUE(FramesUntil([] { return LinkPath().direct; }, 15000ms)) << "direct again after the back-off";
    const std::string last = "{\"v\":\"last\"}";
    WriteFileText("reframework/data/Kestrel_Packet_A.json", last);
    EXPECT_TRUE(FramesUntil([&] { return PartnerFile("Kestrel_Packet_A.json") == last; }));
}

// The same cut with a partner of the "FILE:" framing: its files and this
// side's cross again through the relay, whole.
TEST_F(SealedLink, TheOldFramingAlsoFallsBackWithNothingLost)
{
    Meet({"--old-framing"});
    ASSERT_TRUE(FramesUntil([] { return LinkSealStatus().sealed && LinkPath().direct; }));
    EXPECT_FALSE(LinkSyncHealth().compact);
    const std::string content = "{\"old\":\"" + std::string(5000, 'o') + "\"}"; // chunked
    const double took = CutAndCross(content);
    EXPECT_LT(took, 2.5);
    printf("old framing, direct path cut: crossed through the relay after %.2f s\n", took);
    EXPECT_TRUE(FramesUntil([&] { return ReadFileText("reframework/data/Kestrel_Packet_B.json") == content; }));
    EXPECT_EQ(LinkPath().losses, 1u);
    CutBetween(0, 0, false);
}

// A sealed partner that does not take the relay's introduction (a release
// before the direct path): this side's probes find no answer and it stays on
// the relay, files flowing.
TEST_F(SealedLink, APartnerThatIgnoresTheIntroductionStaysOnTheRelay)
{
    Meet({"--no-direct"});
    ASSERT_TRUE(FramesUntil([] { return LinkSealStatus().sealed && LinkRttMs() >= 0; }));
    const auto round_over = std::chrono::steady_clock::now() + std::chrono::nanoseconds(kProbeRoundNs + 500000000LL);
    const std::string content = "{\"relayed\":true}";
    WriteFileText("reframework/data/Kestrel_Packet_A.json", content);
    EXPECT_TRUE(FramesUntil([&] { return PartnerFile("Kestrel_Packet_A.json") == content; }));
    FramesUntil([&] { return std::chrono::steady_clock::now() >= round_over; });
    EXPECT_FALSE(LinkPath().direct);
    EXPECT_NE(LinkPath().peer, "") << "the relay did name the partner";
    EXPECT_NE(Log("bob").find(" path relay rtt "), std::string::npos);
    EXPECT_EQ(Log("bob").find(" path direct"), std::string::npos);
}
