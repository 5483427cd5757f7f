// The relay as a black box: real kestrel-service process, real UDP sockets.
#include "service_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>

namespace {

struct Udp
{
    int fd = -1;
    // The relay's introductions, set apart from the forwarded datagrams.
    mutable std::vector<std::string> peers;
    Udp()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 2 << 20; // a held relay's whole backlog arrives at once
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr*)&a, sizeof(a));
    }
    ~Udp() { close(fd); }
    std::string Address() const
    {
        sockaddr_in a{};
        socklen_t size = sizeof(a);
        getsockname(fd, (sockaddr*)&a, &size);
        return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    void Send(const std::string& text) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(39000);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, text.data(), text.size(), 0, (sockaddr*)&to, sizeof(to));
    }
    // Every datagram that arrives within `ms`.
    std::vector<std::string> Receive(int ms) const
    {
        std::vector<std::string> got;
        char buf[70000];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0)
                return got;
            const ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n >= 5 && memcmp(buf, "PEER ", 5) == 0)
                peers.emplace_back(buf, (size_t)n);
            else if (n >= 0)
                got.emplace_back(buf, (size_t)n);
        }
    }
};

// Every case runs with one worker and with two.
class Relay : public testing::TestWithParam<int>
{
protected:
    ServiceProcess service;
    // Open relay: these tests register without rooms.
    void Start(std::vector<std::string> args = {})
    {
        args.push_back("--relay-open");
        args.push_back("--relay-workers");
        args.push_back(std::to_string(GetParam()));
        ASSERT_TRUE(StartService(service, args)) << service.output;
    }
    void TearDown() override { StopService(service); }
    // Sends while the relay is stopped, so it takes them in as few batches as it can.
    void SendWhileHeld(const std::vector<std::pair<const Udp*, std::string>>& datagrams)
    {
        kill(service.pid, SIGSTOP);
        for (const auto& [from, text] : datagrams)
            from->Send(text);
        kill(service.pid, SIGCONT);
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Workers, Relay, testing::Values(1, 2), testing::PrintToStringParamName());

TEST_P(Relay, ForwardsBetweenTheTwoLettersOfARoomAndNeverBack)
{
    Start();
    Udp a, b, stranger;
    a.Send("HELLO ROOM1 A\n");
    b.Send("HELLO ROOM1 B\n");
    usleep(50000);
    a.Send("FILE:x_A.json\nfrom a");
    b.Send(std::string("FILE:y\n\0binary\xff", 16));
    stranger.Send("FILE:z\nfrom nobody");
    EXPECT_EQ(b.Receive(200), std::vector<std::string>{"FILE:x_A.json\nfrom a"});
    EXPECT_EQ(a.Receive(200), std::vector<std::string>{std::string("FILE:y\n\0binary\xff", 16)});
    EXPECT_TRUE(stranger.Receive(100).empty()); // the relay answers nothing
    EXPECT_TRUE(stranger.peers.empty());
}

// Once both letters are registered each learns the other's address; a HELLO
// is answered with the partner's address; a member that moves is introduced
// to its partner again. PATH reports stay with the relay, whoever sends them.
TEST_P(Relay, IntroducesTheTwoMembersAndKeepsPathReports)
{
    Start({"--relay-takeover", "1"});
    Udp a, b, b2;
    a.Send("HELLO R A\n");
    usleep(50000);
    EXPECT_TRUE(a.Receive(50).empty());
    EXPECT_TRUE(a.peers.empty()) << "no partner yet";
    b.Send("HELLO R B\n");
    b.Receive(200);
    a.Receive(0);
    EXPECT_EQ(b.peers, std::vector<std::string>{"PEER " + a.Address() + "\n"});
    EXPECT_EQ(a.peers, std::vector<std::string>{"PEER " + b.Address() + "\n"});

    a.Send("HELLO R A\n"); // a refresh: answered, the partner hears nothing
    a.Receive(200);
    b.Receive(0);
    EXPECT_EQ(a.peers.size(), 2u);
    EXPECT_EQ(b.peers.size(), 1u);

    for (const char* report : {"PATH R A direct\n", "PATH R A relay\n", "PATH R B direct\n"}) {
        a.Send(report); // the last one names the other letter: ignored
        b2.Send(report);  // not registered: ignored
    }
    b.Send("PATH R B direct\n");
    a.Send("FILE:after the reports");
    EXPECT_EQ(b.Receive(200), std::vector<std::string>{"FILE:after the reports"});
    EXPECT_TRUE(a.Receive(50).empty());
    EXPECT_TRUE(b2.Receive(0).empty());

    // b falls silent, b2 takes its letter: both sides learn the new address.
    a.peers.clear();
    for (int i = 0; i < 30 && b2.peers.empty(); i++) {
        b2.Send("HELLO R B\n");
        b2.Receive(100);
    }
    a.Receive(100);
    ASSERT_FALSE(b2.peers.empty());
    EXPECT_EQ(b2.peers.back(), "PEER " + a.Address() + "\n");
    ASSERT_FALSE(a.peers.empty());
    EXPECT_EQ(a.peers.back(), "PEER " + b2.Address() + "\n");
}

TEST_P(Relay, WithoutIntroductionsNoAddressIsEverTold)
{
    Start({"--relay-no-introduce"});
    Udp a, b;
    a.Send("HELLO R A\n");
    b.Send("HELLO R B\n");
    usleep(50000);
    a.Send("HELLO R A\n");
    a.Send("FILE:x");
    EXPECT_EQ(b.Receive(200), std::vector<std::string>{"FILE:x"});
    a.Receive(50);
    EXPECT_TRUE(a.peers.empty());
    EXPECT_TRUE(b.peers.empty());
}

TEST_P(Relay, RoomsAreSeparateAndLoneMembersHearNothing)
{
    Start();
    Udp a1, b1, a2;
    a1.Send("HELLO ONE A\n");
    b1.Send("HELLO ONE B\n");
    a2.Send("HELLO TWO A\n");
    usleep(50000);
    a2.Send("FILE:only me");
    a1.Send("FILE:to b1");
    EXPECT_EQ(b1.Receive(200), std::vector<std::string>{"FILE:to b1"});
    EXPECT_TRUE(a1.Receive(50).empty());
    EXPECT_TRUE(a2.Receive(50).empty());
}

TEST_P(Relay, MalformedHellosRegisterNothing)
{
    Start();
    Udp a, b;
    b.Send("HELLO R B\n");
    for (const char* bad : {"HELLO R C\n", "HELLO  A\n", "HELLO R/1 A\n", "HELLO R A extra\n", "HELO R A\n"}) {
        a.Send(bad);
        usleep(20000);
        a.Send("FILE:should not pass");
    }
    EXPECT_TRUE(b.Receive(200).empty());
}

// Same IP, other port, HELLO every 100 ms: a live member keeps every datagram
// and nothing from the other port passes. Once the member falls silent for
// the takeover time, the new address gets the slot (a changed NAT mapping).
TEST_P(Relay, ALiveRegistrationIsNotTakenOverButASilentOneMoves)
{
    Start({"--relay-takeover", "1"});
    Udp a, b, b2;
    a.Send("HELLO R A\n");
    b.Send("HELLO R B\n");
    usleep(50000);
    int to_b = 0, to_b2 = 0, injected = 0;
    std::chrono::steady_clock::time_point b_last_hello;
    for (int i = 0; i < 20; i++) { // two takeover times, b staying live
        b2.Send("HELLO R B\n");
        b2.Send("FILE:injected");
        b.Send("HELLO R B\n");
        b_last_hello = std::chrono::steady_clock::now();
        a.Send("FILE:n" + std::to_string(i));
        for (const std::string& d : b.Receive(100))
            to_b += d.rfind("FILE:n", 0) == 0;
        to_b2 += (int)b2.Receive(0).size();
        for (const std::string& d : a.Receive(0))
            injected += d == "FILE:injected";
    }
    EXPECT_EQ(to_b, 20);
    EXPECT_EQ(to_b2, 0);
    EXPECT_EQ(injected, 0);

    // b falls silent; b2 keeps saying HELLO every 100 ms and gets the slot
    // once b has been silent for the takeover time, counted from b's last
    // HELLO (a loaded machine may have spent part of it already).
    int moved_after_ms = -1;
    for (int i = 0; i <= 30 && moved_after_ms < 0; i++) {
        b2.Send("HELLO R B\n");
        a.Send("FILE:hi");
        if (!b2.Receive(100).empty())
            moved_after_ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - b_last_hello).count();
    }
    EXPECT_GE(moved_after_ms, 900);
    EXPECT_LE(moved_after_ms, 2500);
    b.Send("FILE:old address"); // no longer registered
    b.Receive(0);
    EXPECT_TRUE(a.Receive(100).empty());
}

