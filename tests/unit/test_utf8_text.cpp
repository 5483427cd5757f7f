#include "state/toasts.h"
#include "state/utf8_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A cut must be a prefix that decodes without a replacement where the input
// had none, and that fits the budget.
void ExpectCleanPrefix(const std::string& text, size_t budget, const std::string& cut)
{
    ASSERT_LE(cut.size(), budget);
    ASSERT_EQ(text.compare(0, cut.size(), cut), 0);
    for (size_t pos = 0; pos < cut.size();) {
        unsigned cp;
        pos += Utf8Decode(cut.data(), cut.size(), pos, cp);
        EXPECT_NE(cp, 0xFFFDu) << "broken sequence in a cut at " << budget << " of " << text;
    }
}

} // namespace

TEST(Utf8Cut, EveryBudgetEndsOnACharacterAndKeepsAsMuchAsFits)
{
    // 1, 2, 3 and 4 byte characters, and names players write.
    const struct { std::string text; std::vector<size_t> starts; } cases[] = {
        {"aé€😀b", {0, 1, 3, 6, 10, 11}},
        {"Дмитрий", {0, 2, 4, 6, 8, 10, 12, 14}},
        {"佐藤花子", {0, 3, 6, 9, 12}},
        {"Nguyễn", {0, 1, 2, 3, 4, 7, 8}},
    };
    for (const auto& c : cases) {
        for (size_t budget = 0; budget <= c.text.size() + 1; budget++) {
            const std::string cut = Utf8Cut(c.text, budget);
            ExpectCleanPrefix(c.text, budget, cut);
            // The largest boundary within the budget, not merely some boundary.
            size_t want = 0;
            for (size_t s : c.starts)
                if (s <= budget)
                    want = s;
            EXPECT_EQ(cut.size(), want) << c.text << " at " << budget;
        }
    }
}

TEST(Utf8Cut, CombiningMarksStayWithTheirBaseAndInvalidBytesStaySafe)
{
    // "e" + U+0301 (two bytes) + U+0323: the cut inside or between the marks
    // drops the whole cluster instead of leaving a bare "e".
    const std::string nfd = "ab" "e\xCC\x81\xCC\xA3" "c";
    EXPECT_EQ(Utf8Cut(nfd, 2), "ab");
    EXPECT_EQ(Utf8Cut(nfd, 3), "ab");
    EXPECT_EQ(Utf8Cut(nfd, 5), "ab");
    EXPECT_EQ(Utf8Cut(nfd, 6), "ab");
    EXPECT_EQ(Utf8Cut(nfd, 7), "ab" "e\xCC\x81\xCC\xA3");
    // Nothing but marks: the cut settles for a boundary rather than nothing.
    std::string marks;
    for (int i = 0; i < 40; i++)
        marks += "\xCC\x81";
    EXPECT_EQ(Utf8Cut(marks, 41).size(), 40u);

    // Stray continuation bytes, a lone lead byte, an overlong form and a
    // truncated sequence at the end: each invalid byte is its own unit, kept
    // as it was, and a cut never ends with a lead byte waiting for more.
    const std::string bad = "a\x80\x80" "b\xC3" "c\xC0\xAF" "d\xE2\x82";
    EXPECT_EQ(Utf8Cut(bad, 3), "a\x80\x80");
    EXPECT_EQ(Utf8Cut(bad, 5), "a\x80\x80" "b\xC3");
    EXPECT_EQ(Utf8Cut(bad, bad.size()), bad);
    for (size_t budget = 0; budget <= bad.size(); budget++)
        EXPECT_LE(Utf8Cut(bad, budget).size(), budget);
}

TEST(Utf8Cut, FixedBuffersEllipsisAndToastsCutOnCharacters)
{
    // The display name's 64-byte buffer with a 22-character Cyrillic name
    // (44 bytes) plus a long Greek tail: 63 bytes would split a character.
    const std::string name = std::string("Дмитрий") + "ΝίκηΝίκηΝίκηΝίκηΝίκηΝίκη";
    char buf[64];
    Utf8CopyCut(buf, sizeof(buf), name.c_str());
    ExpectCleanPrefix(name, 63, buf);
    EXPECT_EQ(std::string(buf).size(), 62u);

    char line[24];
    Utf8Format(line, sizeof(line), "Host: %s  %d", "김민준김민준", 7);
    EXPECT_STREQ(line, "Host: 김민준김민"); // 6 + 15 bytes, the next one would not fit
    Utf8Format(line, sizeof(line), "%s", "e\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81\xCC\x81");
    EXPECT_LE(strlen(line), 23u);

    EXPECT_EQ(Utf8Ellipsize("佐藤花子", 12), "佐藤花子");
    EXPECT_EQ(Utf8Ellipsize("佐藤花子", 11), "佐藤...");

    // Toasts: a title and a body in 3-byte characters, both over their budget.
    while (!TakeToasts().empty()) {
    }
    std::string body;
    for (int i = 0; i < 60; i++)
        body += "花";
    PushToast("佐藤花子佐藤花子佐藤花子佐藤花子", body, 1.0f);
    const std::vector<Toast> toasts = TakeToasts();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].title, "佐藤花子佐藤花子佐...");
    EXPECT_EQ(toasts[0].text.size(), 156u + 3u);
    ExpectCleanPrefix(body, 157, toasts[0].text.substr(0, 156));
}
