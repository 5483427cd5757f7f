// Link figures over loopback, through the real relay (run it inside
// tests/netns-run): propagation time of a file from A to B, the link's CPU use
// idle and busy, the relay's forwarding rate and added latency, and file
// delivery under 5, 10 and 20 % drop against the 1 - p^3 of three sends; one
// busy file written at 60, 144, 240 Hz and flat out; the wire cost of a
// game-like workload, compact framing beside the old one.
#include "game_workload.h"
#include "link/link_keys.h"
#include "link/link_seal.h"
#include "link/peer_link.h"
#include "raw_peer.h"
#include "writer_rates.h"
#include "service_process.h"
#include "state/app_state.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// On-CPU time of every thread of `pid` (nanoseconds, where /proc/<pid>/stat
// counts 10 ms ticks), and how often they were put on a CPU: threads that end
// in between are not counted.
static double CpuSeconds(pid_t pid, uint64_t* runs = nullptr)
{
    double ns = 0;
    for (const fs::directory_entry& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream in(task.path() / "schedstat");
        double run = 0, waited = 0;
        uint64_t slices = 0;
        if (in >> run >> waited >> slices) {
            ns += run;
            if (runs)
                *runs += slices;
        }
    }
    return ns / 1e9;
}

static double OwnCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

static double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, (size_t)(p * v.size()))];
}

static void StopLink()
{
    StopPeerLink();
    while (g_app.flags.link_running.load())
        std::this_thread::sleep_for(1ms);
}

// As the game's scripts write their files: in place, whole, then closed.
static void WriteInPlace(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

static std::string Version(size_t size, int v)
{
    std::string s = "{\"v\":" + std::to_string(v) + ",\"p\":\"";
    s.resize(size - 2, 'x');
    return s + "\"}";
}

// ---------------------------------------------------------------------------

// `old`: the 1/30 s scan alone (before change notices), measured in the same
// run for comparison.
// Seeds of the two sides' keys when a run seals (no room hands keys out here).
static void SealBoth(std::vector<std::string>& partner_args, bool sealed)
{
    if (sealed) {
        // Through the relay, as the plain runs: the seal's cost, not the path's.
        partner_args.insert(partner_args.end(), {"--seal-seeds", "bench-b", "bench-a", "--no-direct"});
        UseLinkKeysFromSeeds("bench-a", "bench-b");
        SetLinkDirectPath(false);
    } else {
        ForgetLinkKeys();
    }
}

static void Propagation(const std::string& root, bool old, int sealed = -1, int round = 0)
{
    const char* how = sealed == 1 ? "sealed" : sealed == 0 ? "plain" : old ? "scan only (before)" : "change notices";
    const std::string b = root + (old ? "/prop-old-b" : "/prop-b") + std::to_string(sealed + 1) + std::to_string(round);
    // A code per run: the relay keeps a live registration for 3 s.
    const std::string code = std::string(old ? "P1" : "P3") + std::to_string(sealed + 1) + std::to_string(round);
    std::vector<std::string> args = {BuiltProgram("tools/kestrel-partner"), "link", "--role", "B", "--code", code,
                                     "--dir", b};
    SealBoth(args, sealed == 1);
    const pid_t partner = StartProgram(args, root + "/prop.log");
    SetLinkFileWatch(!old);
    StartPeerLink(1, code);
    std::this_thread::sleep_for(1500ms);
    const std::string target = b + "/reframework/data/Kestrel_Packet_A.json";
    std::vector<double> ms;
    for (int v = 1; v <= 300; v++) {
        const std::string content = Version(600, v);
        const auto t0 = Clock::now();
        WriteInPlace("reframework/data/Kestrel_Packet_A.json", content);
        while (ReadFileText(target) != content && Clock::now() - t0 < 2s)
            std::this_thread::sleep_for(100us);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + v % 17)); // off the scan's beat
    }
    printf("propagation A->B, %s (600 B file, %zu writes): median %.2f ms, p99 %.2f ms, max %.1f ms\n", how,
           ms.size(), Percentile(ms, 0.5), Percentile(ms, 0.99), Percentile(ms, 1.0));
    StopLink();
    StopProgram(partner);
    SetLinkFileWatch(true);
    if (sealed == 1)
        printf("  sealed: %s\n", LinkSealStatus().sealed ? "yes" : "NO (keys not taken)");
}