TEST_P(Relay, SilentRegistrationsExpire)
{
    Start({"--relay-expire", "1"});
    Udp a, b;
    a.Send("HELLO R A\n");
    b.Send("HELLO R B\n");
    usleep(2500000);
    a.Send("FILE:late");
    EXPECT_TRUE(b.Receive(200).empty());
}

TEST_P(Relay, FaultInjectionDropsAndDuplicatesAtTheSetRates)
{
    Start({"--relay-drop", "0.2", "--relay-duplicate", "0.1", "--relay-seed", "7"});
    Udp a, b;
    a.Send("HELLO R A\n");
    b.Send("HELLO R B\n");
    usleep(50000);
    size_t got = 0;
    for (int round = 0; round < 20; round++) { // paced, so no socket buffer overflows
        for (int i = 0; i < 100; i++)
            a.Send("FILE:" + std::to_string(round * 100 + i));
        got += b.Receive(30).size();
    }
    // 80 % pass, and a tenth of those twice: about 1760.
    EXPECT_GT(got, 1600u);
    EXPECT_LT(got, 1920u);
}

TEST_P(Relay, DelayAndReorderStillDeliverEverything)
{
    Start({"--relay-delay", "30", "--relay-jitter", "20", "--relay-reorder", "0.3"});
    Udp a, b;
    a.Send("HELLO R A\n");
    b.Send("HELLO R B\n");
    usleep(50000);
    for (int i = 0; i < 50; i++)
        a.Send("FILE:" + std::to_string(i));
    const std::vector<std::string> got = b.Receive(400);
    ASSERT_EQ(got.size(), 50u);
    bool reordered = false;
    for (size_t i = 0; i < got.size(); i++)
        reordered |= got[i] != "FILE:" + std::to_string(i);
    EXPECT_TRUE(reordered);
}

