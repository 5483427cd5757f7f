#include "relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

static const int kRelayPort = 39000;
static const size_t kMaxRooms = 4096;     // registrations are two per room at most
static const size_t kMaxDatagram = 65536;
static const size_t kMaxQueued = 100000;  // delayed datagrams held at once

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------

struct RelayMember
{
    bool set = false;
    sockaddr_in addr{};
    int64_t last_ns = 0;
};

struct RelayRoom
{
    RelayMember member[2]; // A, B
};

struct PendingDatagram
{
    int64_t due_ns;
    uint64_t order; // keeps equal due times in arrival order
    sockaddr_in to;
    std::string bytes;
    bool operator>(const PendingDatagram& o) const { return due_ns != o.due_ns ? due_ns > o.due_ns : order > o.order; }
};

struct Relay
{
    int fd = -1;
    ServiceOptions options;
    RelayHelloCheck check;
    std::atomic<bool> stop{false};
    std::thread thread;

    std::unordered_map<std::string, RelayRoom> rooms;
    std::unordered_map<uint64_t, std::pair<std::string, int>> by_addr; // address -> (code, member)

    std::mt19937_64 rng;
    std::priority_queue<PendingDatagram, std::vector<PendingDatagram>, std::greater<PendingDatagram>> queue;
    uint64_t order = 0;
    bool holding = false; // a reordered datagram waits for the next one
    PendingDatagram held{};
};

static int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static uint64_t AddrKey(const sockaddr_in& a)
{
    return ((uint64_t)ntohl(a.sin_addr.s_addr) << 16) | ntohs(a.sin_port);
}