// The partner's CPU (its link thread plus a 10 ms housekeeping loop), idle for
// 5 s and then with six 2 KB own files rewritten 30 times a second for 10 s, as
// {idle %, busy %} of one core.
static std::pair<double, double> LinkCpu(const std::string& root, bool old, int round, int others = 0,
                                         int sealed = -1)
{
    const std::string code =
        (old ? "PO" : others ? "PX" : sealed == 1 ? "PS" : sealed == 0 ? "PP" : "PN") + std::to_string(round);
    const std::string b = root + "/cpu-" + code;
    std::vector<std::string> args = {BuiltProgram("tools/kestrel-partner"), "link", "--role", "B", "--code", code,
                                     "--dir", b};
    if (old)
        args.push_back("--old-timing");
    SealBoth(args, sealed == 1);
    // The other side runs here, so the partner's files cross (and are sealed) too.
    if (sealed >= 0)
        StartPeerLink(1, code);
    const pid_t partner = StartProgram(args, root + "/cpu.log");
    std::this_thread::sleep_for(1000ms);
    const double c0 = CpuSeconds(partner);
    std::this_thread::sleep_for(5s);
    const double idle = (CpuSeconds(partner) - c0) / 5.0 * 100.0;
    const std::vector<std::string> own = ChannelFileNames(2);
    const double c1 = CpuSeconds(partner);
    const auto t1 = Clock::now();
    for (int v = 0; Clock::now() - t1 < 10s; v++) {
        for (const std::string& n : own)
            WriteInPlace(b + "/reframework/data/" + n, Version(2048, v));
        // Other scripts' files in the same folder, as busy as the own ones.
        for (int k = 0; k < others; k++)
            WriteInPlace(b + "/reframework/data/OtherScript_" + std::to_string(k) + ".json", Version(512, v));
        std::this_thread::sleep_until(t1 + std::chrono::microseconds(33333) * (v + 1));
    }
    const double busy = (CpuSeconds(partner) - c1) / 10.0 * 100.0;
    StopProgram(partner);
    if (sealed >= 0)
        StopLink();
    return {idle, busy};
}

// Sealed against plain in the same run, taken in turn: the partner's link CPU
// on the game-like load (six 2 KB files rewritten 30 times a second, received
// by this process's link), and file latency A->B.
static void SealFigures(const std::string& root)
{
    {
        // The seal alone: one chunk-sized datagram sealed and opened.
        SealSession a, b;
        const SealKeyPair ka = SeedSealKeyPair("bench-a"), kb = SeedSealKeyPair("bench-b");
        StartSealSession(a, ka, kb.pk_text, 'A');
        StartSealSession(b, kb, ka.pk_text, 'B');
        const std::string plain(1250, 'x');
        std::string sealed, opened;
        const int n = 100000;
        const auto t0 = Clock::now();
        for (int i = 0; i < n; i++) {
            SealDatagram(a, plain.data(), plain.size(), sealed);
            OpenDatagram(b, sealed.data(), sealed.size(), opened);
        }
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
        printf("seal + open of one 1250 B datagram: %.2f us\n", us);
    }
    std::vector<double> busy[2], idle[2];
    for (int round = 0; round < 3; round++)
        for (int sealed = 0; sealed < 2; sealed++) {
            const auto [i, b] = LinkCpu(root, false, round, 0, sealed);
            idle[sealed].push_back(i);
            busy[sealed].push_back(b);
        }
    for (int sealed = 0; sealed < 2; sealed++)
        printf("link CPU (one core), %s: idle %.2f %%, six 2 KB files changing 30/s %.2f %% (median of %.2f, %.2f, "
               "%.2f)\n",
               sealed ? "sealed" : "plain", Percentile(idle[sealed], 0.5), Percentile(busy[sealed], 0.5),
               busy[sealed][0], busy[sealed][1], busy[sealed][2]);
    for (int round = 0; round < 2; round++)
        for (int sealed = 0; sealed < 2; sealed++)
            Propagation(root, false, sealed, round);
    ForgetLinkKeys();
}

