// The service under slow and hostile peers, as figures: while 300 connections
// drip their request heads (one byte every 2 s) and 50 stay silent against each
// HTTP port, from other addresses, it times normal requests (sign-in, session,
// heartbeat, list) and keeps two players' room alive with heartbeats every 3 s;
// then, without the siege, a 50-thread mixed load with sign-ins hashing.
// Starts a real kestrel-service; run it through tests/netns-run (scripts/bench
// does). Not a test: it only prints figures.
#include "service_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t kAccount = 39001, kRoom = 39002;

double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One POST on a fresh connection, as the client makes it; "" when no whole
// 200 answer came within 10 s.
std::string Post(uint16_t port, const std::string& path, const std::string& body)
{
    const int fd = ConnectTcpFrom(port, "127.0.0.1");
    if (fd < 0)
        return "";
    const std::string req = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Kestrel/1.0\r\n"
                            "Content-Type: application/json\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[8192];
    const double until = NowMs() + 10000;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const double left = until - NowMs();
        if (left <= 0 || poll(&p, 1, (int)left) <= 0)
            break;
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
    }
    close(fd);
    const size_t head = got.find("\r\n\r\n");
    if (got.rfind("HTTP/1.1 200 ", 0) != 0 || head == std::string::npos)
        return "";
    return got.substr(head + 4);
}

std::string Member(const std::string& json, const char* key)
{
    const std::string k = std::string("\"") + key + "\":\"";
    const size_t at = json.find(k);
    if (at == std::string::npos)
        return "";
    const size_t end = json.find('"', at + k.size());
    return json.substr(at + k.size(), end - at - k.size());
}

struct Samples
{
    std::mutex lock;
    std::vector<double> ms;
    int failed = 0;
    void Add(double v, bool ok)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (ok)
            ms.push_back(v);
        else
            failed++;
    }
};

void Print(const char* what, Samples& s)
{
    std::sort(s.ms.begin(), s.ms.end());
    if (s.ms.empty()) {
        printf("%-40s no answers, %d failed\n", what, s.failed);
        return;
    }
    const auto at = [&](double q) { return s.ms[std::min(s.ms.size() - 1, (size_t)((double)s.ms.size() * q))]; };
    printf("%-40s n %5zu  p50 %8.2f ms  p99 %8.2f ms  max %8.2f ms  failed %d\n", what, s.ms.size(), at(0.5),
           at(0.99), s.ms.back(), s.failed);
}

bool Timed(Samples& s, uint16_t port, const std::string& path, const std::string& body, const char* must = "\"ok\":true")
{
    const double t0 = NowMs();
    const std::string reply = Post(port, path, body);
    const bool ok = reply.find(must) != std::string::npos;
    s.Add(NowMs() - t0, ok);
    return ok;
}

// ---------------------------------------------------------------------------
// The siege: slow heads and silent connections, reopened whenever the server
// sheds them, spread over source addresses 127.0.1.1-8.
// ---------------------------------------------------------------------------

struct Siege
{
    std::atomic<bool> stop{false};
    std::atomic<long> shed{0};
    std::thread thread;
};

struct Attacker
{
    int fd = -1;
    uint16_t port;
    bool slow;
    std::string from;
    double next_byte = 0;
};

