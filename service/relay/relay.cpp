#include "relay/relay.h"

#include "metrics/metrics.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <vector>

static const int kRelayPort = 39000;
static const size_t kMaxRooms = 4096;     // registrations are two per room at most
static const size_t kMaxDatagram = 65536;
// Receive slots start 17 cache lines past a multiple of 64 KB: slots exactly
// 64 KB apart share cache sets, and a batch's first bytes evicted each other.
static const size_t kSlotStride = kMaxDatagram + 17 * 64;
static const size_t kMaxQueued = 100000;  // delayed datagrams held at once, per worker
static const int64_t kSecondNs = 1000000000;
static const size_t kMaxSegments = 64;      // the system's limit for one segmented send
static const size_t kMaxSegmentBytes = 1472; // fits a 1500-byte MTU, the usual path
static const size_t kMaxRunBytes = 65000;   // one segmented send stays one UDP payload
// Longest a worker keeps receiving before it looks at its other duties (stop,
// delayed datagrams, the sweep): a flood keeps every batch full.
static const int64_t kReceiveTurnNs = 5000000;
static const size_t kMaxPendingHellos = 256;      // per worker, waiting on a lookup
static const int64_t kPendingHelloNs = 3000000000; // then refused; the client's next HELLO tries again

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------

struct RelayMember
{
    bool set = false;
    sockaddr_in addr{};
    uint64_t seat = 0; // the room member's seat when it registered
    // Written by every worker under the shared lock, so atomic.
    std::atomic<int64_t> last_ns{0};
    std::atomic<bool> direct{false}; // its latest path report
};

struct RelayRoom
{
    RelayMember member[2]; // A, B
    // A report of "direct" was counted for this pair of registrations.
    std::atomic<bool> direct_counted{false};
};

// A PEER datagram to send once the table's exclusive lock is let go.
struct Introduction
{
    sockaddr_in to;
    std::string text;
};

struct PendingDatagram
{
    int64_t due_ns;
    uint64_t order; // keeps equal due times in arrival order
    sockaddr_in to;
    std::string bytes;
    bool operator>(const PendingDatagram& o) const { return due_ns != o.due_ns ? due_ns > o.due_ns : order > o.order; }
};

union RunControl
{
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(uint16_t))];
};

// One per core: its own socket on the shared port (the kernel keeps each
// client address on one socket), its own batches and its own fault state.
// A HELLO whose room is being looked up, asked again on the worker's next turns.
struct PendingHello
{
    std::string code;
    char letter;
    sockaddr_in from;
    int64_t since_ns;
};

struct RelayWorker
{
    int fd = -1;
    std::vector<PendingHello> pending;
    std::thread thread;

    std::vector<mmsghdr> in;
    std::vector<iovec> in_iov;
    std::vector<sockaddr_in> in_from;
    std::vector<char> in_buf;

    std::vector<mmsghdr> out;
    std::vector<iovec> out_iov;
    std::vector<sockaddr_in> out_to;
    std::deque<std::string> out_keep; // bytes of queued datagrams until their batch is sent

    // Runs of the out batch sent as one segmented datagram each.
    bool segmenting = true;
    int64_t segmenting_failed_ns = 0;
    std::vector<mmsghdr> runs;
    std::vector<size_t> run_first; // index in `out` of each run's first datagram
    std::vector<RunControl> run_control;

    // Counters only this worker writes; the metrics page reads them.
    std::atomic<uint64_t> forwarded{0}, forwarded_bytes{0}, dropped_unregistered{0}, dropped_no_partner{0},
        dropped_fault{0}, dropped_queue_full{0}, dropped_send_error{0}, hellos_registered{0}, hellos_refused{0},
        introductions{0}, direct_sessions{0};
    std::vector<Introduction> introduce; // due, filled under the exclusive lock

    std::mt19937_64 rng;
    std::priority_queue<PendingDatagram, std::vector<PendingDatagram>, std::greater<PendingDatagram>> queue;
    uint64_t order = 0;
    bool holding = false; // a reordered datagram waits for the next one
    PendingDatagram held{};
};