// Sixteen rooms: with two workers the kernel spreads the members' addresses
// over both sockets, so most rooms have one member on each (all sixteen on one
// side happens once in 2^16 runs); each member still hears only its partner.
TEST_P(Relay, MembersOnDifferentWorkersStillReachEachOther)
{
    Start();
    const int rooms = 16;
    std::vector<std::unique_ptr<Udp>> a, b;
    for (int i = 0; i < rooms; i++) {
        a.push_back(std::make_unique<Udp>());
        b.push_back(std::make_unique<Udp>());
        a[i]->Send("HELLO X" + std::to_string(i) + " A\n");
        b[i]->Send("HELLO X" + std::to_string(i) + " B\n");
    }
    usleep(50000);
    for (int i = 0; i < rooms; i++) {
        a[i]->Send("FILE:a" + std::to_string(i));
        b[i]->Send("FILE:b" + std::to_string(i));
    }
    for (int i = 0; i < rooms; i++) {
        EXPECT_EQ(b[i]->Receive(100), std::vector<std::string>{"FILE:a" + std::to_string(i)}) << "room " << i;
        EXPECT_EQ(a[i]->Receive(0), std::vector<std::string>{"FILE:b" + std::to_string(i)}) << "room " << i;
    }
}

static std::string Sized(const std::string& head, size_t size)
{
    std::string d = head + "\n";
    d.resize(size, (char)('a' + size % 26));
    return d;
}

// "" when equal, else where they part (the datagrams are too long to print).
static std::string Difference(const std::vector<std::string>& got, const std::vector<std::string>& expected)
{
    for (size_t i = 0; i < std::max(got.size(), expected.size()); i++) {
        if (i >= got.size())
            return "missing from " + std::to_string(i) + " of " + std::to_string(expected.size());
        if (i >= expected.size() || got[i] != expected[i])
            return "datagram " + std::to_string(i) + " is " + got[i].substr(0, got[i].find('\n')) + " (" +
                   std::to_string(got[i].size()) + " bytes), " + std::to_string(got.size()) + " of " +
                   std::to_string(expected.size()) + " arrived";
    }
    return "";
}

