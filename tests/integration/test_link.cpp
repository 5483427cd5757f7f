// The peer link over the real relay: this process runs one real link (side A,
// the client state is process-wide), the other side is either a second client
// (kestrel-partner) or a raw socket that counts what arrives.
#include "link/peer_link.h"
#include "link/role_file.h"
#include "raw_peer.h"
#include "service_process.h"
#include "state/app_state.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <regex>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class Link : public testing::Test
{
protected:
    ServiceProcess service;
    std::string root, a_dir, b_dir;
    pid_t partner = -1;

    void SetUp() override
    {
        root = MakeTempDir("kestrel-link");
        a_dir = root + "/a";
        b_dir = root + "/b";
        fs::create_directories(a_dir + "/reframework/data");
        fs::create_directories(b_dir + "/reframework/data");
        fs::current_path(a_dir); // this process is side A's game
    }
    void TearDown() override
    {
        StopPeerLink();
        for (int i = 0; i < 300 && g_app.flags.link_running.load(); i++)
            std::this_thread::sleep_for(10ms);
        StopProgram(partner);
        StopService(service);
        fs::current_path("/");
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void StartRelay(const std::vector<std::string>& args = {})
    {
        ASSERT_TRUE(StartService(service, args)) << service.output;
    }
    void StartPartner(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {BuiltProgram("tools/kestrel-partner"), "link", "--role", "B", "--code", "R1",
                                         "--dir", b_dir};
        args.insert(args.end(), extra.begin(), extra.end());
        partner = StartProgram(args, root + "/partner.log");
        ASSERT_GT(partner, 0);
    }
    std::string A(const std::string& name) { return a_dir + "/reframework/data/" + name; }
    std::string B(const std::string& name) { return b_dir + "/reframework/data/" + name; }
};

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (pred())
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

std::string Content(size_t size, int version)
{
    std::string s = "{\"v\":" + std::to_string(version) + ",\"pad\":\"";
    while (s.size() + 2 < size)
        s += (char)('a' + (s.size() * 31 + version) % 26);
    return s + "\"}";
}

} // namespace

// ---------------------------------------------------------------------------
// Two real clients
// ---------------------------------------------------------------------------

TEST_F(Link, TwoClientsExchangePingsAndTheRoleFileFollows)
{
    StartRelay();
    RoleFileState role_file;
    UpdateRoleFile(role_file, 'A', g_app.flags.link_running.load());
    EXPECT_EQ(ReadFileText(A("Kestrel_role.json")), R"({"role":"A","connected":false,"session":0})");

    StartPartner();
    StartPeerLink(1, "R1");
    UpdateRoleFile(role_file, 'A', g_app.flags.link_running.load());
    EXPECT_EQ(ReadFileText(A("Kestrel_role.json")), R"({"role":"A","connected":true,"session":1})");

    ASSERT_TRUE(WaitUntil([] { return LinkRttMs() >= 0; }, 5000ms));
    EXPECT_LT(LinkRttMs(), 200);
    ASSERT_TRUE(WaitUntil([] { return LinkLossPercent() >= 0; }, 6000ms));
    EXPECT_EQ(LinkLossPercent(), 0);
    // The partner reports its own round trip.
    const std::regex partner_rtt("rtt [0-9]+ ms");
    EXPECT_TRUE(WaitUntil([&] { return std::regex_search(ReadFileText(root + "/partner.log"), partner_rtt); }, 5000ms));
    EXPECT_TRUE(ReadFileText(B("Kestrel_role.json")).find("\"connected\":true") != std::string::npos);
}

TEST_F(Link, FilesArriveWholeSmallAndChunked)
{
    StartRelay();
    StartPartner();
    StartPeerLink(1, "R1");
    ASSERT_TRUE(WaitUntil([] { return LinkRttMs() >= 0; }, 5000ms));

    for (size_t size : {size_t(300), size_t(100 * 1024)}) {
        for (int version = 1; version <= 3; version++) {
            const std::string content = Content(size, version);
            const std::string previous = version > 1 ? Content(size, version - 1) : std::string();
            ASSERT_TRUE(WriteFileText(A("Kestrel_Joints_A.json"), content));
            // Every read on B sees the old or the new version whole, never a mixture.
            bool torn = false;
            const bool arrived = WaitUntil(
                [&] {
                    const std::string seen = ReadFileText(B("Kestrel_Joints_A.json"));
                    if (!seen.empty() && seen != content && seen != previous && seen.size() != 300 && seen.size() != size)
                        torn = true;
                    return seen == content;
                },
                3000ms);
            EXPECT_TRUE(arrived) << "size " << size << " version " << version;
            EXPECT_FALSE(torn);
        }
    }
    EXPECT_FALSE(fs::exists(B("Kestrel_Joints_A.json.tmp")));
}

