// Chunking, reassembly and the scan of the channel-file relay.
#include "link/channel_files.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

std::string Pattern(size_t size)
{
    std::string s(size, 0);
    for (size_t i = 0; i < size; i++)
        s[i] = (char)('a' + (i * 7 + i / 1200) % 26);
    return s;
}

// Splits a datagram into (name, body) as the dispatch does.
std::pair<std::string, std::string> Split(const std::string& datagram)
{
    const size_t nl = datagram.find('\n');
    return {datagram.substr(5, nl - 5), datagram.substr(nl + 1)};
}

// Feeds datagrams for role 2 (B), which takes A's files.
CompletedFiles Receive(ReassemblyTable& table, const std::vector<std::string>& datagrams)
{
    CompletedFiles done;
    for (const std::string& d : datagrams) {
        const auto [name, body] = Split(d);
        AcceptChannelFile(table, name, body, 2, done);
    }
    return done;
}

} // namespace

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

TEST(ChannelNames, OwnNamesInChannelOrderAndLetters)
{
    const std::vector<std::string> a = ChannelFileNames(1);
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(a[0], "Kestrel_Packet_A.json");
    EXPECT_EQ(a[2], "Kestrel_enemy_unified_A.json");
    EXPECT_EQ(a[5], "Kestrel_Companion_A.json");
    EXPECT_EQ(ChannelFileNames(2)[3], "Kestrel_Flags_B.json");
    EXPECT_EQ(ChannelFileNames(7)[4], "Kestrel_Joints_B.json"); // any role but 1 is B
}

TEST(ChannelNames, PartnerTestAndTheExactNameRule)
{
    EXPECT_TRUE(IsPartnerFile("Kestrel_Flags_A.json", 2));
    EXPECT_TRUE(IsPartnerFile("Kestrel_Flags_B", 1)); // no ".json" is fine
    EXPECT_TRUE(IsPartnerFile("_B", 1));
    EXPECT_FALSE(IsPartnerFile("Kestrel_Flags_A.json", 1)); // own letter
    EXPECT_FALSE(IsPartnerFile("B", 1));
    EXPECT_FALSE(IsPartnerFile("Kestrel_FlagsB.json", 1));

    EXPECT_EQ(PartnerChannelIndex("Kestrel_Anim_A.json", 2), 1);
    EXPECT_EQ(PartnerChannelIndex("Kestrel_Anim_A", 2), -1);
    EXPECT_EQ(PartnerChannelIndex("../Kestrel_Anim_A.json", 2), -1);
    EXPECT_EQ(PartnerChannelIndex("Other_A.json", 2), -1);
}

// ---------------------------------------------------------------------------
// Chunking and reassembly
// ---------------------------------------------------------------------------

TEST(Chunking, WholeUpTo1200BytesChunkedAbove)
{
    const std::vector<std::string> whole = FileDatagrams("Kestrel_Packet_A.json", Pattern(1200), 5);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0], "FILE:Kestrel_Packet_A.json\n" + Pattern(1200));

    const std::string content = Pattern(1201);
    const std::vector<std::string> chunks = FileDatagrams("Kestrel_Packet_A.json", content, 9);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], "FILE:Kestrel_Packet_A.json\nCHUNK 9 0 2\n" + content.substr(0, 1200));
    EXPECT_EQ(chunks[1], "FILE:Kestrel_Packet_A.json\nCHUNK 9 1 2\n" + content.substr(1200));

    EXPECT_EQ(FileDatagrams("n", Pattern(100 * 1024), 1).size(), 86u); // ceil(102400 / 1200)
}

TEST(Reassembly, ChunksInAnyOrderCompleteTheFile)
{
    const std::string content = Pattern(10 * 1200 + 17);
    std::vector<std::string> chunks = FileDatagrams("Kestrel_Joints_A.json", content, 3);
    std::reverse(chunks.begin(), chunks.end());
    std::swap(chunks[2], chunks[7]);
    ReassemblyTable table;
    const CompletedFiles done = Receive(table, chunks);
    ASSERT_EQ(done.count("Kestrel_Joints_A.json"), 1u);
    EXPECT_EQ(done.at("Kestrel_Joints_A.json"), content);
    EXPECT_FALSE(table["Kestrel_Joints_A.json"].active); // ready for the next transfer
}

TEST(Reassembly, DuplicatesChangeNothingAndRepeatsCompleteAgain)
{
    const std::string content = Pattern(3000);
    const std::vector<std::string> chunks = FileDatagrams("Kestrel_Anim_A.json", content, 1);
    ReassemblyTable table;
    // 0, 0, 1: the duplicate is not counted, so the file is still incomplete.
    EXPECT_TRUE(Receive(table, {chunks[0], chunks[0], chunks[1]}).empty());
    EXPECT_EQ(table["Kestrel_Anim_A.json"].received, 2u);
    EXPECT_EQ(Receive(table, {chunks[2]}).at("Kestrel_Anim_A.json"), content);
    // The sender's second copy of the same transfer completes it once more.
    EXPECT_EQ(Receive(table, chunks).at("Kestrel_Anim_A.json"), content);
}

