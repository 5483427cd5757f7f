#include "link/peer_link.h"

#include "link/link_keys.h"
#include "link/link_path.h"
#include "link/link_seal.h"
#include "link/channel_versions.h"
#include "link/relay_address.h"
#include "link/wire_frames.h"
#include "state/app_state.h"
#include "state/config.h"
#include "state/worker.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

static const int kSocketBufferBytes = 4 * 1024 * 1024;
static const size_t kReceiveBufferBytes = 70000;
static const int64_t kScanIntervalNs = 1000000000 / 30;
static const int64_t kSecondNs = 1000000000;
static const int64_t kNoticeSettleUs = 500;

static std::atomic<bool> g_watch_own_files{true};
static std::atomic<bool> g_compact_framing{true};
static std::atomic<bool> g_direct_path{true};
static std::atomic<uint32_t> g_resend_requests{0};
static std::atomic<int64_t> g_link_start_ns{0};

void SetLinkFileWatch(bool on)
{
    g_watch_own_files.store(on);
}

void SetLinkCompactFraming(bool on)
{
    g_compact_framing.store(on);
}

void SetLinkDirectPath(bool on)
{
    g_direct_path.store(on);
}

void RequestOwnFilesResend()
{
    if (g_app.flags.link_running.load())
        g_resend_requests.fetch_add(1);
}

uint64_t LinkScanCount()
{
    const int64_t t0 = g_link_start_ns.load();
    return t0 == 0 ? 0 : (uint64_t)((SteadyNowNs() - t0) / kScanIntervalNs);
}

double LinkClockMs()
{
    return (double)SteadyNowNs() / 1000000.0;
}

// ---------------------------------------------------------------------------
// Statistics
// ---------------------------------------------------------------------------

std::string LinkRelay()
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    return g_app.link.relay;
}

static void NoteRelay(const NetAddress& relay)
{
    const std::string text = RelayAddressText(relay);
    std::lock_guard<std::mutex> g(g_app.link.lock);
    g_app.link.relay = text;
}

LinkPathInfo LinkPath()
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    LinkPathInfo p;
    p.direct = g_app.link.path_direct;
    // Through the relay the pings' own figure serves until a pong came back
    // from there since the last switch.
    double rtt = g_app.link.path_rtt_ms[p.direct ? 1 : 0];
    if (rtt < 0 && !p.direct)
        rtt = g_app.link.rtt_ms;
    p.rtt_ms = rtt < 0 ? -1 : (int32_t)(rtt + 0.5);
    p.peer = g_app.link.path_peer;
    p.losses = g_app.link.path_losses;
    return p;
}

std::string LinkPathText(const LinkPathInfo& path)
{
    std::string text = path.direct ? "Direct" : "Through relay";
    if (path.rtt_ms >= 0)
        text += ", " + std::to_string(path.rtt_ms) + " ms";
    return text;
}

// One round-trip sample of the path a pong came back on.
static void NotePathRtt(bool direct, double sample_ms)
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    double& rtt = g_app.link.path_rtt_ms[direct ? 1 : 0];
    rtt = rtt < 0 ? sample_ms : 0.7 * rtt + 0.3 * sample_ms;
}

static void NotePath(const DirectPath& p)
{
    const std::string peer = p.known ? RelayAddressText(p.peer) : std::string();
    std::lock_guard<std::mutex> g(g_app.link.lock);
    if (g_app.link.path_direct != p.direct)
        g_app.link.path_rtt_ms[p.direct ? 1 : 0] = -1.0; // the old figure is of another time
    g_app.link.path_direct = p.direct;
    g_app.link.path_peer = peer;
    g_app.link.path_losses = p.losses;
}

int32_t LinkRttMs()
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    return g_app.link.rtt_ms < 0 ? -1 : (int32_t)(g_app.link.rtt_ms + 0.5);
}

int32_t LinkLossPercentAt(double now_ms)
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    int counted = 0, lost = 0;
    // A partner that starts its link later cannot answer before it runs: the
    // pings left unanswered before the session's first pong are not losses.
    const double first_pong = g_app.link.first_pong_ms;
    for (const PingRecord& r : g_app.link.pings) {
        if (now_ms - r.send_ms < 2000.0 || (!r.answered && (first_pong < 0 || r.send_ms < first_pong)))
            continue;
        counted++;
        lost += r.answered ? 0 : 1;
    }
    if (counted == 0)
        return -1;
    return (int32_t)((double)lost * 100.0 / counted + 0.5);
}