// Old and new taken in turn, three times each: the machine's load drifts by
// more than the difference between them.
static void LinkCpuFigures(const std::string& root)
{
    // [0] before, [1] change notices, [2] change notices with 50 other files
    // in the folder changing as often.
    std::vector<double> idle[3], busy[3];
    for (int round = 0; round < 3; round++)
        for (int k = 0; k < 3; k++) {
            const auto [i, b] = LinkCpu(root, k == 0, round, k == 2 ? 50 : 0);
            idle[k].push_back(i);
            busy[k].push_back(b);
        }
    const char* const how[3] = {"scan only (before)", "change notices", "change notices, 50 other files changing 30/s"};
    for (int k = 0; k < 3; k++)
        printf("link CPU (one core), %s: idle %.2f %%, six 2 KB files changing 30/s %.2f %% (median of %.2f, %.2f, "
               "%.2f)\n",
               how[k], Percentile(idle[k], 0.5), Percentile(busy[k], 0.5), busy[k][0], busy[k][1], busy[k][2]);
}

// ---------------------------------------------------------------------------

static int RawSocket()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&a, sizeof(a));
    return fd;
}

static sockaddr_in Addr(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

static uint16_t PortOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, (sockaddr*)&a, &len);
    return ntohs(a.sin_port);
}

static double EchoRttUs(int a, int b, const sockaddr_in& a_to, const sockaddr_in& b_to, int rounds)
{
    std::vector<double> us;
    char buf[2048];
    const std::string msg = "FILE:__ping___A.json\n1 1.0";
    for (int i = 0; i < rounds; i++) {
        const auto t0 = Clock::now();
        sendto(a, msg.data(), msg.size(), 0, (const sockaddr*)&a_to, sizeof(a_to));
        pollfd p{b, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            continue;
        const ssize_t n = recv(b, buf, sizeof(buf), 0);
        sendto(b, buf, (size_t)n, 0, (const sockaddr*)&b_to, sizeof(b_to));
        pollfd q{a, POLLIN, 0};
        if (poll(&q, 1, 1000) <= 0)
            continue;
        recv(a, buf, sizeof(buf), 0);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return Percentile(us, 0.5);
}

static void Register(int fd, const std::string& code, char letter)
{
    const sockaddr_in relay_addr = Addr(39000);
    const std::string hello = "HELLO " + code + " " + letter + "\n";
    sendto(fd, hello.data(), hello.size(), 0, (const sockaddr*)&relay_addr, sizeof(relay_addr));
}

// Counts what arrives on `fds` until `done`.
static std::thread Counter(const std::vector<int>& fds, std::atomic<long>& got, std::atomic<bool>& done)
{
    return std::thread([&got, &done, fds] {
        std::vector<pollfd> p;
        for (int fd : fds)
            p.push_back(pollfd{fd, POLLIN, 0});
        std::vector<char> buf(64 * 2048);
        std::vector<mmsghdr> m(64);
        std::vector<iovec> iov(64);
        while (!done.load()) {
            if (poll(p.data(), p.size(), 50) <= 0)
                continue;
            for (const pollfd& q : p) {
                if (!(q.revents & POLLIN))
                    continue;
                for (;;) {
                    for (int i = 0; i < 64; i++) {
                        iov[i] = iovec{buf.data() + i * 2048, 2048};
                        m[i].msg_hdr = msghdr{};
                        m[i].msg_hdr.msg_iov = &iov[i];
                        m[i].msg_hdr.msg_iovlen = 1;
                    }
                    const int n = recvmmsg(q.fd, m.data(), 64, MSG_DONTWAIT, nullptr);
                    if (n <= 0)
                        break;
                    got += n;
                }
            }
        }
    });
}

// Eight pairs flat out for 3 s, 16 datagrams per pair in a row: all of one
// size, or (`mixed`) each of another size, as a session's files are.
static void FlatOut(const std::string& label, pid_t relay, const std::string& d, bool mixed)
{
    const sockaddr_in relay_addr = Addr(39000);
    const int pairs = 8;
    std::vector<int> from, to;
    for (int i = 0; i < pairs; i++) {
        from.push_back(RawSocket());
        to.push_back(RawSocket());
        // Codes of their own: the first run's registrations are still live.
        const std::string code = (mixed ? "FM" : "FL") + std::to_string(i);
        Register(from.back(), code, 'A');
        Register(to.back(), code, 'B');
    }
    std::this_thread::sleep_for(100ms);
    std::atomic<long> got{0};
    std::atomic<bool> done{false};
    std::thread receiver = Counter(to, got, done);
    long sent = 0;
    const double c0 = CpuSeconds(relay), l0 = OwnCpuSeconds();
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < 3s)
        for (int i = 0; i < pairs; i++)
            for (int k = 0; k < 16; k++)
                sent += sendto(from[i], d.data(), mixed ? d.size() - 16 * (k % 2) - k : d.size(), MSG_DONTWAIT,
                               (const sockaddr*)&relay_addr, sizeof(relay_addr)) > 0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::this_thread::sleep_for(200ms);
    done.store(true);
    receiver.join();
    const double cpu = CpuSeconds(relay) - c0, load = OwnCpuSeconds() - l0;
    printf("relay %s: flat out, %d pairs, %s: %ld of %ld forwarded in %.2f s = %.0f/s; relay CPU %.2f s = %.0f per "
           "CPU-second; senders and receivers %.2f s\n",
           label.c_str(), pairs, mixed ? "sizes mixed" : "one size", got.load(), sent, wall, got.load() / wall, cpu,
           cpu > 0 ? got.load() / cpu : 0.0, load);
    for (int i = 0; i < pairs; i++) {
        close(from[i]);
        close(to[i]);
    }
}

static bool Stopped(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T';
}

static void Hold(pid_t pid)
{
    kill(pid, SIGSTOP);
    while (!Stopped(pid))
        std::this_thread::sleep_for(100us);
}

// Bytes queued at each of the relay's sockets, in inode order (/proc/net/udp).
static std::vector<long> RelayQueues()
{
    std::vector<std::pair<long, long>> by_inode;
    std::ifstream in("/proc/net/udp");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        long inode = 0;
        f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (local.size() > 5 && local.compare(local.size() - 5, 5, ":9858") == 0) // port 39000
            by_inode.push_back({inode, strtol(queues.substr(queues.find(':') + 1).c_str(), nullptr, 16)});
    }
    std::sort(by_inode.begin(), by_inode.end());
    std::vector<long> out;
    for (const auto& q : by_inode)
        out.push_back(q.second);
    return out;
}