TEST(Reassembly, ALostChunkIsFilledByTheNextCopy)
{
    const std::string content = Pattern(5000);
    const std::vector<std::string> chunks = FileDatagrams("Kestrel_Anim_A.json", content, 4);
    ReassemblyTable table;
    std::vector<std::string> first = chunks;
    first.erase(first.begin() + 2);
    EXPECT_TRUE(Receive(table, first).empty());
    EXPECT_EQ(Receive(table, {chunks[2]}).at("Kestrel_Anim_A.json"), content);
}

TEST(Reassembly, AnotherTransferDiscardsTheIncompleteOne)
{
    const std::string older = Pattern(2500), newer = Pattern(2600);
    const std::vector<std::string> a = FileDatagrams("Kestrel_Flags_A.json", older, 7);
    const std::vector<std::string> b = FileDatagrams("Kestrel_Flags_A.json", newer, 8);
    ReassemblyTable table;
    EXPECT_TRUE(Receive(table, {a[0], a[1], b[0]}).empty());
    EXPECT_TRUE(Receive(table, {a[2]}).empty()); // 7 restarts, discarding 8's chunk
    const CompletedFiles done = Receive(table, {b[0], b[1], b[2]});
    EXPECT_EQ(done.at("Kestrel_Flags_A.json"), newer);
}

TEST(Reassembly, BadHeadersAreDropped)
{
    const std::string name = "Kestrel_Packet_A.json";
    for (const char* body : {"CHUNK 1 2 2\nx", "CHUNK 1 0 0\nx", "CHUNK 1 0\nx", "CHUNK 1\nx", "CHUNK \nx",
                             "CHUNK 1 x 2\nx", "CHUNK -1 0 2\nx", "CHUNK 1 0 2", "CHUNK 1 0 99999999\nx"}) {
        ReassemblyTable table;
        CompletedFiles done;
        AcceptChannelFile(table, name, body, 2, done);
        EXPECT_TRUE(done.empty()) << body;
        EXPECT_FALSE(table[name].active) << body;
    }
    // Spaces before each number are allowed; a count mismatch within a transfer is not.
    ReassemblyTable table;
    CompletedFiles done;
    AcceptChannelFile(table, name, "CHUNK  1  0  2\nab", 2, done);
    AcceptChannelFile(table, name, "CHUNK 1 1 3\ncd", 2, done);
    EXPECT_TRUE(done.empty());
    AcceptChannelFile(table, name, "CHUNK 1 1 2\ncd", 2, done);
    EXPECT_EQ(done.at(name), "abcd");
}

TEST(Reassembly, MemoryStaysBounded)
{
    const std::string name = "Kestrel_Packet_A.json";
    ReassemblyTable table;
    CompletedFiles done;
    // Count past the 1 MiB limit, and a payload no sender of ours makes.
    AcceptChannelFile(table, name, "CHUNK 1 0 " + std::to_string(kMaxChunkCount + 1) + "\nx", 2, done);
    EXPECT_FALSE(table[name].active);
    AcceptChannelFile(table, name, "CHUNK 1 0 2\n" + std::string(1201, 'x'), 2, done);
    EXPECT_FALSE(table[name].active);
    AcceptChannelFile(table, name, "CHUNK 1 0 " + std::to_string(kMaxChunkCount) + "\nx", 2, done);
    EXPECT_TRUE(table[name].active);
}

TEST(Receiving, OnlyThePartnersSixFilesAreTaken)
{
    ReassemblyTable table;
    CompletedFiles done;
    AcceptChannelFile(table, "Kestrel_Packet_B.json", "own letter", 2, done);
    AcceptChannelFile(table, "Foreign_A.json", "not a channel", 2, done);
    AcceptChannelFile(table, "../../evil_A.json", "escape", 2, done);
    AcceptChannelFile(table, "sub/Kestrel_Packet_A.json", "path", 2, done);
    AcceptChannelFile(table, "Kestrel_Packet_A", "no suffix", 2, done);
    EXPECT_TRUE(done.empty());
    AcceptChannelFile(table, "Kestrel_Packet_A.json", "", 2, done); // an empty file is a file
    AcceptChannelFile(table, "Kestrel_Anim_A.json", "1", 2, done);
    AcceptChannelFile(table, "Kestrel_Anim_A.json", "2", 2, done); // newest in a turn wins
    EXPECT_EQ(done, (CompletedFiles{{"Kestrel_Packet_A.json", ""}, {"Kestrel_Anim_A.json", "2"}}));
}