TEST_F(Link, MirrorSendsThePartnersFilesBack)
{
    StartRelay();
    StartPartner({"--mirror"});
    StartPeerLink(1, "R1");
    ASSERT_TRUE(WriteFileText(A("Kestrel_Anim_A.json"), "{\"pose\":7}"));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileText(A("Kestrel_Anim_B.json")) == "{\"pose\":7}"; }, 5000ms));
}

// ---------------------------------------------------------------------------
// Against a raw peer that counts
// ---------------------------------------------------------------------------

TEST_F(Link, EachChangeIsSentExactlyThreeTimes)
{
    StartRelay();
    RawPeer peer;
    ASSERT_TRUE(StartRawPeer(peer, "R1", 'B'));
    StartPeerLink(1, "R1");
    std::this_thread::sleep_for(300ms);

    ASSERT_TRUE(WriteFileText(A("Kestrel_Flags_A.json"), "{\"flag\":1}"));
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(WriteFileText(A("Kestrel_Flags_A.json"), "{\"flag\":2}"));
    std::this_thread::sleep_for(600ms);
    StopRawPeer(peer);

    std::vector<std::string> bodies;
    for (const RawDatagram& d : RawPeerReceived(peer))
        if (d.name == "Kestrel_Flags_A.json")
            bodies.push_back(d.body);
    EXPECT_EQ(bodies, (std::vector<std::string>{"{\"flag\":1}", "{\"flag\":1}", "{\"flag\":1}", "{\"flag\":2}",
                                                "{\"flag\":2}", "{\"flag\":2}"}));
}

TEST_F(Link, DatagramsFromAnyoneButTheRelayAreIgnored)
{
    StartRelay();
    RawPeer peer;
    ASSERT_TRUE(StartRawPeer(peer, "R1", 'B'));
    StartPeerLink(1, "R1");
    std::this_thread::sleep_for(300ms);
    // Straight to the link's port, around the relay: a forged partner file.
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(39000);
    to.sin_addr.s_addr = htonl(0x7f000002); // the link listens on all addresses
    const std::string forged = "FILE:Kestrel_Packet_B.json\nforged";
    for (int i = 0; i < 5; i++)
        sendto(fd, forged.data(), forged.size(), 0, (sockaddr*)&to, sizeof(to));
    close(fd);
    RawPeerSend(peer, "FILE:Kestrel_Packet_B.json\nreal");
    EXPECT_TRUE(WaitUntil([&] { return ReadFileText(A("Kestrel_Packet_B.json")) == "real"; }, 3000ms));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(ReadFileText(A("Kestrel_Packet_B.json")), "real");
    StopRawPeer(peer);
}

// Ten percent of every forwarded datagram dropped: the ping and the pong each
// cross the relay, so about 19 % of round trips fail; each file version goes
// out three times, so only about 0.1 % of single-chunk versions are lost.
TEST_F(Link, UnderTenPercentDropLossMatchesTheRoundTripAndFilesStillArrive)
{
    StartRelay({"--relay-drop", "0.1", "--relay-seed", "11"});
    RawPeer peer;
    ASSERT_TRUE(StartRawPeer(peer, "R1", 'B'));
    StartPeerLink(1, "R1");

    // Versions on all six channels, each held for four scans, for 35 s: by then
    // 32 pings have aged past two seconds.
    const std::vector<std::string> names = ChannelFileNames(1);
    int versions = 0;
    const auto end = std::chrono::steady_clock::now() + 35s;
    while (std::chrono::steady_clock::now() < end) {
        versions++;
        for (const std::string& n : names)
            WriteFileText(A(n), Content(200, versions));
        std::this_thread::sleep_for(135ms);
    }
    std::this_thread::sleep_for(300ms);
    const int loss = LinkLossPercent();
    StopRawPeer(peer);

    std::set<std::pair<std::string, std::string>> arrived;
    for (const RawDatagram& d : RawPeerReceived(peer))
        arrived.insert({d.name, d.body});
    const double delivered = (double)arrived.size() / (versions * (int)names.size());
    RecordProperty("loss_percent", loss);
    RecordProperty("delivered_per_mille", (int)(delivered * 1000));
    printf("loss %d %%, delivered %.2f %% of %d versions\n", loss, delivered * 100, versions * 6);
    EXPECT_GE(loss, 5);
    EXPECT_LE(loss, 38);
    EXPECT_GE(delivered, 0.99);
}
