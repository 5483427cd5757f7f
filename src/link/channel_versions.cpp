#include "link/channel_versions.h"

#include <algorithm>
#include <cmath>

static const KeptVersion* FindKept(const std::deque<KeptVersion>& kept, uint32_t version)
{
    for (const KeptVersion& k : kept)
        if (k.version == version)
            return &k;
    return nullptr;
}

// The oldest kept version's buffer takes the new one: no allocation per version.
static void Keep(std::deque<KeptVersion>& kept, uint32_t version, const std::string& content)
{
    KeptVersion k;
    if (kept.size() >= kKeptVersions) {
        k = std::move(kept.front());
        kept.pop_front();
    }
    k.version = version;
    k.content.assign(content);
    kept.push_back(std::move(k));
    while (kept.size() > kKeptVersions)
        kept.pop_front();
}

static std::vector<std::string> Encode(Outbox& box, VersionCodec* codec, size_t channel)
{
    const ChannelOutbox& c = box.channels[channel];
    const KeptVersion* now = FindKept(c.recent, c.last_sent);
    if (!now)
        return {};
    const bool against = c.acked_known && c.acked < c.last_sent;
    if (!CompressVersion(codec, now->content, against ? &c.acked_content : nullptr, box.frame))
        return {};
    return EncodeVersion(box.epoch, (uint8_t)channel, c.last_sent, against ? c.acked : 0, box.frame);
}

std::vector<std::string> OutboxSendNew(Outbox& box, VersionCodec* codec, size_t channel, uint32_t version,
                                       const std::string& content, int64_t now_ns)
{
    if (channel >= kFrameChannels || version <= box.channels[channel].last_sent)
        return {};
    ChannelOutbox& c = box.channels[channel];
    Keep(c.recent, version, content);
    c.last_sent = version;
    c.pending = true;
    c.sent_ns = now_ns;
    c.tries = 1;
    return Encode(box, codec, channel);
}

// As TCP smooths its round trip: an eighth of each sample, a quarter of its distance.
static void TakeRttSample(Outbox& box, double ms)
{
    if (box.ack_rtt_ms < 0) {
        box.ack_rtt_ms = ms;
        box.ack_rttvar_ms = ms / 2;
        return;
    }
    box.ack_rttvar_ms += (std::abs(ms - box.ack_rtt_ms) - box.ack_rttvar_ms) / 4;
    box.ack_rtt_ms += (ms - box.ack_rtt_ms) / 8;
}

void OutboxTakeAck(Outbox& box, const AckFrame& ack, int64_t now_ns)
{
    if (ack.epoch != box.epoch)
        return;
    for (size_t i = 0; i < kFrameChannels; i++) {
        ChannelOutbox& c = box.channels[i];
        const uint32_t written = ack.written[i];
        if (written > c.last_sent)
            continue; // not a version of ours
        // Lower than before: a late acknowledgement, or the partner started
        // over and holds less. Either way it holds what it says now.
        if (written != c.acked || !c.acked_known) {
            const KeptVersion* k = FindKept(c.recent, written);
            c.acked = written;
            c.acked_known = k != nullptr;
            if (k)
                c.acked_content.assign(k->content); // into the buffer it has
            else
                c.acked_content.clear();
        }
        if (written == c.last_sent && c.pending) {
            if (now_ns > 0 && c.tries == 1) // a resent one's acknowledgement could answer either send
                TakeRttSample(box, (double)(now_ns - c.sent_ns) / 1e6);
            c.pending = false;
        }
    }
}

int64_t ResendAfterNs(double rtt_ms, int tries, double rttvar_ms)
{
    const double rtt = rtt_ms >= 0 ? rtt_ms : 100.0;
    double ms = rtt + std::max(std::max(10.0, rtt * 0.5), 4 * rttvar_ms);
    for (int i = 1; i < tries && ms < 1000.0; i++)
        ms *= 2;
    return (int64_t)(std::min(ms, 1000.0) * 1e6);
}

// The pings' round trip or the acknowledgements' one, whichever is longer.
static int64_t BoxResendAfterNs(const Outbox& box, double rtt_ms, int tries)
{
    if (box.ack_rtt_ms < 0)
        return ResendAfterNs(rtt_ms, tries);
    return ResendAfterNs(std::max(rtt_ms, box.ack_rtt_ms), tries, box.ack_rttvar_ms);
}