int32_t LinkLossPercent()
{
    return LinkLossPercentAt(LinkClockMs());
}

static const char* const kChannelShortNames[kChannelCount] = {"Packet", "Anim", "Enemies", "Flags", "Joints",
                                                              "Companion"};

const char* ChannelShortName(size_t index)
{
    return index < kChannelCount ? kChannelShortNames[index] : "";
}

// The partner's channel counts as late once it has been quiet for this long
// and for four of its usual gaps: a channel the scripts rewrite 30 times a
// second is late after 5 s, one they touch once a minute only after 4 min.
static const double kLateFloorMs = 5000.0;

SyncHealth LinkSyncHealthAt(double now_ms)
{
    SyncHealth h;
    h.now_ms = now_ms;
    const bool up = g_app.flags.link_running.load();
    std::lock_guard<std::mutex> g(g_app.link.lock);
    for (size_t i = 0; i < kChannelCount; i++) {
        const ChannelTraffic& t = g_app.link.channels[i];
        ChannelHealth& c = h.channels[i];
        c.received_age_s = t.received_ms < 0 ? -1.0 : (now_ms - t.received_ms) / 1000.0;
        c.sent_age_s = t.sent_ms < 0 ? -1.0 : (now_ms - t.sent_ms) / 1000.0;
        const double limit = std::max(kLateFloorMs, 4.0 * t.received_gap_ms);
        // One version says nothing of the partner's pace: never late before a second one.
        c.late = up && t.received_gap_ms >= 0 && now_ms - t.received_ms > limit;
    }
    h.rtt = g_app.link.rtt_history;
    h.out_bytes_per_s = g_app.link.out_bytes_per_s;
    h.in_bytes_per_s = g_app.link.in_bytes_per_s;
    h.file_ratio = g_app.link.file_ratio;
    h.compact = g_app.link.compact;
    return h;
}

std::string ByteRateText(double bytes_per_s)
{
    char text[32];
    if (bytes_per_s < 0)
        return "-";
    if (bytes_per_s < 1000)
        snprintf(text, sizeof(text), "%.0f B/s", bytes_per_s);
    else if (bytes_per_s < 1e6)
        snprintf(text, sizeof(text), "%.1f KB/s", bytes_per_s / 1e3);
    else
        snprintf(text, sizeof(text), "%.2f MB/s", bytes_per_s / 1e6);
    return text;
}

SyncHealth LinkSyncHealth()
{
    return LinkSyncHealthAt(LinkClockMs());
}

static void NoteSent(const std::string& name, uint32_t role)
{
    const int i = PartnerChannelIndex(name, role == 1 ? 2 : 1); // the own names are the other side's partner names
    if (i < 0)
        return;
    std::lock_guard<std::mutex> g(g_app.link.lock);
    g_app.link.channels[i].sent_ms = LinkClockMs();
}

static void NoteReceived(const std::vector<std::string>& names, uint32_t role)
{
    if (names.empty())
        return;
    const double now = LinkClockMs();
    std::lock_guard<std::mutex> g(g_app.link.lock);
    for (const std::string& name : names) {
        const int i = PartnerChannelIndex(name, role);
        if (i < 0)
            continue;
        ChannelTraffic& t = g_app.link.channels[i];
        if (t.received_ms >= 0) {
            const double gap = now - t.received_ms;
            t.received_gap_ms = t.received_gap_ms < 0 ? gap : 0.8 * t.received_gap_ms + 0.2 * gap;
        }
        t.received_ms = now;
    }
}

std::string HelloDatagram(const std::string& room_code, char letter)
{
    return "HELLO " + room_code + " " + letter + "\n";
}