// `count` sender sockets, as many on each of the relay's sockets, grouped by
// socket. The kernel picks a socket by a hash of the sender's address, which
// spreads thousands of clients evenly but can split 64 as 40 to 60; each
// candidate is placed by a probe sent while the relay is held (from no
// member, so the relay drops it).
static std::vector<std::vector<int>> EvenSenders(pid_t relay, int count)
{
    const sockaddr_in relay_addr = Addr(39000);
    Hold(relay);
    const size_t sockets = std::max<size_t>(1, RelayQueues().size());
    std::vector<std::vector<int>> placed(sockets);
    size_t total = 0;
    for (int tries = 0; total < (size_t)count && tries < count * 8; tries++) {
        const int fd = RawSocket();
        const std::vector<long> before = RelayQueues();
        sendto(fd, "probe", 5, 0, (const sockaddr*)&relay_addr, sizeof(relay_addr));
        const std::vector<long> after = RelayQueues();
        size_t k = 0;
        while (k < sockets && k < after.size() && k < before.size() && after[k] == before[k])
            k++;
        if (k < sockets && placed[k].size() < (size_t)count / sockets) {
            placed[k].push_back(fd);
            total++;
        } else {
            close(fd);
        }
    }
    kill(relay, SIGCONT);
    return placed;
}

struct DrainMember
{
    int from = -1, to = -1;
};

static void RegisterDrainMembers(const std::vector<DrainMember>& members)
{
    for (size_t i = 0; i < members.size(); i++) {
        Register(members[i].from, "DR" + std::to_string(i), 'A');
        Register(members[i].to, "DR" + std::to_string(i), 'B');
    }
    std::this_thread::sleep_for(100ms);
}

// One round: 6,000 datagrams from `members` queue up at the held relay, which
// is then let go; the kernel stamps each forwarded datagram on arrival and the
// last stamp ends the drain. Datagrams per second, 0 if none arrived.
static double DrainRound(pid_t relay, const std::vector<DrainMember>& members, const std::string& d, long& arrived)
{
    const sockaddr_in relay_addr = Addr(39000);
    Hold(relay);
    for (int i = 0; i < 6000; i++)
        sendto(members[i % members.size()].from, d.data(), d.size(), 0, (const sockaddr*)&relay_addr,
               sizeof(relay_addr));
    timespec start{};
    clock_gettime(CLOCK_REALTIME, &start);
    kill(relay, SIGCONT);
    std::this_thread::sleep_for(300ms);
    int64_t last_ns = 0;
    long got = 0;
    char buf[2048];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    for (const DrainMember& m : members)
        for (;;) {
            iovec v{buf, sizeof(buf)};
            msghdr h{};
            h.msg_iov = &v;
            h.msg_iovlen = 1;
            h.msg_control = control;
            h.msg_controllen = sizeof(control);
            if (recvmsg(m.to, &h, MSG_DONTWAIT) < 0)
                break;
            got++;
            for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec t{};
                    memcpy(&t, CMSG_DATA(c), sizeof(t));
                    last_ns = std::max<int64_t>(last_ns, t.tv_sec * 1000000000LL + t.tv_nsec);
                }
        }
    arrived += got;
    const double seconds = (last_ns - (start.tv_sec * 1000000000LL + start.tv_nsec)) / 1e9;
    return got > 0 && seconds > 0 ? got / seconds : 0;
}

