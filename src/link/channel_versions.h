// Channel versions in the compact framing: the sender keeps the newest
// version of each channel until the partner acknowledges writing it, sends it
// again only when no acknowledgement came within the round trip plus a margin,
// and compresses every version against the newest one the partner
// acknowledged. The receiver writes only versions newer than the one it holds
// and keeps its last few as bases.
#pragma once

#include "link/version_codec.h"
#include "link/wire_frames.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct KeptVersion
{
    uint32_t version = 0;
    std::string content;
};

// Versions sent and kept as possible bases: the partner acknowledges one of
// the last few it wrote, and this many covers acknowledgements in flight.
const size_t kKeptVersions = 8;

struct ChannelOutbox
{
    uint32_t last_sent = 0;   // the newest version sent
    uint32_t acked = 0;       // the newest the partner says it wrote
    std::string acked_content;
    bool acked_known = false; // acked_content holds it (else: nothing to compress against)
    bool pending = false;     // last_sent not acknowledged yet
    int64_t sent_ns = 0;      // its latest send
    int tries = 0;            // sends of it so far
    std::deque<KeptVersion> recent;
};

struct Outbox
{
    uint32_t epoch = 1; // this link's session, random per start
    ChannelOutbox channels[kFrameChannels];
    // Send to acknowledgement of versions acknowledged at their first send,
    // smoothed, and its variation: the partner's own delays (a busy machine
    // schedules its link late) are part of the round trip a resend waits for.
    double ack_rtt_ms = -1;
    double ack_rttvar_ms = 0;
    std::string frame; // the compressed version being cut into parts (its buffer reused)
};

// The datagrams of a new version, which replaces any one still unacknowledged.
std::vector<std::string> OutboxSendNew(Outbox& box, VersionCodec* codec, size_t channel, uint32_t version,
                                       const std::string& content, int64_t now_ns);

// Takes an acknowledgement of this link's versions (others are ignored).
// With `now_ns`, a first send acknowledged measures the round trip.
void OutboxTakeAck(Outbox& box, const AckFrame& ack, int64_t now_ns = 0);

// The time a version goes out again when no acknowledgement comes: the round
// trip plus a margin (at least 10 ms, half the round trip, four times its
// variation), doubled on every try up to a second.
int64_t ResendAfterNs(double rtt_ms, int tries, double rttvar_ms = 0);

// The datagrams of every unacknowledged version whose time has come.
std::vector<std::string> OutboxResends(Outbox& box, VersionCodec* codec, int64_t now_ns, double rtt_ms);

// When the next resend is due (INT64_MAX: none).
int64_t OutboxNextResendNs(const Outbox& box, double rtt_ms);

// ---------------------------------------------------------------------------

struct ChannelInbox
{
    uint32_t written = 0; // newest version written here
    std::deque<KeptVersion> kept;
    // The newest version being put together.
    uint32_t version = 0, base = 0;
    uint16_t parts = 0, received = 0;
    std::vector<std::string> part;
    std::vector<bool> have;
};

struct Inbox
{
    uint32_t epoch = 0; // the partner's link session; 0: none yet
    std::vector<uint32_t> retired; // its earlier sessions: their late datagrams are ignored
    ChannelInbox channels[kFrameChannels];
    bool ack_due = false;
    int64_t ack_due_ns = 0; // when it became due (0: not yet seen by InboxAckToSend)
};

// An acknowledgement waits this long after it became due, so the versions of
// one burst (the scripts write their files together) share one datagram and
// wake the sender once. Resends wait for the measured acknowledgement round
// trip, this included, and a base a few milliseconds older costs no bytes.
const int64_t kAckDelayNs = 4000000;

// A version that came together and decoded.
struct ArrivedVersion
{
    size_t channel = 0;
    uint32_t version = 0;
    std::string content;
};

// Takes one part. True when it completed a version newer than the one
// written (then `arrived` is filled). Repeats of written versions and
// versions whose base is not here only make an acknowledgement due, which
// tells the sender what this side holds.
bool InboxTake(Inbox& box, VersionCodec* codec, const VersionPart& part, size_t max_bytes, ArrivedVersion& arrived);

// The version was written to disk: it is the one to acknowledge and a base.
void InboxWritten(Inbox& box, size_t channel, uint32_t version, const std::string& content);

AckFrame InboxAck(const Inbox& box);

// The acknowledgement to send now: one is due and has waited kAckDelayNs, or
// `flush` (a datagram goes to the partner anyway, and the acknowledgement
// rides beside it). Then it is no longer due.
bool InboxAckToSend(Inbox& box, int64_t now_ns, bool flush, AckFrame& ack);

// When the due acknowledgement goes out (INT64_MAX: none due).
int64_t InboxNextAckNs(const Inbox& box);
