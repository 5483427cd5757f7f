// The seal between the two players: what opens, and what is refused as forged
// (altered, cut, plain, another key, reflected) or replayed (a copy, or older
// than the window), over reordering that spans the window's words.
#include "link/seal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

struct Pair
{
    SealKeyPair a_keys = MakeSealKeyPair(), b_keys = MakeSealKeyPair();
    SealSession a, b;
    Pair()
    {
        EXPECT_TRUE(StartSealSession(a, a_keys, b_keys.pk_text, 'A'));
        EXPECT_TRUE(StartSealSession(b, b_keys, a_keys.pk_text, 'B'));
    }
};

std::string Seal(SealSession& s, const std::string& plain)
{
    std::string out;
    SealDatagram(s, plain.data(), plain.size(), out);
    return out;
}

OpenResult Open(SealSession& s, const std::string& sealed, std::string* plain = nullptr)
{
    std::string out;
    const OpenResult r = OpenDatagram(s, sealed.data(), sealed.size(), out);
    if (plain)
        *plain = out;
    return r;
}

} // namespace

TEST(Seal, KeysTravelAsHexAndBadOnesAreRefused)
{
    ASSERT_TRUE(SealLibraryReady());
    const SealKeyPair k = MakeSealKeyPair();
    ASSERT_EQ(k.pk_text.size(), kSealKeyTextBytes);
    unsigned char raw[kSealKeyBytes];
    ASSERT_TRUE(ReadSealKeyText(k.pk_text, raw));
    EXPECT_EQ(0, memcmp(raw, k.pk, kSealKeyBytes));
    EXPECT_NE(MakeSealKeyPair().pk_text, k.pk_text); // fresh every time

    std::string upper = k.pk_text;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    for (const std::string& bad : {std::string(), k.pk_text.substr(1), k.pk_text + "0", std::string(64, 'g'),
                                   upper == k.pk_text ? std::string("x") : upper})
        EXPECT_FALSE(ReadSealKeyText(bad, raw)) << bad;

    SealSession s;
    EXPECT_FALSE(StartSealSession(s, k, k.pk_text, 'A')) << "the own key is never the partner's";
    EXPECT_FALSE(StartSealSession(s, k, "nokey", 'A'));
    EXPECT_FALSE(StartSealSession(s, SealKeyPair{}, MakeSealKeyPair().pk_text, 'A')) << "no own pair";
    EXPECT_FALSE(StartSealSession(s, k, std::string(64, '0'), 'A')) << "a weak partner key";
    EXPECT_FALSE(s.on);
}

TEST(Seal, BothDirectionsOpenAndNoByteOfThePlainTextShows)
{
    Pair p;
    const std::string marker = "{\"pos\":[1,2,3],\"marker\":\"KESTREL-MARKER\"}";
    const std::string to_b = Seal(p.a, "FILE:Kestrel_Packet_A.json\n" + marker);
    EXPECT_EQ(to_b.size(), 28 + marker.size() + kSealOverhead - 1);
    EXPECT_EQ(to_b.find("KESTREL"), std::string::npos);
    EXPECT_EQ(to_b.find("FILE:"), std::string::npos);
    std::string plain;
    ASSERT_EQ(Open(p.b, to_b, &plain), OpenResult::Opened);
    EXPECT_EQ(plain, "FILE:Kestrel_Packet_A.json\n" + marker);

    const std::string to_a = Seal(p.b, "FILE:__ping___B.json\n1 5.0");
    ASSERT_EQ(Open(p.a, to_a, &plain), OpenResult::Opened);
    EXPECT_EQ(plain, "FILE:__ping___B.json\n1 5.0");
    // An empty datagram seals and opens too.
    ASSERT_EQ(Open(p.b, Seal(p.a, ""), &plain), OpenResult::Opened);
    EXPECT_TRUE(plain.empty());
}