// The relay's own forwarding rate, free of the load generator: on this
// two-core machine a generator running beside the relay needs more CPU per
// datagram than the relay does (see "senders and receivers" above), so it
// cannot load two workers; a held backlog can. With two or more workers,
// rounds from one worker's members only and from everyone's take turns, so
// the machine's drift falls on both alike. Median of 30 rounds each.
static void DrainFigures(const std::string& label, pid_t relay, const std::string& d)
{
    const std::vector<std::vector<int>> placed = EvenSenders(relay, 64);
    std::vector<DrainMember> all, first;
    for (size_t k = 0; k < placed.size(); k++)
        for (int fd : placed[k]) {
            DrainMember m{fd, RawSocket()};
            const int one = 1;
            setsockopt(m.to, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one));
            all.push_back(m);
            if (k == 0)
                first.push_back(m);
        }
    RegisterDrainMembers(all);
    const bool both = placed.size() > 1;
    std::vector<double> one_rates, all_rates;
    long arrived = 0, sent = 0;
    for (int round = 0; round < 30; round++) {
        if (round % 10 == 9)
            RegisterDrainMembers(all); // members that only receive expire after 15 s
        if (both) {
            one_rates.push_back(DrainRound(relay, first, d, arrived));
            sent += 6000;
        }
        all_rates.push_back(DrainRound(relay, all, d, arrived));
        sent += 6000;
    }
    printf("relay %s: drain of a held backlog (6,000 datagrams, %zu members): %.0f/s", label.c_str(), all.size(),
           Percentile(all_rates, 0.5));
    if (both)
        printf("; one worker's members only: %.0f/s; all workers %.2f times one", Percentile(one_rates, 0.5),
               Percentile(all_rates, 0.5) / Percentile(one_rates, 0.5));
    printf(" (%ld of %ld arrived)\n", arrived, sent);
    for (const DrainMember& m : all) {
        close(m.from);
        close(m.to);
    }
}

// The relay with `args` (before: one worker, one datagram per call): added
// latency, then forwarding paced as a busy session sends (one pair, 300,000
// datagrams in bursts of 64), then flat out.
static void RelayFigures(const std::string& label, std::vector<std::string> args)
{
    ServiceProcess service;
    args.push_back("--relay-open");
    if (!StartService(service, args)) {
        printf("service did not start: %s\n", service.output.c_str());
        return;
    }
    const pid_t relay = service.pid;
    const int a = RawSocket(), b = RawSocket();
    const sockaddr_in relay_addr = Addr(39000);
    Register(a, "RB", 'A');
    Register(b, "RB", 'B');
    std::this_thread::sleep_for(100ms);

    const double direct = EchoRttUs(a, b, Addr(PortOf(b)), Addr(PortOf(a)), 2000);
    const double relayed = EchoRttUs(a, b, relay_addr, relay_addr, 2000);
    printf("relay %s: added latency: round trip %.1f us direct, %.1f us relayed: %.1f us per crossing\n",
           label.c_str(), direct, relayed, (relayed - direct) / 2);

    const std::string d = "FILE:Kestrel_Packet_A.json\n" + std::string(200, 'x');
    {
        std::atomic<long> got{0};
        std::atomic<bool> done{false};
        std::thread receiver = Counter({b}, got, done);
        const long sent = 300000;
        const double c0 = CpuSeconds(relay);
        const auto t0 = Clock::now();
        for (long i = 0; i < sent; i++) {
            sendto(a, d.data(), d.size(), 0, (const sockaddr*)&relay_addr, sizeof(relay_addr));
            if (i % 64 == 63)
                std::this_thread::sleep_for(std::chrono::microseconds(100)); // stay under the buffers
        }
        std::this_thread::sleep_for(300ms);
        done.store(true);
        receiver.join();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count() - 0.3;
        const double cpu = CpuSeconds(relay) - c0;
        printf("relay %s: paced: %ld of %ld datagrams (227 B) in %.2f s = %.0f/s; relay CPU %.2f s = %.0f datagrams "
               "per CPU-second\n",
               label.c_str(), got.load(), sent, wall, got.load() / wall, cpu, cpu > 0 ? got.load() / cpu : 0.0);
    }
    FlatOut(label, relay, d, false);
    FlatOut(label, relay, d, true);
    DrainFigures(label, relay, d);
    close(a);
    close(b);
    StopService(service);
}