void RunSiege(Siege* siege, int slow_per_port, int silent_per_port)
{
    std::vector<Attacker> all;
    int n = 0;
    for (uint16_t port : {kAccount, kRoom})
        for (int i = 0; i < slow_per_port + silent_per_port; i++, n++)
            all.push_back(Attacker{-1, port, i < slow_per_port, "127.0.1." + std::to_string(1 + n % 8), 0});
    std::vector<pollfd> polls;
    while (!siege->stop.load()) {
        const double now = NowMs();
        for (Attacker& a : all) {
            if (a.fd < 0) {
                a.fd = ConnectTcpFrom(a.port, a.from.c_str(), true);
                if (a.fd >= 0 && a.slow)
                    send(a.fd, "POST /list HTTP/1.1\r\n", 21, MSG_NOSIGNAL);
                a.next_byte = now + 2000;
            } else if (a.slow && now >= a.next_byte) {
                send(a.fd, "X", 1, MSG_NOSIGNAL);
                a.next_byte = now + 2000;
            }
        }
        polls.clear();
        for (Attacker& a : all)
            polls.push_back(pollfd{a.fd, POLLIN, 0});
        poll(polls.data(), polls.size(), 100);
        for (size_t i = 0; i < all.size(); i++) {
            if (all[i].fd >= 0 && (polls[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[512];
                if (recv(all[i].fd, buf, sizeof(buf), MSG_DONTWAIT) <= 0) {
                    close(all[i].fd);
                    all[i].fd = -1;
                    siege->shed++;
                }
            }
        }
    }
    for (Attacker& a : all)
        if (a.fd >= 0)
            close(a.fd);
}

std::string RoomBody(const char* name, const char* cid, const std::string& extra)
{
    return std::string("{\"gamertag\":\"") + name + "\",\"cid\":\"" + cid + "\"" + extra + "}";
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? atoi(argv[1]) : 30;
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);

    ServiceProcess service;
    if (!StartService(service)) {
        fprintf(stderr, "cannot start kestrel-service: %s\n", service.output.c_str());
        return 1;
    }
    const std::string password = "Siege#pass1";
    std::vector<std::string> tokens;
    for (int i = 0; i < 8; i++) {
        const std::string reply = Post(kAccount, "/signup",
                                       "{\"username\":\"siege" + std::to_string(i) + "\",\"password\":\"" + password +
                                           "\",\"email\":\"s" + std::to_string(i) + "@example.com\"}");
        tokens.push_back(Member(reply, "token"));
        if (tokens.back().empty()) {
            fprintf(stderr, "sign-up failed: %s\n", reply.c_str());
            StopService(service);
            return 1;
        }
    }
    const std::string code = Member(Post(kRoom, "/create", RoomBody("Ann", "a1", ",\"name\":\"Siege\"")), "code");
    Post(kRoom, "/join", RoomBody("Bob", "b2", ",\"code\":\"" + code + "\""));
    Post(kRoom, "/ready", RoomBody("Ann", "a1", ",\"code\":\"" + code + "\",\"ready\":true"));
    Post(kRoom, "/ready", RoomBody("Bob", "b2", ",\"code\":\"" + code + "\",\"ready\":true"));
    const std::string beat_a = RoomBody("Ann", "a1", ",\"code\":\"" + code + "\"");
    const std::string beat_b = RoomBody("Bob", "b2", ",\"code\":\"" + code + "\"");
    const std::string login = "{\"username\":\"siege0\",\"password\":\"" + password + "\"}";
    const std::string session = "{\"token\":\"" + tokens[0] + "\"}";

    // First phase: under siege.
    printf("== siege: 300 slow heads + 50 silent connections per HTTP port, %d s\n", seconds);
    Siege siege;
    siege.thread = std::thread(RunSiege, &siege, 300, 50);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    Samples sign_in, sess, beat, list, players;
    std::atomic<bool> done{false};
    std::atomic<int> room_lost{0};
    std::thread pair([&] {
        while (!done.load()) {
            for (const std::string* b : {&beat_a, &beat_b}) {
                const bool ok = Timed(players, kRoom, "/heartbeat", *b, "\"started\":true");
                room_lost += ok ? 0 : 1;
            }
            std::this_thread::sleep_for(std::chrono::seconds(3));
        }
    });
    const double end = NowMs() + seconds * 1000.0;
    while (NowMs() < end) {
        Timed(sign_in, kAccount, "/login", login);
        for (int i = 0; i < 10; i++) {
            Timed(sess, kAccount, "/session", session);
            Timed(beat, kRoom, "/heartbeat", beat_a);
            Timed(list, kRoom, "/list", "{}");
        }
    }
    done.store(true);
    pair.join();
    siege.stop.store(true);
    siege.thread.join();
    Print("sign-in (/login, hashing)", sign_in);
    Print("/session", sess);
    Print("/heartbeat", beat);
    Print("/list", list);
    Print("linked pair's heartbeats", players);
    printf("%-40s %s (%d beats without the room)\n", "room kept", room_lost.load() == 0 ? "yes" : "NO",
           room_lost.load());
    printf("%-40s %ld\n", "siege connections shed by the server", siege.shed.load());

    // Second phase: 50 threads, mixed, sign-ins hashing all along.
    printf("== mixed load: 50 threads (10 sign-in, 20 session, 20 room), %d s\n", seconds / 2);
    Samples m_sign_in, m_sess, m_room;
    std::vector<std::thread> threads;
    const double m_end = NowMs() + seconds * 500.0;
    for (int t = 0; t < 50; t++)
        threads.emplace_back([&, t] {
            while (NowMs() < m_end) {
                if (t < 10)
                    Timed(m_sign_in, kAccount, "/login",
                          "{\"username\":\"siege" + std::to_string(t % 8) + "\",\"password\":\"" + password + "\"}");
                else if (t < 30)
                    Timed(m_sess, kAccount, "/session", "{\"token\":\"" + tokens[t % 8] + "\"}");
                else if (t % 2)
                    Timed(m_room, kRoom, "/heartbeat", t % 4 == 1 ? beat_a : beat_b);
                else
                    Timed(m_room, kRoom, "/list", "{}");
            }
        });
    for (std::thread& t : threads)
        t.join();
    Print("sign-in (/login, hashing)", m_sign_in);
    Print("/session", m_sess);
    Print("room (/heartbeat, /list)", m_room);
    StopService(service);
    return 0;
}