std::string MakePing(char letter, double now_ms, bool offer)
{
    uint32_t seq;
    {
        std::lock_guard<std::mutex> g(g_app.link.lock);
        seq = ++g_app.link.ping_sequence;
        g_app.link.pings.push_back(PingRecord{seq, now_ms, false});
        if (g_app.link.pings.size() > kPingRecordsKept)
            g_app.link.pings.erase(g_app.link.pings.begin());
    }
    char body[64];
    // The offer rides after the time: an older client echoes it in its pong
    // and reads the time before it, as ever.
    const int n = snprintf(body, sizeof(body), offer ? "%u %.1f %s" : "%u %.1f", seq, now_ms, kFramingToken);
    if (n <= 0 || n >= (int)sizeof(body))
        return std::string();
    return std::string("FILE:__ping___") + letter + ".json\n" + std::string(body, (size_t)n);
}

std::string MakeProbe(char letter, double now_ms, bool offer)
{
    char body[64];
    const int n = snprintf(body, sizeof(body), offer ? "0 %.1f %s" : "0 %.1f", now_ms, kFramingToken);
    if (n <= 0 || n >= (int)sizeof(body))
        return std::string();
    return std::string("FILE:__ping___") + letter + ".json\n" + std::string(body, (size_t)n);
}

// The sequence and the round trip of a pong ("FILE:__pong..." + "seq time").
static bool ReadPong(const char* data, size_t size, double now_ms, uint32_t& seq, double& sample_ms)
{
    static const char kPong[] = "FILE:__pong__";
    const size_t n = sizeof(kPong) - 1;
    if (size < n || memcmp(data, kPong, n) != 0)
        return false;
    const char* nl = (const char*)memchr(data + n, '\n', size - n);
    if (!nl)
        return false;
    const std::string body(nl + 1, (size_t)(data + size - (nl + 1)));
    seq = 0;
    for (size_t i = 0; i < body.size() && body[i] >= '0' && body[i] <= '9'; i++)
        seq = seq * 10u + (uint32_t)(body[i] - '0');
    const size_t space = body.find(' ');
    if (space == std::string::npos)
        return false;
    char* end = nullptr;
    const double echoed = strtod(body.c_str() + space + 1, &end);
    if (end == body.c_str() + space + 1 || !(echoed >= 0))
        return false;
    sample_ms = std::max(0.0, now_ms - echoed);
    return true;
}