// ---------------------------------------------------------------------------

static void Delivery(double drop)
{
    ServiceProcess service;
    char rate[16];
    snprintf(rate, sizeof(rate), "%.2f", drop);
    if (!StartService(service, {"--relay-open", "--relay-drop", rate, "--relay-seed", "5"})) {
        printf("service did not start: %s\n", service.output.c_str());
        return;
    }
    RawPeer peer;
    StartRawPeer(peer, "D1", 'B');
    StartPeerLink(1, "D1");
    const std::vector<std::string> names = ChannelFileNames(1);
    int versions = 0;
    const auto end = Clock::now() + 15s;
    while (Clock::now() < end) {
        versions++;
        for (const std::string& n : names)
            WriteFileText("reframework/data/" + n, Version(200, versions));
        std::this_thread::sleep_for(135ms);
    }
    std::this_thread::sleep_for(300ms);
    StopRawPeer(peer);
    StopLink();
    StopService(service);
    std::set<std::pair<std::string, std::string>> arrived;
    for (const RawDatagram& d : RawPeerReceived(peer))
        arrived.insert({d.name, d.body});
    const int total = versions * (int)names.size();
    printf("delivery at %2.0f %% drop: %.3f %% of %d versions (three independent sends: %.3f %%)\n", drop * 100,
           100.0 * arrived.size() / total, total, 100.0 * (1 - drop * drop * drop));
}

// A partner B (kestrel-partner, optionally with the old framing) for this
// process's link A under `code`; returns its pid once both are linked.
// `mirror`: the partner writes back each version it receives as its own
// file, so files flow both ways as when both players' scripts write.
static pid_t LinkWithPartner(const std::string& root, const std::string& code, bool old_framing, bool mirror = false)
{
    std::vector<std::string> args = {BuiltProgram("tools/kestrel-partner"), "link", "--role", "B", "--code", code,
                                     "--dir", root + "/" + code};
    if (old_framing)
        args.push_back("--old-framing");
    if (mirror)
        args.push_back("--mirror");
    const pid_t partner = StartProgram(args, root + "/" + code + ".log");
    SetLinkCompactFraming(!old_framing);
    StartPeerLink(1, code);
    std::this_thread::sleep_for(2500ms); // pings have offered the framing both ways
    return partner;
}

static void EndLink(pid_t partner)
{
    StopLink();
    StopProgram(partner);
    SetLinkCompactFraming(true);
}

// One busy file at 60, 144, 240 Hz and flat out, closed each time and held open.
static void WriterRates(const std::string& root)
{
    int first = 1;
    const pid_t partner = LinkWithPartner(root, "WR", false);
    for (bool hold : {false, true})
        for (double hz : {60.0, 144.0, 240.0, 0.0}) {
            const WriterRateResult r = MeasureWriterRate("reframework/data/Kestrel_Joints_A.json",
                                                         root + "/WR/reframework/data/Kestrel_Joints_A.json", hz, hold,
                                                         4.0, first);
            first += r.writes + 10;
            PrintWriterRate("Linux", hz, hold, r);
        }
    EndLink(partner);
}

// The on-CPU time of this process's threads but the calling one: the link
// thread, while the calling thread writes the files.
static double OtherThreadsCpuSeconds(uint64_t* runs = nullptr)
{
    timespec own{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &own);
    uint64_t all = 0, mine = 0;
    const double cpu = CpuSeconds(getpid(), &all);
    std::ifstream in("/proc/thread-self/schedstat");
    double run = 0, waited = 0;
    in >> run >> waited >> mine;
    if (runs)
        *runs = all - mine;
    return cpu - (own.tv_sec + own.tv_nsec / 1e9);
}

