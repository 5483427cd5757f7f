// The compact framing between a sender's outbox and a receiver's inbox, over a
// wire that loses, repeats and reorders: the partner ends with exactly the
// bytes written, never goes back to an older version, and versions after the
// first travel small, compressed against what it acknowledged.
#include "link/channel_versions.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string Skeleton(int frame)
{
    std::string s = "{\"bones\":[";
    for (int j = 0; j < 80; j++) {
        char b[64];
        snprintf(b, sizeof(b), "%s[%.4f,%.4f,%.4f]", j ? "," : "", 0.1 * j + 0.001 * frame, 0.25, -0.5 + 0.002 * frame);
        s += b;
    }
    return s + "]}";
}

struct Ends
{
    VersionCodec* codec = VersionCodecOpen();
    Outbox out;
    Inbox in;
    std::vector<ArrivedVersion> written;
    ~Ends() { VersionCodecClose(codec); }

    // Delivers datagrams to the receiver, writes what completes, returns the ack.
    std::string Receive(const std::vector<std::string>& datagrams)
    {
        for (const std::string& d : datagrams) {
            VersionPart p;
            ArrivedVersion v;
            if (DecodeVersion(d.data(), d.size(), p) && InboxTake(in, codec, p, 1 << 20, v)) {
                InboxWritten(in, v.channel, v.version, v.content);
                written.push_back(v);
            }
        }
        in.ack_due = false;
        return EncodeAck(InboxAck(in));
    }
    void TakeAck(const std::string& d)
    {
        AckFrame a;
        ASSERT_TRUE(DecodeAck(d.data(), d.size(), a));
        OutboxTakeAck(out, a);
    }
};

} // namespace

// Fault caught: a version compressed against a base the receiver does not
// hold, or a repeat of an old version written over a newer one.
TEST(ChannelVersions, LatestWinsAndLaterVersionsTravelAgainstTheAcknowledgedOne)
{
    Ends e;
    e.out.epoch = 77;
    const std::vector<std::string> first = OutboxSendNew(e.out, e.codec, 4, 1, Skeleton(1), 0);
    ASSERT_FALSE(first.empty());
    // Repeated and reordered: written once, exactly.
    std::vector<std::string> mixed(first.rbegin(), first.rend());
    mixed.insert(mixed.end(), first.begin(), first.end());
    const std::string ack = e.Receive(mixed);
    ASSERT_EQ(e.written.size(), 1u);
    EXPECT_EQ(e.written[0].content, Skeleton(1));
    EXPECT_EQ(OutboxNextResendNs(e.out, 1.0), ResendAfterNs(1.0, 1)); // unacknowledged: due again
    e.TakeAck(ack);
    EXPECT_EQ(OutboxNextResendNs(e.out, 1.0), INT64_MAX);

    // The next version against version 1: one small datagram.
    const std::vector<std::string> second = OutboxSendNew(e.out, e.codec, 4, 2, Skeleton(2), 10);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_LT(second[0].size(), Skeleton(2).size() / 4);
    // Version 3 overtakes it on the wire; version 2, late, is not written over it.
    const std::vector<std::string> third = OutboxSendNew(e.out, e.codec, 4, 3, Skeleton(3), 20);
    e.Receive(third);
    const std::string ack3 = e.Receive(second);
    ASSERT_EQ(e.written.size(), 2u);
    EXPECT_EQ(e.written[1].version, 3u);
    EXPECT_EQ(e.written[1].content, Skeleton(3));
    e.TakeAck(ack3);
    EXPECT_EQ(OutboxResends(e.out, e.codec, 1000000000, 1.0).size(), 0u); // nothing repeated blind
}