void HandlePong(const std::string& body, double now_ms)
{
    uint32_t seq = 0;
    for (size_t i = 0; i < body.size() && body[i] >= '0' && body[i] <= '9'; i++)
        seq = seq * 10u + (uint32_t)(body[i] - '0');
    const size_t space = body.find(' ');
    if (space == std::string::npos)
        return;
    const std::string rest = body.substr(space + 1);
    char* end = nullptr;
    const double echoed = strtod(rest.c_str(), &end);
    if (end == rest.c_str() || !(echoed >= 0))
        return;
    double sample = now_ms - echoed;
    if (sample < 0)
        sample = 0;
    std::lock_guard<std::mutex> g(g_app.link.lock);
    double& rtt = g_app.link.rtt_ms;
    // A pong held up by a stall (a frozen game answering the pings queued
    // meanwhile) is no round trip: it would show seconds for a long while.
    if (sample < (double)(kPartnerGapNs / 1000000)) {
        rtt = rtt < 0 ? sample : 0.7 * rtt + 0.3 * sample;
        std::vector<RttSample>& history = g_app.link.rtt_history;
        history.push_back(RttSample{now_ms, (float)rtt});
        size_t old = 0;
        while (old < history.size() && now_ms - history[old].at_ms > kRttHistoryMs)
            old++;
        history.erase(history.begin(), history.begin() + (std::ptrdiff_t)old);
    }
    if (g_app.link.first_pong_ms < 0)
        g_app.link.first_pong_ms = now_ms;
    for (PingRecord& r : g_app.link.pings)
        if (r.sequence == seq) {
            r.answered = true;
            break;
        }
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

std::string DispatchDatagram(LinkSession& session, const char* data, size_t size, CompletedFiles& completed,
                             double now_ms)
{
    if (size < 6 || memcmp(data, "FILE:", 5) != 0)
        return std::string();
    const char* nl = (const char*)memchr(data + 5, '\n', size - 5);
    if (!nl)
        return std::string();
    const std::string name(data + 5, (size_t)(nl - (data + 5)));
    if (name.empty())
        return std::string();
    const std::string body(nl + 1, (size_t)(data + size - (nl + 1)));
    std::string base = name;
    if (base.size() > 5 && base.compare(base.size() - 5, 5, ".json") == 0)
        base.resize(base.size() - 5);

    if (base.size() >= 7 && base.compare(0, 7, "__ping_") == 0)
        return std::string("FILE:__pong___") + OwnLetter(session.role) + ".json\n" + body;
    if (base.size() >= 7 && base.compare(0, 7, "__pong_") == 0) {
        HandlePong(body, now_ms);
        return std::string();
    }
    AcceptChannelFile(session.reassembly, name, body, session.role, completed);
    return std::string();
}

// The sequence and the text after it ("seq time") of a ping datagram.
static bool ReadPing(const char* data, size_t size, uint32_t& seq, std::string& body)
{
    static const char kPing[] = "FILE:__ping__";
    const size_t n = sizeof(kPing) - 1;
    if (size < n || memcmp(data, kPing, n) != 0)
        return false;
    const char* nl = (const char*)memchr(data + n, '\n', size - n);
    if (!nl || nl + 1 >= data + size || nl[1] < '0' || nl[1] > '9')
        return false;
    body.assign(nl + 1, (size_t)(data + size - (nl + 1)));
    seq = 0;
    for (size_t i = 0; i < body.size() && body[i] >= '0' && body[i] <= '9'; i++)
        seq = seq * 10u + (uint32_t)(body[i] - '0');
    return true;
}

bool PartnerReturned(PartnerContact& c, const char* data, size_t size, int64_t now_ns)
{
    if (size < 5 || memcmp(data, "FILE:", 5) != 0)
        return false;
    bool back = now_ns - c.last_ns >= kPartnerGapNs;
    uint32_t seq = 0;
    std::string body;
    // Probes of the direct path (sequence 0) say nothing of a restart.
    if (ReadPing(data, size, seq, body) && seq != 0) {
        // A restarted link counts from 1 again: a first ping that is not a
        // copy of the last one (it carries its own send time). Pings may
        // otherwise come a place out of order.
        back |= seq == 1 ? c.last_ping >= 1 && body != c.last_ping_body : seq + 2 < c.last_ping;
        c.last_ping = seq;
        c.last_ping_body = body;
    }
    c.last_ns = now_ns;
    return back;
}

// ---------------------------------------------------------------------------
// The link thread
// ---------------------------------------------------------------------------

// What the link thread holds, let go of on every way out, an exception too.
struct LinkResources
{
    bool net = false;
    UdpSocket sock = kNoSocket;
    ChannelSender sender;
    VersionCodec* codec = nullptr;
    ~LinkResources()
    {
        VersionCodecClose(codec);
        StopWatchingOwnFiles(sender);
        if (sock != kNoSocket)
            UdpClose(sock);
        if (net)
            NetCleanup();
    }
};

// Bytes on the wire since the last report, turned into the per-second
// figures of the link statistics about once a second.
struct WireCount
{
    uint64_t out = 0, in = 0;
    uint64_t file_wire = 0; // channel-file datagrams sent (repeats and resends too)
    uint64_t file_raw = 0;  // the own bytes of the new versions among them
    int64_t since_ns = 0;
};

static void ReportWire(WireCount& w, int64_t now_ns, bool compact)
{
    const double s = (double)(now_ns - w.since_ns) / 1e9;
    if (s <= 0)
        return;
    std::lock_guard<std::mutex> g(g_app.link.lock);
    g_app.link.out_bytes_per_s = (double)w.out / s;
    g_app.link.in_bytes_per_s = (double)w.in / s;
    if (w.file_raw > 0)
        g_app.link.file_ratio = (double)w.file_wire / (double)w.file_raw;
    g_app.link.compact = compact;
    g_app.link.out_bytes_total += w.out;
    g_app.link.in_bytes_total += w.in;
    w = WireCount{};
    w.since_ns = now_ns;
}

static double CurrentRttMs()
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    return g_app.link.rtt_ms;
}

static uint32_t NewEpoch()
{
    std::random_device rd;
    uint32_t e = 0;
    while (e == 0)
        e = rd();
    return e;
}

