// Peer-link statistics, shared by the link thread (writer) and the overlay
// (reader) under their own lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct PingRecord
{
    uint32_t sequence = 0;
    double send_ms = 0;    // steady clock, milliseconds
    bool answered = false;
};

// One channel's traffic, steady-clock milliseconds; below 0: none yet.
struct ChannelTraffic
{
    double received_ms = -1.0;       // the partner's last new version was written here
    double received_gap_ms = -1.0;   // smoothed time between the partner's versions
    double sent_ms = -1.0;           // the last own datagram of this channel left
};

// A round-trip sample for the lobby's graph.
struct RttSample
{
    double at_ms = 0;
    float rtt_ms = 0;
};

const size_t kLinkChannels = 6;
const double kRttHistoryMs = 60000.0;

struct LinkStats
{
    std::mutex lock;
    double rtt_ms = -1.0;             // smoothed; below 0: no sample yet
    uint32_t ping_sequence = 0;       // the last ping sent; the first is 1
    std::vector<PingRecord> pings;    // oldest first, at most kPingRecordsKept
    double first_pong_ms = -1.0;      // when the session's first pong came; below 0: none yet
    uint16_t local_port = 0;          // the link socket's port once known (diagnostics)
    std::string relay;                // "A.B.C.D:PORT" the link sends to now; "" before a link ran
    ChannelTraffic channels[kLinkChannels];
    std::vector<RttSample> rtt_history; // oldest first, the last kRttHistoryMs
    // What the wire costs, over the last second or so (below 0: not yet known).
    double out_bytes_per_s = -1.0;    // every datagram the link sent
    double in_bytes_per_s = -1.0;     // every datagram it took from the relay
    double file_ratio = -1.0;         // channel-file bytes on the wire over the new versions' own bytes
    bool compact = false;             // both clients speak the compact, acknowledged framing
    uint64_t out_bytes_total = 0;     // since the link started, up to the last report
    uint64_t in_bytes_total = 0;
    bool sealed = false;              // the running link seals every datagram to the partner
    uint64_t refused_forged = 0;      // datagrams dropped as not sealed by the partner (this link)
    uint64_t refused_replayed = 0;    // genuine copies dropped by the replay window (this link)
    // The path in use: straight to the partner's address, or through the relay.
    bool path_direct = false;
    std::string path_peer;            // "A.B.C.D:PORT" the relay named for the partner; "" none
    double path_rtt_ms[2] = {-1.0, -1.0}; // smoothed round trip through the relay [0] and direct [1]
    uint32_t path_losses = 0;         // times the direct path was lost and the relay took over
};

const size_t kPingRecordsKept = 32;

// The link session's keys (the link lock of keys): the own pair, made fresh
// for every room entered and every relay move, and the partner's public key
// as the service last handed it. Plain bytes here; link/link_keys.h works them.
struct LinkKeysState
{
    std::mutex lock;
    std::string own_public;     // 64 hex digits; "" before any room
    std::string own_secret;     // 32 raw bytes
    std::string partner;        // 64 hex digits; "" when none is known
    bool partner_keyless = false; // the service says the partner sent no key (an older client)
    bool service_keyless = false; // the service's replies carry no key member at all (an older service)
    uint32_t changes = 0;       // +1 on every change of either key (the link re-derives)
};