// The game-like workload (tests/support/game_workload.h) at 30 Hz for 12 s:
// wire bytes out per raw file byte and the link thread's CPU. `two_way`: the
// partner's files come back as busy, and this link takes them in too.
static void GameWorkload(const std::string& root, pid_t relay, bool old_framing, bool two_way, int round, double& ratio,
                         double& cpu, double& wakes, double& path_cpu)
{
    const std::string code = std::string(old_framing ? "GO" : "GN") + (two_way ? "M" : "") + std::to_string(round);
    const pid_t partner = LinkWithPartner(root, code, old_framing, two_way);
    const std::vector<std::string> own = ChannelFileNames(1);
    uint64_t raw = 0, out0;
    {
        std::lock_guard<std::mutex> g(g_app.link.lock);
        out0 = g_app.link.out_bytes_total;
    }
    uint64_t runs0 = 0, runs1 = 0;
    const double p0 = CpuSeconds(relay) + CpuSeconds(partner);
    const double c0 = OtherThreadsCpuSeconds(&runs0);
    const auto t1 = Clock::now();
    int f = 0;
    for (; Clock::now() - t1 < 12s; f++) {
        for (size_t i = 0; i < own.size(); i++) {
            const std::string content = GameChannelFrame(i, f);
            if (content.empty())
                continue;
            WriteInPlace("reframework/data/" + own[i], content);
            raw += content.size();
        }
        std::this_thread::sleep_until(t1 + std::chrono::microseconds(33333) * (f + 1));
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t1).count();
    cpu = (OtherThreadsCpuSeconds(&runs1) - c0) / secs * 100.0;
    // The whole path: this link, the relay forwarding it, the partner taking it in.
    path_cpu = cpu + (CpuSeconds(relay) + CpuSeconds(partner) - p0) / secs * 100.0;
    wakes = (double)(runs1 - runs0) / secs;
    std::this_thread::sleep_for(500ms);
    StopLink(); // the last second's bytes are counted at the stop
    uint64_t out1;
    {
        std::lock_guard<std::mutex> g(g_app.link.lock);
        out1 = g_app.link.out_bytes_total;
    }
    ratio = (double)(out1 - out0) / (double)raw;
    printf("  game workload%s, %s framing, round %d: %.1f KB/s of files, %.1f KB/s on the wire out, ratio %.3f, "
           "link CPU %.2f %%, %.0f wake-ups/s, link + relay + partner CPU %.2f %%\n",
           two_way ? " both ways" : "", old_framing ? "old" : "compact", round, raw / secs / 1e3,
           (out1 - out0) / secs / 1e3, ratio, cpu, wakes, path_cpu);
    EndLink(partner);
}

static void GameFigures(const std::string& root, pid_t relay, bool two_way)
{
    const char* const how = two_way ? ", both ways" : "";
    std::vector<double> ratio[2], cpu[2], wakes[2], path[2];
    for (int round = 0; round < 3; round++)
        for (int k = 0; k < 2; k++) {
            double r = 0, c = 0, w = 0, p = 0;
            GameWorkload(root, relay, k == 0, two_way, round, r, c, w, p);
            ratio[k].push_back(r);
            cpu[k].push_back(c);
            wakes[k].push_back(w);
            path[k].push_back(p);
        }
    for (int k = 0; k < 2; k++)
        printf("game workload at 30 Hz%s, %s: wire bytes out / file bytes %.3f, link CPU %.2f %% of one core, "
               "%.0f wake-ups/s (medians of 3)\n",
               how, k == 0 ? "old framing (before)" : "compact framing", Percentile(ratio[k], 0.5),
               Percentile(cpu[k], 0.5), Percentile(wakes[k], 0.5));
    const auto paired = [](const std::vector<double>* v) {
        std::vector<double> r;
        for (size_t i = 0; i < v[0].size(); i++)
            r.push_back(v[0][i] > 0 ? v[1][i] / v[0][i] : 0);
        return Percentile(r, 0.5);
    };
    printf("game workload at 30 Hz%s: compact / old, link CPU %.2f, link + relay + partner CPU %.2f (%.2f %% against "
           "%.2f %%) (medians of the 3 rounds' own ratios)\n",
           how, paired(cpu), paired(path), Percentile(path[1], 0.5), Percentile(path[0], 0.5));
}