static bool SameAddr(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// False unless the datagram is "HELLO " + code + " " + letter, optionally
// followed by a newline, with a code of 1 to 32 letters and digits and a letter
// of A or B.
static bool ParseHello(const char* data, size_t size, std::string& code, char& letter)
{
    if (size > 0 && data[size - 1] == '\n')
        size--;
    if (size < 9 || memcmp(data, "HELLO ", 6) != 0)
        return false;
    // "HELLO " code " " letter
    if (data[size - 2] != ' ')
        return false;
    letter = data[size - 1];
    if (letter != 'A' && letter != 'B')
        return false;
    const size_t code_len = size - 8;
    if (code_len < 1 || code_len > 32)
        return false;
    for (size_t i = 6; i < 6 + code_len; i++) {
        const char c = data[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    code.assign(data + 6, code_len);
    return true;
}

// ---------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------

static void Unregister(Relay& r, uint64_t key)
{
    auto it = r.by_addr.find(key);
    if (it == r.by_addr.end())
        return;
    auto room = r.rooms.find(it->second.first);
    if (room != r.rooms.end()) {
        room->second.member[it->second.second] = RelayMember{};
        if (!room->second.member[0].set && !room->second.member[1].set)
            r.rooms.erase(room);
    }
    r.by_addr.erase(it);
}

static void Register(Relay& r, const std::string& code, char letter, const sockaddr_in& from, int64_t now)
{
    const int slot = letter == 'A' ? 0 : 1;
    // A live member keeps its slot: anyone behind the same IP who knows the
    // code could otherwise divert its datagrams. A member whose NAT mapping
    // changed falls silent on the old address and gets through after a while.
    auto held = r.rooms.find(code);
    if (held != r.rooms.end()) {
        const RelayMember& m = held->second.member[slot];
        if (m.set && !SameAddr(m.addr, from) && now - m.last_ns < (int64_t)r.options.relay_takeover_s * 1000000000)
            return;
    }
    if (r.check && !r.check(code, letter, ntohl(from.sin_addr.s_addr)))
        return;
    const uint64_t key = AddrKey(from);
    auto known = r.by_addr.find(key);
    if (known != r.by_addr.end() && (known->second.first != code || known->second.second != slot))
        Unregister(r, key); // one registration per address
    if (r.rooms.find(code) == r.rooms.end() && r.rooms.size() >= kMaxRooms)
        return;
    RelayMember& m = r.rooms[code].member[slot];
    if (m.set && !SameAddr(m.addr, from))
        r.by_addr.erase(AddrKey(m.addr)); // the member moved after falling silent
    m.set = true;
    m.addr = from;
    m.last_ns = now;
    r.by_addr[key] = {code, slot};
}

static void Expire(Relay& r, int64_t now)
{
    const int64_t limit = (int64_t)r.options.relay_expire_s * 1000000000;
    std::vector<uint64_t> gone;
    for (auto& [code, room] : r.rooms)
        for (int i = 0; i < 2; i++) {
            const RelayMember& m = room.member[i];
            // Silent, or its room is no longer live: forwarding ends with the room.
            if (m.set && (now - m.last_ns > limit ||
                          (r.check && !r.check(code, i == 0 ? 'A' : 'B', ntohl(m.addr.sin_addr.s_addr)))))
                gone.push_back(AddrKey(m.addr));
        }
    for (uint64_t key : gone)
        Unregister(r, key);
}

// ---------------------------------------------------------------------------
// Forwarding, with the test-only faults
// ---------------------------------------------------------------------------

static void SendNow(Relay& r, const sockaddr_in& to, const std::string& bytes)
{
    sendto(r.fd, bytes.data(), bytes.size(), 0, (const sockaddr*)&to, sizeof(to));
}

static bool Chance(Relay& r, double p)
{
    return p > 0 && std::uniform_real_distribution<double>(0, 1)(r.rng) < p;
}

static void Schedule(Relay& r, const sockaddr_in& to, const char* data, size_t size, int64_t now)
{
    const RelayFaults& f = r.options.faults;
    if (Chance(r, f.drop))
        return;
    const int copies = Chance(r, f.duplicate) ? 2 : 1;
    for (int c = 0; c < copies; c++) {
        int64_t delay_ms = f.delay_ms;
        if (f.jitter_ms > 0)
            delay_ms += std::uniform_int_distribution<int>(0, f.jitter_ms)(r.rng);
        PendingDatagram d{now + delay_ms * 1000000, r.order++, to, std::string(data, size)};
        if (!r.holding && Chance(r, f.reorder)) {
            r.held = std::move(d); // goes out right after the next datagram
            r.holding = true;
            continue;
        }
        if (delay_ms == 0 && r.queue.empty())
            SendNow(r, d.to, d.bytes);
        else if (r.queue.size() < kMaxQueued)
            r.queue.push(std::move(d));
        if (r.holding) {
            r.held.due_ns = std::max(r.held.due_ns, now + delay_ms * 1000000);
            r.held.order = r.order++;
            if (r.held.due_ns <= now && r.queue.empty())
                SendNow(r, r.held.to, r.held.bytes);
            else
                r.queue.push(std::move(r.held));
            r.holding = false;
        }
    }
}

static void Forward(Relay& r, const sockaddr_in& from, const char* data, size_t size, int64_t now)
{
    auto it = r.by_addr.find(AddrKey(from));
    if (it == r.by_addr.end())
        return;
    auto room = r.rooms.find(it->second.first);
    if (room == r.rooms.end())
        return;
    room->second.member[it->second.second].last_ns = now;
    const RelayMember& other = room->second.member[1 - it->second.second];
    if (!other.set || SameAddr(other.addr, from))
        return;
    Schedule(r, other.addr, data, size, now);
}

static void FlushDue(Relay& r, int64_t now)
{
    while (!r.queue.empty() && r.queue.top().due_ns <= now) {
        SendNow(r, r.queue.top().to, r.queue.top().bytes);
        r.queue.pop();
    }
    // A held datagram with nothing behind it goes out after 50 ms anyway.
    if (r.holding && now - r.held.due_ns > 50000000) {
        SendNow(r, r.held.to, r.held.bytes);
        r.holding = false;
    }
}

static void RelayLoop(Relay* relay)
{
    Relay& r = *relay;
    std::vector<char> buf(kMaxDatagram);
    int64_t last_sweep = NowNs();
    while (!r.stop.load()) {
        int timeout_ms = 200;
        const int64_t now0 = NowNs();
        if (!r.queue.empty())
            timeout_ms = (int)std::max<int64_t>(0, std::min<int64_t>(timeout_ms, (r.queue.top().due_ns - now0) / 1000000));
        if (r.holding)
            timeout_ms = std::min(timeout_ms, 10);
        pollfd p{r.fd, POLLIN, 0};
        poll(&p, 1, timeout_ms);
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            const ssize_t n = recvfrom(r.fd, buf.data(), buf.size(), MSG_DONTWAIT, (sockaddr*)&from, &len);
            if (n < 0)
                break;
            const int64_t now = NowNs();
            std::string code;
            char letter = 0;
            if (ParseHello(buf.data(), (size_t)n, code, letter))
                Register(r, code, letter, from, now);
            else if (n > 0)
                Forward(r, from, buf.data(), (size_t)n, now);
        }
        const int64_t now = NowNs();
        FlushDue(r, now);
        if (now - last_sweep > 1000000000) {
            Expire(r, now);
            last_sweep = now;
        }
    }
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------

Relay* StartRelay(const ServiceOptions& options, std::string& error, RelayHelloCheck check)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kRelayPort);
    if (inet_pton(AF_INET, options.bind.c_str(), &addr.sin_addr) != 1) {
        error = "bad bind address " + options.bind;
        return nullptr;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        error = strerror(errno);
        return nullptr;
    }
    const int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    if (bind(fd, (const sockaddr*)&addr, sizeof(addr)) != 0) {
        error = "cannot bind UDP " + options.bind + ":" + std::to_string(kRelayPort) + ": " + strerror(errno);
        close(fd);
        return nullptr;
    }
    Relay* r = new Relay;
    r->fd = fd;
    r->options = options;
    r->check = std::move(check);
    r->rng.seed(options.faults.seed);
    r->thread = std::thread(RelayLoop, r);
    return r;
}

void StopRelay(Relay* relay)
{
    if (!relay)
        return;
    relay->stop.store(true);
    relay->thread.join();
    close(relay->fd);
    delete relay;
}