// The registration table is shared by every worker: the two members of a room
// may well land on different sockets. Forwarding reads it under the shared
// lock; HELLOs and the sweep change it under the exclusive one.
struct Relay
{
    ServiceOptions options;
    RelayHelloCheck check;
    RelayRefusalNote refused;
    std::atomic<bool> stop{false};
    size_t batch = 1;
    std::vector<RelayWorker*> workers;

    std::shared_mutex table;
    std::unordered_map<std::string, RelayRoom> rooms;
    std::unordered_map<uint64_t, std::pair<std::string, int>> by_addr; // address -> (code, member)
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

static void ClearMember(RelayMember& m)
{
    m.set = false;
    m.addr = sockaddr_in{};
    m.seat = 0;
    m.last_ns.store(0, std::memory_order_relaxed);
    m.direct.store(false, std::memory_order_relaxed);
}

static std::string PeerText(const sockaddr_in& a)
{
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof(ip));
    return "PEER " + std::string(ip) + ":" + std::to_string(ntohs(a.sin_port)) + "\n";
}

// "PATH " + code + " " + letter + " direct" or " relay", optionally followed
// by a newline: a member's report of the path its link uses.
static bool ParsePath(const char* data, size_t size, std::string& code, char& letter, bool& direct)
{
    if (size > 0 && data[size - 1] == '\n')
        size--;
    if (size < 5 || memcmp(data, "PATH ", 5) != 0)
        return false;
    const std::string text(data + 5, size - 5);
    const size_t space = text.find(' ');
    if (space == std::string::npos || space == 0 || space > 32 || text.size() < space + 3 || text[space + 2] != ' ')
        return false;
    code = text.substr(0, space);
    letter = text[space + 1];
    const std::string path = text.substr(space + 3);
    if ((letter != 'A' && letter != 'B') || (path != "direct" && path != "relay"))
        return false;
    direct = path == "direct";
    return true;
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
// Registration (exclusive lock held)
// ---------------------------------------------------------------------------

static void Unregister(Relay& r, uint64_t key)
{
    auto it = r.by_addr.find(key);
    if (it == r.by_addr.end())
        return;
    auto room = r.rooms.find(it->second.first);
    if (room != r.rooms.end()) {
        ClearMember(room->second.member[it->second.second]);
        if (!room->second.member[0].set && !room->second.member[1].set)
            r.rooms.erase(room);
    }
    r.by_addr.erase(it);
}

// On success with the partner registered, the introductions due go to `w`:
// the partner's address to this member (the answer to its HELLO), and this
// member's to the partner when the pair is new or this member moved.
static int Register(Relay& r, RelayWorker& w, const std::string& code, char letter, const sockaddr_in& from, int64_t now)
{
    const int slot = letter == 'A' ? 0 : 1;
    // A live member keeps its slot: anyone behind the same IP who knows the
    // code could otherwise divert its datagrams. A member whose NAT mapping
    // changed falls silent on the old address and gets through after a while.
    // A member the room port saw come back (by its client id) is a new seat:
    // its old address is free at once.
    uint64_t seat = 0;
    if (r.check) {
        const int verdict = r.check(code, letter, ntohl(from.sin_addr.s_addr), seat);
        if (verdict == kHelloNo && r.refused)
            r.refused(code, letter, ntohl(from.sin_addr.s_addr));
        if (verdict != kHelloYes)
            return verdict;
    }
    auto held = r.rooms.find(code);
    if (held != r.rooms.end()) {
        const RelayMember& m = held->second.member[slot];
        if (m.set && !SameAddr(m.addr, from) && m.seat == seat &&
            now - m.last_ns.load(std::memory_order_relaxed) < (int64_t)r.options.relay_takeover_s * kSecondNs)
            return kHelloNo;
    }
    const uint64_t key = AddrKey(from);
    auto known = r.by_addr.find(key);
    if (known != r.by_addr.end() && (known->second.first != code || known->second.second != slot))
        Unregister(r, key); // one registration per address
    if (r.rooms.find(code) == r.rooms.end() && r.rooms.size() >= kMaxRooms)
        return kHelloNo;
    RelayRoom& room = r.rooms[code];
    RelayMember& m = room.member[slot];
    if (m.set && !SameAddr(m.addr, from))
        r.by_addr.erase(AddrKey(m.addr)); // the member moved after falling silent
    const bool moved = !m.set || !SameAddr(m.addr, from);
    if (moved) {
        // A new pair of addresses: whatever path the old pair used is gone.
        room.member[0].direct.store(false, std::memory_order_relaxed);
        room.member[1].direct.store(false, std::memory_order_relaxed);
        room.direct_counted.store(false, std::memory_order_relaxed);
    }
    const RelayMember& other = room.member[1 - slot];
    if (r.options.relay_introduce && other.set && !SameAddr(other.addr, from)) {
        w.introduce.push_back(Introduction{from, PeerText(other.addr)});
        if (moved)
            w.introduce.push_back(Introduction{other.addr, PeerText(from)});
    }
    m.set = true;
    m.addr = from;
    m.seat = seat;
    m.last_ns.store(now, std::memory_order_relaxed);
    r.by_addr[key] = {code, slot};
    return kHelloYes;
}

static void Expire(Relay& r, int64_t now)
{
    const int64_t limit = (int64_t)r.options.relay_expire_s * kSecondNs;
    std::vector<uint64_t> gone;
    for (auto& [code, room] : r.rooms)
        for (int i = 0; i < 2; i++) {
            const RelayMember& m = room.member[i];
            uint64_t seat = 0;
            // Silent, or its room is no longer live: forwarding ends with the room.
            // A room still being looked up keeps its members this turn.
            if (m.set && (now - m.last_ns.load(std::memory_order_relaxed) > limit ||
                          (r.check && r.check(code, i == 0 ? 'A' : 'B', ntohl(m.addr.sin_addr.s_addr), seat) == kHelloNo)))
                gone.push_back(AddrKey(m.addr));
        }
    for (uint64_t key : gone)
        Unregister(r, key);
}

// ---------------------------------------------------------------------------
// Sending in batches
// ---------------------------------------------------------------------------

static void SendEach(RelayWorker& w, size_t first, size_t count)
{
    size_t at = 0;
    while (at < count) {
        const int n = sendmmsg(w.fd, w.out.data() + first + at, (unsigned)(count - at), 0);
        // A datagram the system refuses is dropped, as a lone send error was.
        if (n <= 0)
            AddOwn(w.dropped_send_error, 1);
        at += n > 0 ? (size_t)n : 1;
    }
}

// Datagrams from `i` on that can leave as one segmented send: one address,
// all of the first one's size but the last, which may be shorter (a file's
// chunks, a member's burst).
static size_t RunLength(const RelayWorker& w, size_t i)
{
    const size_t size = w.out_iov[i].iov_len;
    if (!w.segmenting || size > kMaxSegmentBytes)
        return 1;
    size_t j = i + 1, bytes = size;
    while (j < w.out.size() && j - i < kMaxSegments && SameAddr(w.out_to[j], w.out_to[i])) {
        const size_t next = w.out_iov[j].iov_len;
        if (next > size || bytes + next > kMaxRunBytes)
            break;
        bytes += next;
        j++;
        if (next < size)
            break;
    }
    return j - i;
}

// The system's send path (route, headers, device) then runs once per run
// instead of once per datagram; the wire carries the same datagrams.
static void SendRuns(RelayWorker& w)
{
    w.runs.clear();
    w.run_first.clear();
    for (size_t i = 0; i < w.out.size();) {
        const size_t n = RunLength(w, i);
        mmsghdr m{};
        m.msg_hdr = w.out[i].msg_hdr;
        if (n > 1) {
            m.msg_hdr.msg_iovlen = n; // out_iov holds the run's iovecs side by side
            m.msg_hdr.msg_control = w.run_control[w.runs.size()].bytes;
            m.msg_hdr.msg_controllen = sizeof(RunControl::bytes);
            cmsghdr* c = CMSG_FIRSTHDR(&m.msg_hdr);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            const uint16_t segment = (uint16_t)w.out_iov[i].iov_len;
            memcpy(CMSG_DATA(c), &segment, sizeof(segment));
        }
        w.runs.push_back(m);
        w.run_first.push_back(i);
        i += n;
    }
    size_t at = 0;
    while (at < w.runs.size()) {
        const int n = sendmmsg(w.fd, w.runs.data() + at, (unsigned)(w.runs.size() - at), 0);
        if (n > 0) {
            at += (size_t)n;
            continue;
        }
        if (w.runs[at].msg_hdr.msg_iovlen > 1) {
            // No segmentation on this system or route (old kernel, smaller
            // MTU, no checksum offload): this run and, for a while, all
            // later ones go one datagram per message.
            w.segmenting = false;
            w.segmenting_failed_ns = NowNs();
            SendEach(w, w.run_first[at], w.runs[at].msg_hdr.msg_iovlen);
        }
        at++;
    }
}

static void FlushOut(RelayWorker& w)
{
    if (w.segmenting)
        SendRuns(w);
    else
        SendEach(w, 0, w.out.size());
    w.out.clear();
    w.out_iov.clear();
    w.out_to.clear();
    w.out_keep.clear();
}

// `data` must stay put until the batch is sent: a receive slot of this batch
// or a string in out_keep.
static void SendNow(Relay& r, RelayWorker& w, const sockaddr_in& to, const char* data, size_t size)
{
    if (w.out.size() >= r.batch)
        FlushOut(w);
    // Reserved for a whole batch, so these never move while headers point in.
    w.out_to.push_back(to);
    w.out_iov.push_back(iovec{(void*)data, size});
    w.out.push_back(mmsghdr{});
    msghdr& h = w.out.back().msg_hdr;
    h.msg_name = &w.out_to.back();
    h.msg_namelen = sizeof(sockaddr_in);
    h.msg_iov = &w.out_iov.back();
    h.msg_iovlen = 1;
}

static void SendKept(Relay& r, RelayWorker& w, const sockaddr_in& to, std::string bytes)
{
    // A full batch goes first: sending it clears out_keep, these bytes too.
    if (w.out.size() >= r.batch)
        FlushOut(w);
    w.out_keep.push_back(std::move(bytes));
    SendNow(r, w, to, w.out_keep.back().data(), w.out_keep.back().size());
}

// ---------------------------------------------------------------------------
// Forwarding, with the test-only faults
// ---------------------------------------------------------------------------

static bool Chance(RelayWorker& w, double p)
{
    return p > 0 && std::uniform_real_distribution<double>(0, 1)(w.rng) < p;
}

static void Schedule(Relay& r, RelayWorker& w, const sockaddr_in& to, const char* data, size_t size, int64_t now)
{
    const RelayFaults& f = r.options.faults;
    if (!f.drop && !f.duplicate && !f.reorder && !f.delay_ms && !f.jitter_ms) {
        SendNow(r, w, to, data, size); // no copy on the common path
        return;
    }
    if (Chance(w, f.drop)) {
        AddOwn(w.dropped_fault, 1);
        return;
    }
    const int copies = Chance(w, f.duplicate) ? 2 : 1;
    for (int c = 0; c < copies; c++) {
        int64_t delay_ms = f.delay_ms;
        if (f.jitter_ms > 0)
            delay_ms += std::uniform_int_distribution<int>(0, f.jitter_ms)(w.rng);
        PendingDatagram d{now + delay_ms * 1000000, w.order++, to, std::string(data, size)};
        if (!w.holding && Chance(w, f.reorder)) {
            w.held = std::move(d); // goes out right after the next datagram
            w.holding = true;
            continue;
        }
        if (delay_ms == 0 && w.queue.empty())
            SendKept(r, w, d.to, std::move(d.bytes));
        else if (w.queue.size() < kMaxQueued)
            w.queue.push(std::move(d));
        else
            AddOwn(w.dropped_queue_full, 1);
        if (w.holding) {
            w.held.due_ns = std::max(w.held.due_ns, now + delay_ms * 1000000);
            w.held.order = w.order++;
            if (w.held.due_ns <= now && w.queue.empty())
                SendKept(r, w, w.held.to, std::move(w.held.bytes));
            else
                w.queue.push(std::move(w.held));
            w.holding = false;
        }
    }
}

// Shared lock held.
static void Forward(Relay& r, RelayWorker& w, const sockaddr_in& from, const char* data, size_t size, int64_t now)
{
    auto it = r.by_addr.find(AddrKey(from));
    auto room = it == r.by_addr.end() ? r.rooms.end() : r.rooms.find(it->second.first);
    if (room == r.rooms.end()) {
        AddOwn(w.dropped_unregistered, 1);
        return;
    }
    room->second.member[it->second.second].last_ns.store(now, std::memory_order_relaxed);
    const RelayMember& other = room->second.member[1 - it->second.second];
    if (!other.set || SameAddr(other.addr, from)) {
        AddOwn(w.dropped_no_partner, 1);
        return;
    }
    AddOwn(w.forwarded, 1);
    AddOwn(w.forwarded_bytes, size);
    Schedule(r, w, other.addr, data, size, now);
}

// Exclusive lock let go: introductions leave with the worker's next batch,
// like forwarded datagrams, so no one waits on a send under the lock.
static void SendIntroductions(Relay& r, RelayWorker& w)
{
    for (Introduction& i : w.introduce)
        SendKept(r, w, i.to, std::move(i.text));
    AddOwn(w.introductions, w.introduce.size());
    w.introduce.clear();
}

// Shared lock held. Taken only from the registered address of that member;
// never forwarded either way.
static void NotePath(Relay& r, RelayWorker& w, const sockaddr_in& from, const std::string& code, char letter,
                     bool direct)
{
    auto it = r.by_addr.find(AddrKey(from));
    auto room = it == r.by_addr.end() || it->second.first != code ? r.rooms.end() : r.rooms.find(code);
    if (room == r.rooms.end() || it->second.second != (letter == 'A' ? 0 : 1)) {
        AddOwn(w.dropped_unregistered, 1);
        return;
    }
    room->second.member[it->second.second].direct.store(direct, std::memory_order_relaxed);
    if (direct && !room->second.direct_counted.exchange(true))
        AddOwn(w.direct_sessions, 1);
}

static void FlushDue(Relay& r, RelayWorker& w, int64_t now)
{
    while (!w.queue.empty() && w.queue.top().due_ns <= now) {
        // top() is const: copy the bytes out before popping.
        SendKept(r, w, w.queue.top().to, w.queue.top().bytes);
        w.queue.pop();
    }
    // A held datagram with nothing behind it goes out after 50 ms anyway.
    if (w.holding && now - w.held.due_ns > 50000000) {
        SendKept(r, w, w.held.to, std::move(w.held.bytes));
        w.holding = false;
    }
}

// ---------------------------------------------------------------------------
// Workers
// ---------------------------------------------------------------------------

static void PrepareBatches(Relay& r, RelayWorker& w)
{
    w.in.assign(r.batch, mmsghdr{});
    w.in_iov.resize(r.batch);
    w.in_from.resize(r.batch);
    w.in_buf.resize(r.batch * kSlotStride);
    w.out.reserve(r.batch);
    w.out_iov.reserve(r.batch);
    w.out_to.reserve(r.batch);
    w.runs.reserve(r.batch);
    w.run_first.reserve(r.batch);
    w.run_control.resize(r.batch);
}

static void HandleBatch(Relay& r, RelayWorker& w, int count)
{
    const int64_t now = NowNs();
    std::shared_lock<std::shared_mutex> shared(r.table);
    for (int i = 0; i < count; i++) {
        const char* data = (const char*)w.in_iov[i].iov_base;
        const size_t n = w.in[i].msg_len;
        std::string code;
        char letter = 0;
        if (ParseHello(data, n, code, letter)) {
            // Rare (one a second per client): the exclusive lock, in arrival
            // order, so a HELLO counts for the datagrams behind it.
            shared.unlock();
            int verdict;
            {
                std::unique_lock<std::shared_mutex> exclusive(r.table);
                verdict = Register(r, w, code, letter, w.in_from[i], now);
            }
            SendIntroductions(r, w);
            shared.lock();
            if (verdict == kHelloLater) {
                if (w.pending.size() >= kMaxPendingHellos) {
                    w.pending.erase(w.pending.begin());
                    AddOwn(w.hellos_refused, 1);
                }
                w.pending.push_back(PendingHello{code, letter, w.in_from[i], now});
            } else {
                AddOwn(verdict == kHelloYes ? w.hellos_registered : w.hellos_refused, 1);
            }
        } else if (bool direct; ParsePath(data, n, code, letter, direct)) {
            NotePath(r, w, w.in_from[i], code, letter, direct);
        } else if (n > 0) {
            Forward(r, w, w.in_from[i], data, n, now);
        }
    }
}

// HELLOs whose room was being looked up: registered once the answer is in.
static void RetryPending(Relay& r, RelayWorker& w, int64_t now)
{
    if (w.pending.empty())
        return;
    {
        std::unique_lock<std::shared_mutex> exclusive(r.table);
        std::vector<PendingHello> still;
        for (PendingHello& h : w.pending) {
            const int verdict = Register(r, w, h.code, h.letter, h.from, now);
            if (verdict == kHelloLater && now - h.since_ns < kPendingHelloNs)
                still.push_back(std::move(h));
            else
                AddOwn(verdict == kHelloYes ? w.hellos_registered : w.hellos_refused, 1);
        }
        w.pending.swap(still);
    }
    SendIntroductions(r, w);
    FlushOut(w);
}

static void WorkerLoop(Relay* relay, RelayWorker* worker, bool sweeps)
{
    Relay& r = *relay;
    RelayWorker& w = *worker;
    PrepareBatches(r, w);
    int64_t last_sweep = NowNs();
    while (!r.stop.load()) {
        int timeout_ms = 200;
        const int64_t now0 = NowNs();
        if (!w.queue.empty())
            timeout_ms = (int)std::max<int64_t>(0, std::min<int64_t>(timeout_ms, (w.queue.top().due_ns - now0) / 1000000));
        if (w.holding || !w.pending.empty())
            timeout_ms = std::min(timeout_ms, 10);
        pollfd p{w.fd, POLLIN, 0};
        poll(&p, 1, timeout_ms);
        const int64_t turn_end = NowNs() + kReceiveTurnNs;
        for (;;) {
            for (size_t i = 0; i < r.batch; i++) {
                w.in_iov[i] = iovec{w.in_buf.data() + i * kSlotStride, kMaxDatagram};
                msghdr& h = w.in[i].msg_hdr;
                h = msghdr{};
                h.msg_name = &w.in_from[i];
                h.msg_namelen = sizeof(sockaddr_in);
                h.msg_iov = &w.in_iov[i];
                h.msg_iovlen = 1;
            }
            const int got = recvmmsg(w.fd, w.in.data(), (unsigned)r.batch, MSG_DONTWAIT, nullptr);
            if (got <= 0)
                break;
            HandleBatch(r, w, got);
            FlushOut(w); // before the receive slots are reused
            if ((size_t)got < r.batch || NowNs() > turn_end)
                break;
        }
        const int64_t now = NowNs();
        if (!w.segmenting && r.options.relay_segment && now - w.segmenting_failed_ns > 10 * kSecondNs)
            w.segmenting = true; // a route's MTU may have grown back
        FlushDue(r, w, now);
        FlushOut(w);
        RetryPending(r, w, now);
        if (sweeps && now - last_sweep > kSecondNs) {
            std::unique_lock<std::shared_mutex> exclusive(r.table);
            Expire(r, now);
            last_sweep = now;
        }
    }
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------

static int OpenSocket(const sockaddr_in& addr, bool shared, std::string& error)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        error = strerror(errno);
        return -1;
    }
    const int size = 4 << 20, one = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    if (shared)
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one));
    if (bind(fd, (const sockaddr*)&addr, sizeof(addr)) != 0) {
        error = "cannot bind UDP " + std::string(inet_ntoa(addr.sin_addr)) + ":" + std::to_string(kRelayPort) + ": " +
                strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

Relay* StartRelay(const ServiceOptions& options, std::string& error, RelayHelloCheck check, RelayRefusalNote refused)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kRelayPort);
    if (inet_pton(AF_INET, options.bind.c_str(), &addr.sin_addr) != 1) {
        error = "bad bind address " + options.bind;
        return nullptr;
    }
    size_t count = options.relay_workers > 0 ? (size_t)options.relay_workers : std::thread::hardware_concurrency();
    if (count == 0)
        count = 1;
    // A plain bind first: it fails while anyone holds the port, our own
    // shared sockets included, so a second service cannot join the group.
    std::vector<int> fds;
    const int first = OpenSocket(addr, false, error);
    if (first < 0)
        return nullptr;
    if (count == 1) {
        fds.push_back(first);
    } else {
        close(first);
        for (size_t i = 0; i < count; i++) {
            const int fd = OpenSocket(addr, true, error);
            if (fd < 0) {
                for (int f : fds)
                    close(f);
                return nullptr;
            }
            fds.push_back(fd);
        }
    }
    Relay* r = new Relay;
    r->options = options;
    r->check = std::move(check);
    r->refused = std::move(refused);
    r->batch = (size_t)std::max(1, options.relay_batch);
    for (size_t i = 0; i < fds.size(); i++) {
        RelayWorker* w = new RelayWorker;
        w->fd = fds[i];
        w->rng.seed(options.faults.seed + i);
        w->segmenting = options.relay_segment;
        r->workers.push_back(w);
    }
    for (size_t i = 0; i < r->workers.size(); i++)
        r->workers[i]->thread = std::thread(WorkerLoop, r, r->workers[i], i == 0);
    return r;
}