std::vector<std::string> OutboxResends(Outbox& box, VersionCodec* codec, int64_t now_ns, double rtt_ms)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < kFrameChannels; i++) {
        ChannelOutbox& c = box.channels[i];
        if (!c.pending || now_ns - c.sent_ns < BoxResendAfterNs(box, rtt_ms, c.tries))
            continue;
        c.sent_ns = now_ns;
        c.tries++;
        // Against the newest acknowledged version, which may have moved on.
        for (std::string& d : Encode(box, codec, i))
            out.push_back(std::move(d));
    }
    return out;
}

int64_t OutboxNextResendNs(const Outbox& box, double rtt_ms)
{
    int64_t next = INT64_MAX;
    for (const ChannelOutbox& c : box.channels)
        if (c.pending)
            next = std::min(next, c.sent_ns + BoxResendAfterNs(box, rtt_ms, c.tries));
    return next;
}

// ---------------------------------------------------------------------------

bool InboxTake(Inbox& box, VersionCodec* codec, const VersionPart& p, size_t max_bytes, ArrivedVersion& arrived)
{
    if (p.epoch != box.epoch) {
        if (std::find(box.retired.begin(), box.retired.end(), p.epoch) != box.retired.end())
            return false;
        // The partner's link started over: nothing of the old session counts.
        if (box.epoch != 0) {
            box.retired.push_back(box.epoch);
            if (box.retired.size() > 4)
                box.retired.erase(box.retired.begin());
        }
        const std::vector<uint32_t> retired = box.retired;
        box = Inbox{};
        box.epoch = p.epoch;
        box.retired = retired;
    }
    ChannelInbox& c = box.channels[p.channel];
    if (p.version <= c.written) {
        box.ack_due = true; // a repeat: our acknowledgement was lost
        return false;
    }
    const size_t max_parts = max_bytes / kFramePayload + 2;
    if (p.parts > max_parts)
        return false;
    if (p.version < c.version)
        return false; // older than the one being put together
    if (p.version > c.version || p.parts != c.parts || p.base != c.base) {
        // A resend may come against a newer base: start that one afresh.
        c.version = p.version;
        c.base = p.base;
        c.parts = p.parts;
        c.received = 0;
        c.part.assign(p.parts, std::string());
        c.have.assign(p.parts, false);
    }
    if (c.have[p.part])
        return false;
    c.have[p.part] = true;
    c.part[p.part] = p.payload;
    if (++c.received < c.parts)
        return false;
    std::string frame;
    for (const std::string& s : c.part)
        frame += s;
    const uint32_t version = c.version, base = c.base;
    c.version = 0;
    c.parts = c.received = 0;
    c.part.clear();
    c.have.clear();
    const KeptVersion* b = base ? FindKept(c.kept, base) : nullptr;
    if (base && !b) {
        box.ack_due = true; // tells the sender which version this side holds
        return false;
    }
    if (!DecompressVersion(codec, frame, b ? &b->content : nullptr, max_bytes, arrived.content)) {
        box.ack_due = true;
        return false;
    }
    arrived.channel = p.channel;
    arrived.version = version;
    return true;
}

void InboxWritten(Inbox& box, size_t channel, uint32_t version, const std::string& content)
{
    if (channel >= kFrameChannels || version <= box.channels[channel].written)
        return;
    box.channels[channel].written = version;
    Keep(box.channels[channel].kept, version, content);
    box.ack_due = true;
}

AckFrame InboxAck(const Inbox& box)
{
    AckFrame a;
    a.epoch = box.epoch;
    for (size_t i = 0; i < kFrameChannels; i++)
        a.written[i] = box.channels[i].written;
    return a;
}

bool InboxAckToSend(Inbox& box, int64_t now_ns, bool flush, AckFrame& ack)
{
    if (!box.ack_due || box.epoch == 0)
        return false;
    if (box.ack_due_ns == 0)
        box.ack_due_ns = now_ns;
    if (!flush && now_ns - box.ack_due_ns < kAckDelayNs)
        return false;
    box.ack_due = false;
    box.ack_due_ns = 0;
    ack = InboxAck(box);
    return true;
}

int64_t InboxNextAckNs(const Inbox& box)
{
    if (!box.ack_due || box.epoch == 0)
        return INT64_MAX;
    return box.ack_due_ns == 0 ? 0 : box.ack_due_ns + kAckDelayNs;
}