// ---------------------------------------------------------------------------
// Files on disk
// ---------------------------------------------------------------------------

TEST(ChannelFilesOnDisk, ScanSendsEachChangeThreeTimes)
{
    GameDirectory dir;
    ChannelSender sender = MakeChannelSender(1);
    std::vector<std::pair<std::string, uint32_t>> sent;
    const SendFileFn record = [&](const std::string& name, const std::string&, uint32_t transfer) {
        sent.push_back({name, transfer});
    };
    ScanOwnFiles(sender, record);
    EXPECT_TRUE(sent.empty()); // missing files are not sent

    GameDirectory::Write("Kestrel_Flags_A.json", "v1");
    GameDirectory::Write("Kestrel_Anim_A.json", ""); // empty: never sent
    GameDirectory::Write("Kestrel_Flags_B.json", "partner's: not ours to send");
    for (int i = 0; i < 5; i++)
        ScanOwnFiles(sender, record);
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, uint32_t>>(3, {"Kestrel_Flags_A.json", 1})));

    sent.clear();
    GameDirectory::Write("Kestrel_Flags_A.json", "v2");
    ScanOwnFiles(sender, record);
    GameDirectory::Write("Kestrel_Flags_A.json", "v3"); // changes between copies
    for (int i = 0; i < 5; i++)
        ScanOwnFiles(sender, record);
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, uint32_t>>{
                        {"Kestrel_Flags_A.json", 2}, {"Kestrel_Flags_A.json", 3},
                        {"Kestrel_Flags_A.json", 3}, {"Kestrel_Flags_A.json", 3}}));

    // Where the partner acknowledges: each change once, and no scan beat
    // wakes for repeats that would send nothing.
    sent.clear();
    sender.repeats = 0;
    GameDirectory::Write("Kestrel_Flags_A.json", "v4");
    for (int i = 0; i < 5; i++)
        ScanOwnFiles(sender, record);
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, uint32_t>>{{"Kestrel_Flags_A.json", 4}}));
}

TEST(ChannelFilesOnDisk, CompletedFilesReplaceWholeAndLeaveNoTemporary)
{
    GameDirectory dir;
    GameDirectory::Write("Kestrel_Packet_A.json", "old");
    WriteCompletedFiles({{"Kestrel_Packet_A.json", "new content"}, {"Kestrel_Anim_A.json", ""}});
    EXPECT_EQ(GameDirectory::Read("Kestrel_Packet_A.json"), "new content");
    EXPECT_TRUE(GameDirectory::Exists("Kestrel_Anim_A.json"));
    EXPECT_EQ(GameDirectory::Read("Kestrel_Anim_A.json"), "");
    EXPECT_FALSE(GameDirectory::Exists("Kestrel_Packet_A.json.tmp"));
}

TEST(ChannelFilesOnDisk, HashStartsFromTheLinksOwnValue)
{
    EXPECT_EQ(ChannelHash(""), 0x14650FB0739D0383ull);
    EXPECT_EQ(ChannelHash("a"), (0x14650FB0739D0383ull ^ 'a') * 0x100000001B3ull);
    EXPECT_NE(ChannelHash("ab"), ChannelHash("ba"));
}

// ---------------------------------------------------------------------------
// Own files under a folder watch
// ---------------------------------------------------------------------------