void StopRelay(Relay* relay)
{
    if (!relay)
        return;
    relay->stop.store(true);
    for (RelayWorker* w : relay->workers) {
        w->thread.join();
        close(w->fd);
        delete w;
    }
    delete relay;
}

RelayStats ReadRelayStats(Relay* relay)
{
    RelayStats s;
    for (RelayWorker* w : relay->workers) {
        s.forwarded += w->forwarded.load(std::memory_order_relaxed);
        s.forwarded_bytes += w->forwarded_bytes.load(std::memory_order_relaxed);
        s.dropped_unregistered += w->dropped_unregistered.load(std::memory_order_relaxed);
        s.dropped_no_partner += w->dropped_no_partner.load(std::memory_order_relaxed);
        s.dropped_fault += w->dropped_fault.load(std::memory_order_relaxed);
        s.dropped_queue_full += w->dropped_queue_full.load(std::memory_order_relaxed);
        s.dropped_send_error += w->dropped_send_error.load(std::memory_order_relaxed);
        s.hellos_registered += w->hellos_registered.load(std::memory_order_relaxed);
        s.hellos_refused += w->hellos_refused.load(std::memory_order_relaxed);
        s.introductions += w->introductions.load(std::memory_order_relaxed);
        s.direct_sessions_total += w->direct_sessions.load(std::memory_order_relaxed);
    }
    std::shared_lock<std::shared_mutex> shared(relay->table);
    s.registrations = relay->by_addr.size();
    for (const auto& [code, room] : relay->rooms)
        s.direct_sessions_now += (room.member[0].set && room.member[0].direct.load(std::memory_order_relaxed)) ||
                                 (room.member[1].set && room.member[1].direct.load(std::memory_order_relaxed));
    return s;
}