// Fault caught: a partner whose machine is busy acknowledges 30-50 ms after
// each send while its pings still say 1 ms: every version went out twice,
// the resend 10 ms after the first.
// Fault caught: an acknowledgement per version (each one wakes the sender),
// or one held back for good (the sender resends what the partner has).
TEST(ChannelVersions, ABurstSharesOneAcknowledgementThatWaitsOrRidesAlong)
{
    Ends e;
    e.out.epoch = 5;
    const int64_t t0 = 1000000000;
    AckFrame ack;
    for (size_t ch = 0; ch < 3; ch++) {
        for (const std::string& d : OutboxSendNew(e.out, e.codec, ch, 1, Skeleton((int)ch), t0)) {
            VersionPart p;
            ArrivedVersion v;
            ASSERT_TRUE(DecodeVersion(d.data(), d.size(), p));
            if (InboxTake(e.in, e.codec, p, 1 << 20, v))
                InboxWritten(e.in, v.channel, v.version, v.content);
        }
        EXPECT_FALSE(InboxAckToSend(e.in, t0 + (int64_t)ch * 300000, false, ack)); // the burst goes on
    }
    EXPECT_EQ(InboxNextAckNs(e.in), t0 + kAckDelayNs);
    EXPECT_FALSE(InboxAckToSend(e.in, t0 + kAckDelayNs - 1, false, ack));
    ASSERT_TRUE(InboxAckToSend(e.in, t0 + kAckDelayNs, false, ack));
    EXPECT_EQ(ack.epoch, 5u);
    EXPECT_EQ(ack.written[0] + ack.written[1] + ack.written[2], 3u); // all three in one
    EXPECT_EQ(InboxNextAckNs(e.in), INT64_MAX);
    EXPECT_FALSE(InboxAckToSend(e.in, t0 + 2 * kAckDelayNs, false, ack));

    // A datagram going to the partner anyway takes the due one along at once.
    for (const std::string& d : OutboxSendNew(e.out, e.codec, 0, 2, Skeleton(9), t0)) {
        VersionPart p;
        ArrivedVersion v;
        ASSERT_TRUE(DecodeVersion(d.data(), d.size(), p));
        if (InboxTake(e.in, e.codec, p, 1 << 20, v))
            InboxWritten(e.in, v.channel, v.version, v.content);
    }
    ASSERT_TRUE(InboxAckToSend(e.in, t0 + 3 * kAckDelayNs, true, ack));
    EXPECT_EQ(ack.written[0], 2u);
}

TEST(ChannelVersions, ResendsWaitForTheAcknowledgementsOwnRoundTrip)
{
    Ends e;
    e.out.epoch = 9;
    const int64_t ms = 1000000;
    int64_t now = 0;
    for (int v = 1; v <= 20; v++, now += 100 * ms) {
        const std::string ack = e.Receive(OutboxSendNew(e.out, e.codec, 2, (uint32_t)v, Skeleton(v), now));
        AckFrame a;
        ASSERT_TRUE(DecodeAck(ack.data(), ack.size(), a));
        OutboxTakeAck(e.out, a, now + (v % 2 ? 30 : 50) * ms);
    }
    EXPECT_NEAR(e.out.ack_rtt_ms, 40.0, 10.0);
    OutboxSendNew(e.out, e.codec, 2, 21, Skeleton(21), now);
    EXPECT_TRUE(OutboxResends(e.out, e.codec, now + 55 * ms, 1.0).empty()); // later than any acknowledgement came
    EXPECT_GT(OutboxNextResendNs(e.out, 1.0), now + 55 * ms);
    EXPECT_LE(OutboxNextResendNs(e.out, 1.0), now + 200 * ms); // but not for ever
    // A resent version's acknowledgement measures nothing (it answers either send).
    const double before = e.out.ack_rtt_ms;
    const std::vector<std::string> again = OutboxResends(e.out, e.codec, OutboxNextResendNs(e.out, 1.0), 1.0);
    ASSERT_FALSE(again.empty());
    const std::string ack = e.Receive(again);
    AckFrame a;
    ASSERT_TRUE(DecodeAck(ack.data(), ack.size(), a));
    OutboxTakeAck(e.out, a, now + 900 * ms);
    EXPECT_EQ(e.out.ack_rtt_ms, before);
    EXPECT_EQ(OutboxNextResendNs(e.out, 1.0), INT64_MAX);
}

// Fault caught: a receiver that started over (or lost the base) is sent
// frames it cannot decode for ever.
TEST(ChannelVersions, AReceiverThatLostItsBasesIsServedAgain)
{
    Ends e;
    e.out.epoch = 5;
    e.TakeAck(e.Receive(OutboxSendNew(e.out, e.codec, 0, 1, "{\"a\":1}", 0)));
    e.in = Inbox{}; // the partner's link restarted
    const std::vector<std::string> v2 = OutboxSendNew(e.out, e.codec, 0, 2, "{\"a\":2}", 0);
    const std::string ack = e.Receive(v2);
    EXPECT_EQ(e.written.size(), 1u); // against version 1, which it no longer holds
    e.TakeAck(ack);                  // says it holds nothing of channel 0
    const std::vector<std::string> again = OutboxResends(e.out, e.codec, ResendAfterNs(1.0, 1), 1.0);
    ASSERT_FALSE(again.empty());
    e.Receive(again);
    ASSERT_EQ(e.written.size(), 2u);
    EXPECT_EQ(e.written[1].content, "{\"a\":2}");
}