static void RunPeerLink(uint32_t role, const std::string& room_code)
{
    LinkResources held;
    held.net = NetStartup();
    if (!held.net)
        return;
    held.sock = UdpOpen(kRelayPort, kSocketBufferBytes);
    const UdpSocket sock = held.sock;
    if (sock == kNoSocket)
        return;
    uint32_t relay_changes = 0;
    NetAddress relay = CurrentRelay(relay_changes);
    NoteRelay(relay);

    const char letter = OwnLetter(role);
    const std::string hello = HelloDatagram(room_code, letter);
    // Everything for the partner crosses sealed (or plain with an older
    // partner); only HELLO, the relay's own, goes as it is.
    LinkSeal& seal = TheLinkSeal();
    ResetLinkSealStatus();
    RefreshLinkSeal(seal, letter);
    std::string sealed_out, opened;
    WireCount wire;
    // The partner's address once the relay names it; files and pings go
    // there while the path is direct, HELLO always to the relay.
    DirectPath path;
    NetAddress introduced_by; // PATH goes only to a relay that has sent a PEER: an older one would forward it
    const bool take_peer = g_direct_path.load();
    const auto put_to = [&](const std::string& d, const NetAddress& to) {
        const std::string* out = &d;
        if (&d != &hello) {
            if (!SealOutgoing(seal, d.data(), d.size(), sealed_out))
                return;
            out = &sealed_out;
        }
        UdpSendTo(sock, to, out->data(), out->size());
        wire.out += out->size();
    };
    const auto put = [&](const std::string& d) { put_to(d, &d != &hello && path.direct ? path.peer : relay); };
    const auto report_path = [&]() {
        if (!room_code.empty() && introduced_by == relay) {
            const std::string text = PathDatagram(room_code, letter, path.direct);
            UdpSendTo(sock, relay, text.data(), text.size());
            wire.out += text.size();
        }
    };
    if (!room_code.empty())
        put(hello);
    {
        // Known after the bind or, if the port was taken, after the first send.
        std::lock_guard<std::mutex> g(g_app.link.lock);
        g_app.link.local_port = UdpLocalPort(sock);
    }

    ChannelSender& sender = held.sender;
    sender = MakeChannelSender(role);
    if (g_watch_own_files.load())
        WatchOwnFiles(sender);
    LinkSession session;
    session.role = role;
    WrittenFiles written;
    const std::vector<std::string> partner_names = ChannelFileNames(role == 1 ? 2 : 1);

    // The compact framing: offered in every ping, used once the partner's
    // pings offer it too (or its compact datagrams arrive), left again when
    // its pings stop offering it (an older client took its place).
    const bool offer = g_compact_framing.load();
    if (offer)
        held.codec = VersionCodecOpen();
    bool compact = false;
    Outbox outbox;
    outbox.epoch = NewEpoch();
    Inbox inbox;

    const SendFileFn send = [&](const std::string& name, const std::string& content, uint32_t transfer) {
        const int i = PartnerChannelIndex(name, role == 1 ? 2 : 1); // the own names are the other side's partner names
        if (compact && i >= 0) {
            // Only new versions: their delivery is the acknowledgements' business.
            if (transfer <= outbox.channels[i].last_sent)
                return;
            for (const std::string& d : OutboxSendNew(outbox, held.codec, (size_t)i, transfer, content, SteadyNowNs())) {
                put(d);
                wire.file_wire += d.size();
            }
            wire.file_raw += content.size();
        } else {
            for (const std::string& d : FileDatagrams(name, content, transfer)) {
                put(d);
                wire.file_wire += d.size();
            }
            // Counted once per version: the repeats are the old framing's cost.
            if (i >= 0 && transfer != outbox.channels[i].last_sent) {
                outbox.channels[i].last_sent = transfer;
                wire.file_raw += content.size();
            }
        }
        NoteSent(name, role);
    };
    const auto use_compact = [&](bool on) {
        if (on == compact || !held.codec)
            return;
        compact = on;
        for (ChannelOutbox& c : outbox.channels)
            c = ChannelOutbox{};
        if (on) {
            // What went out in the old framing may be missing its repeats:
            // the current versions go again, now acknowledged.
            for (size_t i = 0; i < kChannelCount; i++) {
                const ChannelSendState& st = sender.state[i];
                if (!st.content.empty() && st.transfer > 0)
                    for (const std::string& d : OutboxSendNew(outbox, held.codec, i, st.transfer, st.content, SteadyNowNs())) {
                        put(d);
                        wire.file_wire += d.size();
                    }
            }
        } else {
            ResendOwnFiles(sender, send, SteadyNowNs());
        }
    };
    uint32_t resends_seen = g_resend_requests.load();

    const int64_t t0 = SteadyNowNs();
    g_link_start_ns.store(t0);
    wire.since_ns = t0;
    int64_t scan_timer = t0, hello_timer = t0, ping_timer = t0;
    std::vector<char> buffer(kReceiveBufferBytes, 0);

    const bool resend_on_return = RideOutDrops();
    PartnerContact contact;
    contact.last_ns = t0; // a partner first heard long after the start missed what was sent at it
    // Moved to another relay: what went out since, and what the partner sent
    // before it moved too, was lost between the two. The partner's first word
    // through the new relay calls for the own files again (ride-out or not:
    // a move is the service's doing, not a drop).
    bool moved = false;
    int ready = kWaitDatagram | kWaitFolder;
    while (!g_app.flags.link_stop.load()) {
        // Not once stopping: leaving clears the relay, and the left room's
        // last turn must not say HELLO to the backend host's relay.
        if (g_app.room.relay_changes.load() != relay_changes && !g_app.flags.link_stop.load()) {
            const NetAddress next = CurrentRelay(relay_changes);
            if (next != relay) {
                relay = next; // from now on the only accepted source, and where all goes
                NoteRelay(relay);
                moved = true;
                // A new relay, a new link session: new keys, which the
                // partner learns from the next beat.
                RenewLinkKeys();
                if (!room_code.empty())
                    put(hello);
                hello_timer = SteadyNowNs();
            }
        }
        RefreshLinkSeal(seal, letter);
        if (path.known && !seal.sealed) {
            // No partner key any more: nothing may go straight (or come so).
            const bool was_direct = path.direct;
            path = DirectPath{};
            NotePath(path);
            if (was_direct)
                report_path();
        }
        CompletedFiles completed;
        std::vector<ArrivedVersion> arrived; // newest per channel, this turn
        NetAddress from;
        while (ready & kWaitDatagram) {
            const int r = UdpReceive(sock, buffer.data(), buffer.size(), from);
            if (r < 0)
                break;
            // Only the relay forwards to us, and the partner's own address
            // once the relay named it; anything else could forge files or pongs.
            const bool from_peer = path.known && from == path.peer && from != relay;
            if (r == 0 || (from != relay && !from_peer))
                continue;
            wire.in += (uint64_t)r;
            NetAddress peer;
            if (!from_peer && ParsePeerDatagram(buffer.data(), (size_t)r, peer)) {
                // Only a partner that seals can prove where it is.
                if (take_peer && seal.sealed) {
                    introduced_by = relay;
                    PathTakePeer(path, peer, SteadyNowNs());
                    NotePath(path);
                }
                continue;
            }
            // Straight from the partner: sealed or nothing, whatever the setting.
            if (from_peer && !seal.sealed)
                continue;
            // Then only what the partner sealed: the relay's address alone proves nothing.
            bool renewed = false;
            if (OpenIncoming(seal, buffer.data(), (size_t)r, opened, renewed) != IncomingResult::Pass)
                continue;
            const char* data = opened.data();
            const int n = (int)opened.size();
            uint32_t pong_seq = 0;
            double pong_rtt = 0;
            const bool pong = ReadPong(data, (size_t)n, LinkClockMs(), pong_seq, pong_rtt);
            if (from_peer) {
                const bool was_direct = path.direct;
                PathHeard(path, pong, n > 13 && memcmp(data, "FILE:__ping__", 13) == 0, SteadyNowNs());
                if (path.direct != was_direct)
                    NotePath(path);
            }
            if (pong && (from_peer || !path.direct))
                NotePathRtt(from_peer, pong_rtt);
            if (pong && pong_seq == 0)
                continue; // a probe's answer: the path's figure only
            const bool back = resend_on_return && PartnerReturned(contact, data, (size_t)n, SteadyNowNs());
            // The partner's first datagram under new keys: what was sealed to
            // them before they had ours may not have opened.
            if (back || renewed || (moved && n >= 5 && memcmp(data, "FILE:", 5) == 0)) {
                moved = false;
                // Registered again first: after a long stall the relay may
                // have let this address go, and the files must get through.
                if (!room_code.empty())
                    put(hello);
                if (compact)
                    inbox.ack_due = true; // the partner may have missed what this side holds
                ResendOwnFiles(sender, send, SteadyNowNs());
            }
            const char kind = held.codec ? FrameKind(data, (size_t)n) : 0;
            if (kind == 'V') {
                VersionPart part;
                ArrivedVersion v;
                if (!DecodeVersion(data, (size_t)n, part))
                    continue;
                use_compact(true);
                if (!InboxTake(inbox, held.codec, part, kMaxChannelFileBytes, v))
                    continue;
                bool replaced = false;
                for (ArrivedVersion& a : arrived)
                    if (a.channel == v.channel) {
                        if (v.version > a.version)
                            a = std::move(v);
                        replaced = true;
                    }
                if (!replaced)
                    arrived.push_back(std::move(v));
                continue;
            }
            if (kind == 'A') {
                AckFrame ack;
                if (DecodeAck(data, (size_t)n, ack))
                    OutboxTakeAck(outbox, ack, SteadyNowNs());
                continue;
            }
            static const char kPing[] = "FILE:__ping__";
            if (held.codec && (size_t)n > sizeof(kPing) && memcmp(data, kPing, sizeof(kPing) - 1) == 0) {
                const char* nl = (const char*)memchr(data, '\n', (size_t)n);
                if (nl)
                    use_compact(PingAnnouncesFraming(std::string(nl + 1, (size_t)(data + n - (nl + 1)))));
            }
            const std::string reply = DispatchDatagram(session, data, (size_t)n, completed, LinkClockMs());
            // A pong goes back the way its ping came: that is the round trip measured.
            if (!reply.empty())
                put_to(reply, from);
        }
        // A late datagram of the old framing must not undo a newer version
        // that came compact.
        if (compact)
            for (auto it = completed.begin(); it != completed.end();) {
                const int i = PartnerChannelIndex(it->first, role);
                it = i >= 0 && inbox.channels[i].written > 0 ? completed.erase(it) : std::next(it);
            }
        std::vector<std::string> names = WriteNewCompletedFiles(completed, written);
        for (const ArrivedVersion& v : arrived) {
            if (!WriteFileAtomically(DataPath(partner_names[v.channel]), v.content))
                continue; // not acknowledged: it comes again
            InboxWritten(inbox, v.channel, v.version, v.content);
            names.push_back(partner_names[v.channel]);
        }
        NoteReceived(names, role);
        if (compact && inbox.ack_due && inbox.epoch != 0) {
            inbox.ack_due = false;
            put(EncodeAck(InboxAck(inbox)));
        }

        const int64_t now = SteadyNowNs();
        const uint32_t resends = g_resend_requests.load();
        if (resends != resends_seen) {
            resends_seen = resends;
            ResendOwnFiles(sender, send, now);
        }
        if ((ready & kWaitFolder) || OwnFilesNextReadNs(sender) <= now) {
            // The scripts write all six files at once, and each write brings
            // several notices: one short wait lets the burst finish, so it
            // costs two wake-ups instead of one per notice.
            if (!(ready & kWaitDatagram))
                UdpWait(sock, kNoticeSettleUs);
            SendFinishedOwnFiles(sender, send, SteadyNowNs());
        }
        // Scans keep the beat of the link's start, so a scan period is a
        // fixed stretch of time (tests time deliveries against it).
        if (now - scan_timer >= kScanIntervalNs) {
            scan_timer += (now - scan_timer) / kScanIntervalNs * kScanIntervalNs;
            if (OwnFilesNextScanNs(sender, scan_timer, kScanIntervalNs) <= scan_timer)
                ScanOwnFiles(sender, send, now);
        }
        const double rtt_ms = CurrentRttMs();
        if (compact)
            for (const std::string& d : OutboxResends(outbox, held.codec, SteadyNowNs(), rtt_ms)) {
                put(d);
                wire.file_wire += d.size();
            }
        if (now - hello_timer >= kSecondNs) {
            hello_timer = now;
            if (!room_code.empty())
                put(hello);
            // Repeated while direct, so a lost report is made good.
            if (path.direct)
                report_path();
            // The data folder may appear after the link starts.
            if (!sender.watch && g_watch_own_files.load())
                WatchOwnFiles(sender);
        }
        bool fell_back = false;
        if (PathTick(path, now, fell_back)) {
            const std::string probe = MakeProbe(letter, LinkClockMs(), held.codec != nullptr);
            if (!probe.empty())
                put_to(probe, path.peer);
        }
        if (fell_back) {
            // What went straight into the lost path may be gone: what the
            // partner has not acknowledged goes again now, through the relay,
            // and the old framing sends the current files again (the partner
            // writes only what it does not hold yet).
            NotePath(path);
            if (compact) {
                for (ChannelOutbox& c : outbox.channels)
                    if (c.pending)
                        c.sent_ns = 0;
                for (const std::string& d : OutboxResends(outbox, held.codec, SteadyNowNs(), rtt_ms)) {
                    put(d);
                    wire.file_wire += d.size();
                }
                if (inbox.epoch != 0)
                    put(EncodeAck(InboxAck(inbox))); // its acknowledgements may have been lost too
            } else {
                ResendOwnFiles(sender, send, SteadyNowNs());
            }
        }
        if (path.report_due) {
            path.report_due = false;
            report_path();
        }
        if (now - ping_timer >= kSecondNs) {
            ping_timer = now;
            const std::string ping = MakePing(letter, LinkClockMs(), held.codec != nullptr);
            if (!ping.empty())
                put(ping);
            ReportWire(wire, now, compact);
        }
        // Sleep until a datagram arrives, an own file is written or the next
        // scan with work is due: the partner's data and the own changes are
        // handled as they come. Without change notices the scan has work on
        // every beat, as before; with them an idle link wakes about once a
        // second (HELLO, ping, and a read of every file in case a notice was lost).
        int64_t due = std::min(std::min(OwnFilesNextScanNs(sender, scan_timer + kScanIntervalNs, kScanIntervalNs),
                                        OwnFilesNextReadNs(sender)),
                               std::min(hello_timer, ping_timer) + kSecondNs);
        if (compact)
            due = std::min(due, OutboxNextResendNs(outbox, rtt_ms));
        due = std::min(due, PathNextDueNs(path));
        const int64_t wait_ns = due - SteadyNowNs();
        ready = UdpWaitOrFolder(sock, sender.watch, wait_ns > 0 ? wait_ns / 1000 : 0);
    }
    ReportWire(wire, SteadyNowNs(), compact);
}