// Delivery between two real clients in the compact framing under drop: six
// channels rewritten every 135 ms for 15 s; for each write, the time until the
// partner holds it or a newer version, and any content that is no version.
static void CompactDelivery(const std::string& root, double drop)
{
    ServiceProcess service;
    char rate[16];
    snprintf(rate, sizeof(rate), "%.2f", drop);
    if (!StartService(service, {"--relay-open", "--relay-drop", rate, "--relay-seed", "7"})) {
        printf("service did not start: %s\n", service.output.c_str());
        return;
    }
    const std::string code = "CD" + std::to_string((int)(drop * 100));
    const std::vector<std::string> names = ChannelFileNames(1);
    // The part before left higher-numbered versions in the own files: sent
    // first, they would hide every version of this part at the partner.
    for (const std::string& n : names)
        fs::remove("reframework/data/" + n);
    const pid_t partner = LinkWithPartner(root, code, false);
    std::vector<std::vector<Clock::time_point>> wrote(names.size());
    std::vector<std::vector<double>> seen_after(names.size());
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::mutex m;
    std::thread watcher([&] {
        std::vector<int> newest(names.size(), 0);
        while (!stop.load()) {
            for (size_t i = 0; i < names.size(); i++) {
                const std::string s = ReadWhole(root + "/" + code + "/reframework/data/" + names[i]);
                if (s.empty())
                    continue;
                const int v = atoi(s.c_str() + 5);
                if (s != Version(200, v)) {
                    wrong++;
                    continue;
                }
                std::lock_guard<std::mutex> g(m);
                for (int k = newest[i] + 1; k <= v && k <= (int)wrote[i].size(); k++)
                    seen_after[i].push_back(std::chrono::duration<double>(Clock::now() - wrote[i][(size_t)k - 1]).count());
                newest[i] = std::max(newest[i], v);
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    int versions = 0;
    const auto end = Clock::now() + 15s;
    while (Clock::now() < end) {
        versions++;
        for (size_t i = 0; i < names.size(); i++) {
            {
                std::lock_guard<std::mutex> g(m);
                wrote[i].push_back(Clock::now());
            }
            WriteInPlace("reframework/data/" + names[i], Version(200, versions));
        }
        std::this_thread::sleep_for(135ms);
    }
    std::this_thread::sleep_for(1500ms);
    stop.store(true);
    watcher.join();
    int within = 0, total = versions * (int)names.size(), last_arrived = 0;
    for (size_t i = 0; i < names.size(); i++) {
        for (double s : seen_after[i])
            within += s <= 1.0 ? 1 : 0;
        last_arrived += (int)seen_after[i].size() == versions ? 1 : 0;
    }
    printf("compact delivery at %2.0f %% drop: %.3f %% of %d writes at the partner within 1 s (as themselves or "
           "newer), last versions %d/6 arrived, %d wrong contents\n",
           drop * 100, 100.0 * within / total, total, last_arrived, wrong.load());
    EndLink(partner);
    StopService(service);
}

int main(int argc, char** argv)
{
    // One part by name (files, cpu, seal, rates, game, relay, delivery), or all of them.
    const std::string only = argc > 1 ? argv[1] : "";
    const auto wanted = [&](const char* part) { return only.empty() || only == part; };
    const std::string root = MakeTempDir("kestrel-bench");
    fs::create_directories(root + "/a/reframework/data");
    fs::current_path(root + "/a");
    if (wanted("files") || wanted("cpu") || wanted("seal") || wanted("rates") || wanted("game")) {
        ServiceProcess service;
        if (!StartService(service, {"--relay-open"})) {
            printf("service did not start: %s\n", service.output.c_str());
            return 1;
        }
        if (wanted("files")) {
            Propagation(root, true);
            Propagation(root, false);
        }
        if (wanted("cpu"))
            LinkCpuFigures(root);
        if (wanted("seal"))
            SealFigures(root);
        if (wanted("rates"))
            WriterRates(root);
        if (wanted("game")) {
            GameFigures(root, service.pid, false);
            GameFigures(root, service.pid, true);
        }
        StopService(service);
    }
    if (wanted("relay")) {
        RelayFigures("before (1 worker, one datagram per call)", {"--relay-workers", "1", "--relay-batch", "1"});
        RelayFigures("batched, not segmented, 1 worker", {"--relay-workers", "1", "--relay-no-segment"});
        RelayFigures("batched, 1 worker", {"--relay-workers", "1"});
        RelayFigures("batched, 2 workers", {"--relay-workers", "2"});
    }
    if (wanted("delivery"))
        for (double drop : {0.05, 0.10, 0.20}) {
            Delivery(drop);
            CompactDelivery(root, drop);
        }
    fs::current_path("/");
    fs::remove_all(root);
    return 0;
}