namespace {

std::string JsonVersion(size_t size, int v)
{
    std::string s = "{\"v\":" + std::to_string(v) + ",\"p\":\"";
    while (s.size() + 2 < size)
        s += (char)('a' + (s.size() + (size_t)v) % 26);
    return s + "\"}";
}

// Runs the sender as the link thread does (reads as they come due, scans on
// their beat) for `ms` of real time.
void Pump(ChannelSender& sender, const SendFileFn& send, int ms)
{
    const int64_t until = SteadyNowNs() + (int64_t)ms * 1000000;
    int64_t scan = SteadyNowNs();
    while (SteadyNowNs() < until) {
        const int64_t now = SteadyNowNs();
        SendFinishedOwnFiles(sender, send, now);
        if (now - scan >= 1000000000 / 30) {
            scan = now;
            ScanOwnFiles(sender, send, now);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace

TEST(OwnFileWatch, WholeJsonIsTellableFromAPrefix)
{
    EXPECT_TRUE(LooksWholeJson("{\"a\":[1,{\"b\":\"}\"}]}\r\n") && LooksWholeJson(" [1,2] "));
    const std::string whole = JsonVersion(300, 3);
    for (size_t cut : {size_t(1), size_t(10), whole.size() - 1})
        EXPECT_FALSE(LooksWholeJson(whole.substr(0, cut))) << cut;
    for (const char* text : {"{\"a\":\"\\\"}\"", "{} {}", "v1"}) // an escaped quote keeps the string open
        EXPECT_FALSE(LooksWholeJson(text)) << text;
}

// A writer that keeps its handle and pauses 200 ms between three pieces, with
// the watch reopened between the pieces as lost notices do: only the whole
// file is ever sent.
TEST(OwnFileWatch, PausedWriterIsNeverSentHalfWrittenAcrossLostNotices)
{
    GameDirectory dir;
    ChannelSender sender = MakeChannelSender(1);
    WatchOwnFiles(sender);
    ASSERT_NE(sender.watch, nullptr);
    std::vector<std::string> sent;
    const SendFileFn record = [&](const std::string& name, const std::string& content, uint32_t) {
        if (name == "Kestrel_Joints_A.json")
            sent.push_back(content);
    };
    const std::string body = JsonVersion(1000, 1);
    FILE* f = fopen(GameDirectory::Data("Kestrel_Joints_A.json").string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (size_t piece = 0; piece < 3; piece++) {
        const size_t from = piece * 400, to = std::min(body.size(), from + 400);
        fwrite(body.data() + from, 1, to - from, f);
        fflush(f);
        Pump(sender, record, 200);
        WatchOwnFiles(sender); // what lost notices do
    }
    fclose(f);
    Pump(sender, record, 300);
    StopWatchingOwnFiles(sender);
    ASSERT_FALSE(sent.empty());
    for (const std::string& s : sent)
        EXPECT_EQ(s, body) << s.size() << " of " << body.size() << " bytes sent";
}

// The watch opened and closed over and over while the files change: a close
// must not free what the system still writes into. (Linux spends about 10 ms
// in each close of a notice queue, so this takes some 20 s there.)
TEST(OwnFileWatch, OpenedAndClosedTwoThousandTimesWhileFilesChange)
{
    GameDirectory dir;
    const std::vector<std::string> names = ChannelFileNames(1);
    const std::string folder = DataFolder();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int v = 0; !stop.load(); v++) {
            GameDirectory::Write(names[(size_t)v % names.size()], JsonVersion(200, v));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    int opened = 0, events = 0;
    for (int i = 0; i < 2000; i++) {
        FolderWatch* w = FolderWatchOpen(folder, names);
        opened += w ? 1 : 0;
        if (i % 2 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::vector<FolderEvent> taken;
        bool lost = false;
        FolderWatchTake(w, taken, lost);
        events += (int)taken.size();
        FolderWatchClose(w);
    }
    stop.store(true);
    writer.join();
    EXPECT_EQ(opened, 2000);
    EXPECT_GT(events, 0);
}

TEST(OwnFileWatch, OnlyTheOwnNamesAreReported)
{
    GameDirectory dir;
    FolderWatch* w = FolderWatchOpen(DataFolder(), ChannelFileNames(1));
    ASSERT_NE(w, nullptr);
    for (const char* name : {"OtherScript_log.json", "Kestrel_Flags_B.json", "Kestrel_Flags_A.json"})
        GameDirectory::Write(name, "{}");
    std::vector<FolderEvent> all, taken;
    bool lost = false;
    for (int i = 0; i < 200 && all.empty(); i++, std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        FolderWatchTake(w, all, lost);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    FolderWatchTake(w, taken, lost);
    all.insert(all.end(), taken.begin(), taken.end());
    FolderWatchClose(w);
    ASSERT_FALSE(all.empty());
    for (const FolderEvent& e : all)
        EXPECT_EQ(e.name, "Kestrel_Flags_A.json");
}

// The receiver: a repeat of the version a file already holds is not written
// again (the scripts would see it replaced), unless the file has gone since.
TEST(ChannelFilesOnDisk, RepeatsOfAWrittenVersionAreNotWrittenAgain)
{
    GameDirectory dir;
    WrittenFiles written;
    EXPECT_EQ(WriteNewCompletedFiles({{"Kestrel_Packet_A.json", "v1"}}, written),
              std::vector<std::string>{"Kestrel_Packet_A.json"});
    GameDirectory::Write("Kestrel_Packet_A.json", "marker"); // would be replaced by a rewrite
    EXPECT_TRUE(WriteNewCompletedFiles({{"Kestrel_Packet_A.json", "v1"}}, written).empty());
    EXPECT_EQ(GameDirectory::Read("Kestrel_Packet_A.json"), "marker");
    EXPECT_EQ(WriteNewCompletedFiles({{"Kestrel_Packet_A.json", "v2"}}, written).size(), 1u);
    std::filesystem::remove(GameDirectory::Data("Kestrel_Packet_A.json"));
    EXPECT_EQ(WriteNewCompletedFiles({{"Kestrel_Packet_A.json", "v2"}}, written).size(), 1u);
    EXPECT_EQ(GameDirectory::Read("Kestrel_Packet_A.json"), "v2");
}