// A file's chunks are of one size but the last; the relay sends such runs to
// one address as one segmented send. Each datagram must still arrive whole,
// in order, and a second room's datagrams in between must not join the run.
TEST_P(Relay, RunsOfOneSizeArriveWholeAndInOrder)
{
    Start();
    Udp a1, b1, a2, b2;
    a1.Send("HELLO R1 A\n");
    b1.Send("HELLO R1 B\n");
    a2.Send("HELLO R2 A\n");
    b2.Send("HELLO R2 B\n");
    usleep(50000);
    std::vector<std::pair<const Udp*, std::string>> sends;
    std::vector<std::string> to_b1, to_b2;
    for (int i = 0; i < 150; i++) {
        const size_t size = i % 9 == 8 ? 200 + (size_t)i : i < 100 ? 1250 : 600;
        to_b1.push_back(Sized("FILE:c" + std::to_string(i), size));
        sends.push_back({&a1, to_b1.back()});
        if (i % 25 == 24) {
            to_b2.push_back(Sized("FILE:other" + std::to_string(i), 1250));
            sends.push_back({&a2, to_b2.back()});
        }
    }
    SendWhileHeld(sends);
    EXPECT_EQ(Difference(b1.Receive(300), to_b1), "");
    EXPECT_EQ(Difference(b2.Receive(0), to_b2), "");
}

// Below a datagram's size plus headers the system refuses a segmented send
// (here a 1280-byte MTU on loopback); the relay then sends that run and every
// later one datagram by datagram, which the system fragments as before.
TEST_P(Relay, RunsTheSystemCannotSegmentAreSentOneByOne)
{
    ASSERT_EQ(system("ip link set lo mtu 1280"), 0);
    Start();
    Udp a, b;
    a.Send("HELLO R A\n");
    b.Send("HELLO R B\n");
    usleep(50000);
    for (int burst = 0; burst < 2; burst++) {
        std::vector<std::pair<const Udp*, std::string>> sends;
        std::vector<std::string> expected;
        for (int i = 0; i < 20; i++) {
            expected.push_back(Sized("FILE:big" + std::to_string(burst * 100 + i), 1400));
            sends.push_back({&a, expected.back()});
        }
        SendWhileHeld(sends);
        EXPECT_EQ(Difference(b.Receive(300), expected), "") << "burst " << burst;
    }
}

TEST_P(Relay, WithSegmentingOffRunsStillArriveInOrder)
{
    Start({"--relay-no-segment"});
    Udp a, b;
    a.Send("HELLO R A\n");
    b.Send("HELLO R B\n");
    usleep(50000);
    std::vector<std::pair<const Udp*, std::string>> sends;
    std::vector<std::string> expected;
    for (int i = 0; i < 30; i++) {
        expected.push_back(Sized("FILE:s" + std::to_string(i), 900));
        sends.push_back({&a, expected.back()});
    }
    SendWhileHeld(sends);
    EXPECT_EQ(Difference(b.Receive(300), expected), "");
}

// A member that sends without pause keeps every receive batch full. The relay
// must still sweep (the silent partner is forgotten) and stop when asked, both
// while the flood goes on.
TEST_P(Relay, AFloodOfFullBatchesStillLetsTheSweepAndStopRun)
{
    Start({"--relay-batch", "1", "--relay-expire", "1"});
    Udp a, b;
    a.Send("HELLO R A\n");
    b.Send("HELLO R B\n");
    usleep(50000);

    std::atomic<bool> flooding{true}, stop_flood{false};
    const auto flood_end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto flood = [&] {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(39000);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char body[] = "FILE:flood";
        iovec iov{body, sizeof(body) - 1};
        std::vector<mmsghdr> msgs(64);
        for (mmsghdr& m : msgs) {
            m.msg_hdr.msg_name = &to;
            m.msg_hdr.msg_namelen = sizeof(to);
            m.msg_hdr.msg_iov = &iov;
            m.msg_hdr.msg_iovlen = 1;
        }
        while (!stop_flood.load() && std::chrono::steady_clock::now() < flood_end)
            sendmmsg(a.fd, msgs.data(), (unsigned)msgs.size(), 0);
    };
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; i++)
        senders.emplace_back(flood);
    std::thread watch([&] {
        for (std::thread& t : senders)
            t.join();
        flooding.store(false);
    });

    // b never speaks again, so the sweep forgets it and a's flood stops reaching it.
    bool reached_b = false, b_forgotten_while_flooding = false;
    char buf[2048];
    for (;;) {
        pollfd p{b.fd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0) {
            b_forgotten_while_flooding = flooding.load();
            break;
        }
        if (recv(b.fd, buf, sizeof(buf), 0) > 0)
            reached_b = true;
        if (!flooding.load())
            break;
    }
    EXPECT_TRUE(reached_b);
    EXPECT_TRUE(b_forgotten_while_flooding);

    const int status = StopProgram(service.pid, 5000);
    const bool stopped_while_flooding = flooding.load();
    service.pid = -1;
    stop_flood.store(true);
    watch.join();
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(stopped_while_flooding);
}