static void PeerLinkThread(uint32_t role, std::string room_code)
{
    // Cleared on every way out: a link that failed must be able to start again.
    struct ClearRunning
    {
        ~ClearRunning() { g_app.flags.link_running.store(false); }
    } clear;
    RunPeerLink(role, room_code);
}

void StartPeerLink(uint32_t role, const std::string& room_code)
{
    if (g_app.flags.link_running.load() || role == 0)
        return;
    g_app.flags.link_stop.store(false);
    {
        std::lock_guard<std::mutex> g(g_app.link.lock);
        g_app.link.rtt_ms = -1.0;
        g_app.link.ping_sequence = 0;
        g_app.link.pings.clear();
        g_app.link.first_pong_ms = -1.0;
        g_app.link.local_port = 0;
        for (ChannelTraffic& t : g_app.link.channels)
            t = ChannelTraffic{};
        g_app.link.rtt_history.clear();
        g_app.link.out_bytes_per_s = g_app.link.in_bytes_per_s = g_app.link.file_ratio = -1.0;
        g_app.link.compact = false;
        g_app.link.out_bytes_total = g_app.link.in_bytes_total = 0;
        g_app.link.path_direct = false;
        g_app.link.path_peer.clear();
        g_app.link.path_rtt_ms[0] = g_app.link.path_rtt_ms[1] = -1.0;
        g_app.link.path_losses = 0;
    }
    StartGuardedWorker(g_app.flags.link_running, PeerLinkThread, role, room_code);
}

void StopPeerLink()
{
    if (g_app.flags.link_running.load())
        g_app.flags.link_stop.store(true);
}
