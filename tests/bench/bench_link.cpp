// Link figures over loopback, through the real relay (run it inside
// tests/netns-run): propagation time of a file from A to B, the link's CPU use
// idle and busy, the relay's forwarding rate and added latency, and file
// delivery under 5, 10 and 20 % drop against the 1 - p^3 of three sends.
#include "link/peer_link.h"
#include "raw_peer.h"
#include "service_process.h"
#include "state/app_state.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

static double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const size_t close = line.rfind(')');
    std::vector<std::string> f;
    std::string word;
    for (size_t i = close + 2; i <= line.size(); i++) {
        if (i == line.size() || line[i] == ' ') {
            f.push_back(word);
            word.clear();
        } else {
            word += line[i];
        }
    }
    // utime and stime are fields 14 and 15 of the file, 12 and 13 after ')'.
    return (atof(f[11].c_str()) + atof(f[12].c_str())) / (double)sysconf(_SC_CLK_TCK);
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

static std::string Version(size_t size, int v)
{
    std::string s = "{\"v\":" + std::to_string(v) + ",\"p\":\"";
    s.resize(size - 2, 'x');
    return s + "\"}";
}

// ---------------------------------------------------------------------------

// `old`: the 1/30 s scan alone (before change notices), measured in the same
// run for comparison.
static void Propagation(const std::string& root, bool old)
{
    const char* how = old ? "scan only (before)" : "change notices";
    const std::string b = root + (old ? "/prop-old-b" : "/prop-b");
    // A code per run: the relay keeps a live registration for 3 s.
    const char* code = old ? "P1" : "P3";
    const pid_t partner = StartProgram({BuiltProgram("tools/kestrel-partner"), "link", "--role", "B", "--code", code,
                                        "--dir", b},
                                       root + "/prop.log");
    SetLinkFileWatch(!old);
    StartPeerLink(1, code);
    std::this_thread::sleep_for(1500ms);
    const std::string target = b + "/reframework/data/Kestrel_Packet_A.json";
    std::vector<double> ms;
    for (int v = 1; v <= 300; v++) {
        const std::string content = Version(600, v);
        const auto t0 = Clock::now();
        WriteFileText("reframework/data/Kestrel_Packet_A.json", content);
        while (ReadFileText(target) != content && Clock::now() - t0 < 2s)
            std::this_thread::sleep_for(100us);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + v % 17)); // off the scan's beat
    }
    printf("propagation A->B, %s (600 B file, %zu writes): median %.1f ms, p99 %.1f ms, max %.1f ms\n", how,
           ms.size(), Percentile(ms, 0.5), Percentile(ms, 0.99), Percentile(ms, 1.0));
    StopLink();
    StopProgram(partner);
    SetLinkFileWatch(true);
}

// The partner's CPU: its link thread plus a 10 ms housekeeping loop.
static void LinkCpu(const std::string& root, bool old)
{
    const char* how = old ? "scan only (before)" : "change notices";
    const std::string b = root + (old ? "/cpu-old-b" : "/cpu-b");
    std::vector<std::string> args = {BuiltProgram("tools/kestrel-partner"), "link", "--role", "B", "--code", old ? "P2" : "P4",
                                     "--dir", b};
    if (old)
        args.push_back("--old-timing");
    const pid_t partner = StartProgram(args, root + "/cpu.log");
    std::this_thread::sleep_for(1000ms);
    const double c0 = CpuSeconds(partner);
    std::this_thread::sleep_for(10s);
    const double idle = (CpuSeconds(partner) - c0) / 10.0 * 100.0;
    const std::vector<std::string> own = ChannelFileNames(2);
    const double c1 = CpuSeconds(partner);
    const auto t1 = Clock::now();
    for (int v = 0; Clock::now() - t1 < 10s; v++) {
        for (const std::string& n : own)
            WriteFileText(b + "/reframework/data/" + n, Version(2048, v));
        std::this_thread::sleep_until(t1 + std::chrono::microseconds(33333) * (v + 1));
    }
    const double busy = (CpuSeconds(partner) - c1) / 10.0 * 100.0;
    printf("link CPU (one core), %s: idle %.2f %%, six 2 KB files changing 30/s %.2f %%\n", how, idle, busy);
    StopProgram(partner);
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

// The relay with `args` (before: one worker, one datagram per call): added
// latency, then forwarding paced as a busy session sends (one pair, 300,000
// datagrams in bursts of 64), then flat out from eight pairs for 3 s.
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
    {
        const int pairs = 8;
        std::vector<int> from, to;
        for (int i = 0; i < pairs; i++) {
            from.push_back(RawSocket());
            to.push_back(RawSocket());
            Register(from.back(), "FL" + std::to_string(i), 'A');
            Register(to.back(), "FL" + std::to_string(i), 'B');
        }
        std::this_thread::sleep_for(100ms);
        std::atomic<long> got{0};
        std::atomic<bool> done{false};
        std::thread receiver = Counter(to, got, done);
        long sent = 0;
        const double c0 = CpuSeconds(relay);
        const auto t0 = Clock::now();
        while (Clock::now() - t0 < 3s)
            for (int i = 0; i < pairs; i++)
                for (int k = 0; k < 16; k++)
                    sent += sendto(from[i], d.data(), d.size(), MSG_DONTWAIT, (const sockaddr*)&relay_addr,
                                   sizeof(relay_addr)) > 0;
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        std::this_thread::sleep_for(200ms);
        done.store(true);
        receiver.join();
        const double cpu = CpuSeconds(relay) - c0;
        printf("relay %s: flat out, %d pairs: %ld of %ld forwarded in %.2f s = %.0f/s; relay CPU %.2f s = %.0f per "
               "CPU-second\n",
               label.c_str(), pairs, got.load(), sent, wall, got.load() / wall, cpu, cpu > 0 ? got.load() / cpu : 0.0);
        for (int i = 0; i < pairs; i++) {
            close(from[i]);
            close(to[i]);
        }
    }
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

int main()
{
    const std::string root = MakeTempDir("kestrel-bench");
    fs::create_directories(root + "/a/reframework/data");
    fs::current_path(root + "/a");
    {
        ServiceProcess service;
        if (!StartService(service, {"--relay-open"})) {
            printf("service did not start: %s\n", service.output.c_str());
            return 1;
        }
        Propagation(root, true);
        Propagation(root, false);
        LinkCpu(root, true);
        LinkCpu(root, false);
        StopService(service);
    }
    RelayFigures("before (1 worker, one datagram per call)", {"--relay-workers", "1", "--relay-batch", "1"});
    RelayFigures("batched, 1 worker", {"--relay-workers", "1"});
    RelayFigures("batched, 2 workers", {"--relay-workers", "2"});
    for (double drop : {0.05, 0.10, 0.20})
        Delivery(drop);
    fs::current_path("/");
    fs::remove_all(root);
    return 0;
}
