#include "state/toasts.h"
#include "state/utf8_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

// Every budget over characters of 1 to 4 bytes: the cut is the longest prefix
// that ends on a character start, never a broken sequence.
TEST(Utf8Cut, EveryBudgetKeepsTheLongestWholePrefix)
{
    const struct { std::string text; std::vector<size_t> starts; } cases[] = {
        {"aé€😀b", {0, 1, 3, 6, 10, 11}}, {"Дмитрий", {0, 2, 4, 6, 8, 10, 12, 14}}, {"佐藤花子", {0, 3, 6, 9, 12}}};
    for (const auto& c : cases)
        for (size_t budget = 0; budget <= c.text.size() + 1; budget++) {
            size_t want = 0;
            for (size_t s : c.starts)
                want = s <= budget ? s : want;
            EXPECT_EQ(Utf8Cut(c.text, budget), c.text.substr(0, want)) << c.text << " at " << budget;
        }
}

TEST(Utf8Cut, MarksStayWithTheirLetterAndInvalidBytesStayAsTheyWere)
{
    // "e" + U+0301 + U+0323: a cut inside or between the marks drops the cluster.
    const std::string nfd = "ab" "e\xCC\x81\xCC\xA3" "c";
    for (size_t budget : {2, 3, 5, 6})
        EXPECT_EQ(Utf8Cut(nfd, budget), "ab") << budget;
    EXPECT_EQ(Utf8Cut(nfd, 7), "ab" "e\xCC\x81\xCC\xA3");
    std::string marks; // nothing but marks: a bare boundary rather than nothing
    for (int i = 0; i < 40; i++)
        marks += "\xCC\x81";
    EXPECT_EQ(Utf8Cut(marks, 41).size(), 40u);

    // Stray continuation bytes, a lone lead, an overlong form and a truncated
    // tail count one byte each; a cut never ends in a lead waiting for more.
    const std::string bad = "a\x80\x80" "b\xC3" "c\xC0\xAF" "d\xE2\x82";
    EXPECT_EQ(Utf8Cut(bad, 3), "a\x80\x80");
    EXPECT_EQ(Utf8Cut(bad, 5), "a\x80\x80" "b\xC3");
    EXPECT_EQ(Utf8Cut(bad, bad.size()), bad);
}

TEST(Utf8Cut, FixedBuffersAndToastsCutOnCharacters)
{
    // The display name's 64 bytes: a 63-byte cut would split a Greek letter.
    const std::string name = std::string("Дмитрий") + "ΝίκηΝίκηΝίκηΝίκηΝίκηΝίκη";
    char buf[64];
    Utf8CopyCut(buf, sizeof(buf), name.c_str());
    EXPECT_EQ(std::string(buf), name.substr(0, 62));

    char line[24];
    Utf8Format(line, sizeof(line), "Host: %s  %d", "김민준김민준", 7);
    EXPECT_STREQ(line, "Host: 김민준김민");
    EXPECT_EQ(Utf8Ellipsize("佐藤花子", 12), "佐藤花子");
    EXPECT_EQ(Utf8Ellipsize("佐藤花子", 11), "佐藤...");

    while (!TakeToasts().empty()) {
    }
    std::string body;
    for (int i = 0; i < 60; i++)
        body += "花";
    PushToast("佐藤花子佐藤花子佐藤花子佐藤花子", body, 1.0f);
    const std::vector<Toast> toasts = TakeToasts();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].title, "佐藤花子佐藤花子佐...");
    EXPECT_EQ(toasts[0].text, body.substr(0, 156) + "...");
}