TEST(Seal, AlteredCutPlainForeignAndReflectedDatagramsAreForged)
{
    Pair p;
    const std::string good = Seal(p.a, "FILE:Kestrel_Flags_A.json\n{\"f\":1}");
    for (size_t i = 0; i < good.size(); i++) {
        std::string bad = good;
        bad[i] = (char)(bad[i] ^ 0x01); // the mark, the counter, the text and the tag alike
        EXPECT_EQ(Open(p.b, bad), OpenResult::Forged) << "byte " << i;
    }
    EXPECT_EQ(Open(p.b, good.substr(0, good.size() - 1)), OpenResult::Forged);
    EXPECT_EQ(Open(p.b, good.substr(0, kSealOverhead - 1)), OpenResult::Forged);
    EXPECT_EQ(Open(p.b, "FILE:Kestrel_Flags_A.json\n{\"f\":1}"), OpenResult::Forged);
    EXPECT_EQ(Open(p.a, good), OpenResult::Forged) << "the own datagram reflected back";

    // A third party who knows A's public key (as anyone could) seals with its own pair.
    const SealKeyPair mallory = MakeSealKeyPair();
    SealSession m;
    ASSERT_TRUE(StartSealSession(m, mallory, p.a_keys.pk_text, 'B'));
    EXPECT_EQ(Open(p.a, Seal(m, "FILE:Kestrel_Flags_B.json\n{}")), OpenResult::Forged);
    // Nothing of that moved B's window: the genuine datagram still opens, once.
    EXPECT_EQ(Open(p.b, good), OpenResult::Opened);
    EXPECT_EQ(Open(p.b, good), OpenResult::Replayed);
}

TEST(Seal, ReorderedWithinTheWindowOpensOnceAndOlderIsReplayed)
{
    Pair p;
    const int n = 6000;
    std::vector<std::string> sent;
    for (int i = 0; i < n; i++)
        sent.push_back(Seal(p.a, "FILE:x_A\n" + std::to_string(i)));
    // Each datagram moved by up to 1500 places: within the window, across its words.
    std::vector<int> order(n);
    for (int i = 0; i < n; i++)
        order[i] = i;
    std::mt19937 rng(7);
    for (int i = 0; i + 1 < n; i += 1500)
        std::shuffle(order.begin() + i, order.begin() + std::min(n, i + 1500), rng);
    int opened = 0;
    for (int i : order) {
        std::string plain;
        ASSERT_EQ(Open(p.b, sent[(size_t)i], &plain), OpenResult::Opened) << i;
        EXPECT_EQ(plain, "FILE:x_A\n" + std::to_string(i));
        opened++;
    }
    EXPECT_EQ(opened, n);
    for (int i = n - (int)kSealWindow; i < n; i += 97)
        EXPECT_EQ(Open(p.b, sent[(size_t)i]), OpenResult::Replayed) << i;
    // Older than the window: refused even though it was never taken.
    Pair q;
    const std::string first = Seal(q.a, "FILE:x_A\nfirst");
    for (uint64_t i = 0; i < kSealWindow; i++)
        Seal(q.a, "skip");
    EXPECT_EQ(Open(q.b, Seal(q.a, "FILE:x_A\nlatest")), OpenResult::Opened);
    EXPECT_EQ(Open(q.b, first), OpenResult::Replayed);
}

TEST(Seal, NewKeysRefuseWhatTheOldOnesSealed)
{
    Pair p;
    const std::string old = Seal(p.a, "FILE:x_A\nold");
    ASSERT_EQ(Open(p.b, old), OpenResult::Opened);
    // New keys for a new link session: what was sealed before opens no more.
    const SealKeyPair a2 = MakeSealKeyPair();
    ASSERT_TRUE(StartSealSession(p.b, p.b_keys, a2.pk_text, 'B'));
    EXPECT_EQ(Open(p.b, old), OpenResult::Forged);
    EndSealSession(p.b);
    EXPECT_FALSE(p.b.on);
    EXPECT_EQ(Open(p.b, old), OpenResult::Forged);
}