// Fault caught: under loss a version never completes, or a wrong byte lands.
TEST(ChannelVersions, UnderLossEveryLastVersionArrivesByteForByte)
{
    Ends e;
    e.out.epoch = 9;
    std::mt19937 rng(3);
    std::bernoulli_distribution lose(0.2);
    int64_t now = 0;
    const double rtt = 5.0;
    const auto lossy = [&](std::vector<std::string> ds) {
        std::vector<std::string> kept;
        for (std::string& d : ds)
            if (!lose(rng))
                kept.push_back(std::move(d));
        std::shuffle(kept.begin(), kept.end(), rng);
        return kept;
    };
    for (int v = 1; v <= 200; v++) {
        for (size_t ch = 0; ch < kFrameChannels; ch++) {
            const std::string ack = e.Receive(lossy(OutboxSendNew(e.out, e.codec, ch, (uint32_t)v, Skeleton(v * 7 + (int)ch), now)));
            if (!lose(rng))
                e.TakeAck(ack);
        }
        now += 7000000; // 144 Hz
        for (int k = 0; k < 3; k++) {
            const std::string ack = e.Receive(lossy(OutboxResends(e.out, e.codec, now, rtt)));
            if (!lose(rng))
                e.TakeAck(ack);
        }
    }
    // Then quiet: the resends alone finish the job.
    for (int k = 0; k < 40 && OutboxNextResendNs(e.out, rtt) != INT64_MAX; k++) {
        now = OutboxNextResendNs(e.out, rtt);
        const std::string ack = e.Receive(lossy(OutboxResends(e.out, e.codec, now, rtt)));
        if (!lose(rng))
            e.TakeAck(ack);
    }
    EXPECT_EQ(OutboxNextResendNs(e.out, rtt), INT64_MAX);
    uint32_t newest[kFrameChannels] = {};
    for (const ArrivedVersion& v : e.written) {
        EXPECT_GT(v.version, newest[v.channel]); // never back
        newest[v.channel] = v.version;
        EXPECT_EQ(v.content, Skeleton((int)v.version * 7 + (int)v.channel));
    }
    for (uint32_t n : newest)
        EXPECT_EQ(n, 200u);
}

// Fault caught: a forged or cut datagram taken as a version, or memory
// reserved for a part count no file needs.
TEST(ChannelVersions, MalformedDatagramsAreRefused)
{
    VersionPart p;
    std::string d = EncodeVersion(1, 2, 3, 0, "xyz")[0];
    EXPECT_TRUE(DecodeVersion(d.data(), d.size(), p));
    EXPECT_EQ(p.payload, "xyz");
    EXPECT_FALSE(DecodeVersion(d.data(), kVersionHeaderBytes - 1, p));
    std::string bad = d;
    bad[8] = 6; // no channel 6
    EXPECT_FALSE(DecodeVersion(bad.data(), bad.size(), p));
    bad = d;
    bad[18] = 1; // part 1 of 1
    EXPECT_FALSE(DecodeVersion(bad.data(), bad.size(), p));
    bad = d;
    bad[14] = 3; // compressed against itself
    EXPECT_FALSE(DecodeVersion(bad.data(), bad.size(), p));
    EXPECT_EQ(FrameKind("FILE:x\n", 7), 0);
    AckFrame a;
    const std::string ack = EncodeAck(a);
    EXPECT_FALSE(DecodeAck(ack.data(), ack.size() - 1, a));

    Inbox in;
    VersionCodec* codec = VersionCodecOpen();
    ArrivedVersion v;
    p.epoch = 1;
    p.channel = 0;
    p.version = 1;
    p.base = 0;
    p.part = 0;
    p.parts = 60000; // far more than a 1 MiB file needs
    EXPECT_FALSE(InboxTake(in, codec, p, 1 << 20, v));
    EXPECT_TRUE(in.channels[0].part.empty());
    // A frame that is not zstd, or decodes past the size limit: nothing written.
    p.parts = 1;
    p.payload = "not a frame";
    EXPECT_FALSE(InboxTake(in, codec, p, 1 << 20, v));
    std::string big;
    ASSERT_TRUE(CompressVersion(codec, std::string(5000, 'x'), nullptr, big));
    p.version = 2;
    p.payload = big;
    EXPECT_FALSE(InboxTake(in, codec, p, 4000, v));
    VersionCodecClose(codec);

    EXPECT_TRUE(PingAnnouncesFraming("3 1234.5 kz1"));
    EXPECT_FALSE(PingAnnouncesFraming("3 1234.5"));
    EXPECT_FALSE(PingAnnouncesFraming("3 kz12"));
}
