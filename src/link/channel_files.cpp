#include "link/channel_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

const char* const kChannelNames[kChannelCount] = {
    "Kestrel_Packet", "Kestrel_Anim", "Kestrel_enemy_unified", "Kestrel_Flags", "Kestrel_Joints", "Kestrel_Companion",
};

char OwnLetter(uint32_t role)
{
    return role == 1 ? 'A' : 'B';
}

char PartnerLetter(uint32_t role)
{
    return role == 1 ? 'B' : 'A';
}

static std::vector<std::string> NamesFor(char letter)
{
    std::vector<std::string> names;
    for (const char* base : kChannelNames)
        names.push_back(std::string(base) + "_" + letter + ".json");
    return names;
}

std::vector<std::string> ChannelFileNames(uint32_t role)
{
    return NamesFor(OwnLetter(role));
}

static std::string StripJson(const std::string& name)
{
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
        return name.substr(0, name.size() - 5);
    return name;
}

bool IsPartnerFile(const std::string& name, uint32_t role)
{
    const std::string base = StripJson(name);
    return base.size() >= 2 && base[base.size() - 2] == '_' && base.back() == PartnerLetter(role);
}

int PartnerChannelIndex(const std::string& name, uint32_t role)
{
    // Compared in place: this runs for every datagram received.
    const char suffix[7] = {'_', PartnerLetter(role), '.', 'j', 's', 'o', 'n'};
    if (name.size() <= sizeof(suffix) || name.compare(name.size() - sizeof(suffix), sizeof(suffix), suffix, sizeof(suffix)) != 0)
        return -1;
    const size_t base = name.size() - sizeof(suffix);
    for (size_t i = 0; i < kChannelCount; i++)
        if (strlen(kChannelNames[i]) == base && name.compare(0, base, kChannelNames[i]) == 0)
            return (int)i;
    return -1;
}

uint64_t ChannelHash(const std::string& content)
{
    uint64_t h = 0x14650FB0739D0383ull;
    for (unsigned char b : content)
        h = (h ^ b) * 0x100000001B3ull;
    return h;
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

std::vector<std::string> FileDatagrams(const std::string& name, const std::string& content, uint32_t transfer)
{
    std::vector<std::string> out;
    const std::string head = "FILE:" + name + "\n";
    if (content.size() <= kChunkPayload) {
        out.push_back(head + content);
        return out;
    }
    const size_t count = (content.size() + kChunkPayload - 1) / kChunkPayload;
    for (size_t index = 0; index < count; index++) {
        char header[64];
        const int n = snprintf(header, sizeof(header), "CHUNK %u %zu %zu\n", transfer, index, count);
        if (n <= 0)
            continue;
        out.push_back(head + std::string(header, (size_t)n) + content.substr(index * kChunkPayload, kChunkPayload));
    }
    return out;
}

void SendDataFile(UdpSocket s, const NetAddress& relay, const std::string& name, const std::string& content,
                  uint32_t transfer)
{
    for (const std::string& d : FileDatagrams(name, content, transfer))
        UdpSendTo(s, relay, d.data(), d.size());
}

ChannelSender MakeChannelSender(uint32_t role)
{
    ChannelSender sender;
    sender.names = ChannelFileNames(role);
    return sender;
}

bool ReadWholeFile(const std::string& path, std::string& content, size_t max_bytes)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0)
        size = ftell(f);
    if (size <= 0 || (size_t)size > max_bytes || fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        return false;
    }
    content.resize((size_t)size);
    const size_t got = fread(&content[0], 1, (size_t)size, f);
    fclose(f);
    return got == (size_t)size;
}

static const int64_t kScanPeriodNs = 1000000000 / 30;
static const int kQuickReads = 24;
static const int64_t kQuickReadsNs = 4000000;
static const int64_t kFullScanNs = 1000000000;

bool LooksWholeJson(const std::string& content)
{
    size_t i = 0;
    const auto space = [&](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < content.size() && space(content[i]))
        i++;
    if (i == content.size() || (content[i] != '{' && content[i] != '['))
        return false;
    int depth = 0;
    bool in_string = false, escaped = false;
    for (; i < content.size(); i++) {
        const char c = content[i];
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            depth++;
        } else if (c == '}' || c == ']') {
            if (--depth == 0)
                break;
        }
    }
    if (depth != 0 || i == content.size())
        return false;
    for (i++; i < content.size(); i++)
        if (!space(content[i]))
            return false;
    return true;
}

void WatchOwnFiles(ChannelSender& sender, int64_t now_ns)
{
    StopWatchingOwnFiles(sender);
    sender.watch = FolderWatchOpen(DataFolder(), sender.names);
    for (ChannelSendState& st : sender.state) {
        st.writing = true;
        st.notice_ns = now_ns;
        st.seen_ns = 0;
        st.due_ns = now_ns + kNoticeReadNs;
    }
}

void WatchOwnFiles(ChannelSender& sender)
{
    WatchOwnFiles(sender, SteadyNowNs());
}

void StopWatchingOwnFiles(ChannelSender& sender)
{
    FolderWatchClose(sender.watch);
    sender.watch = nullptr;
}

static int OwnIndex(const ChannelSender& sender, const std::string& name)
{
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++)
        if (sender.names[i] == name)
            return (int)i;
    return -1;
}

// Applies the notices that came since the last take; `touched` marks the own
// files they name. A close makes a read due at once; a write a read shortly
// after (never later than one already due), and whatever was seen of the file
// before no longer counts. Lost
// notices reopen the watch (it may have died with its folder): every file is
// then as unknown as at the start.
static void TakeNotices(ChannelSender& sender, bool touched[kChannelCount], int64_t now_ns)
{
    if (!sender.watch)
        return;
    std::vector<FolderEvent> events;
    bool lost = false;
    FolderWatchTake(sender.watch, events, lost);
    for (const FolderEvent& e : events) {
        const int i = OwnIndex(sender, e.name);
        if (i < 0)
            continue;
        ChannelSendState& st = sender.state[i];
        st.writing = !e.closed;
        st.notice_ns = now_ns;
        st.seen_ns = 0;
        const int64_t soon = e.closed ? now_ns : now_ns + kNoticeReadNs;
        st.due_ns = st.due_ns != 0 && st.due_ns < soon ? st.due_ns : soon;
        touched[i] = true;
    }
    if (lost) {
        WatchOwnFiles(sender, now_ns);
        for (size_t i = 0; i < kChannelCount; i++)
            touched[i] = true;
    }
}

// Reads the picked files through handles that never refuse another writer.
// With a watch, a read a writer disturbed is made due again at once;
// `recheck` marks the good reads a notice came during: the write it tells of
// may have come after them, so once taken they are read again shortly.
static void ReadPicked(ChannelSender& sender, const bool pick[kChannelCount], std::string content[kChannelCount],
                       bool ok[kChannelCount], bool recheck[kChannelCount], int64_t now_ns)
{
    bool changed[kChannelCount] = {};
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++) {
        if (!pick[i])
            continue;
        // A writer at work: tried again at once a few times (a read lands
        // between two writes more often than a wake-up does; under Wine a
        // wake-up is the costly part), then after kNoticeReadNs.
        const int64_t start = SteadyNowNs();
        for (int attempt = 0;; attempt++) {
            ok[i] = ReadFileShared(DataPath(sender.names[i]), content[i], kMaxChannelFileBytes, &changed[i]);
            if (ok[i] || !changed[i] || attempt + 1 >= kQuickReads || SteadyNowNs() - start >= kQuickReadsNs)
                break;
            std::this_thread::yield();
        }
        // Missing, empty, oversized and short-read files wait for a later pass.
    }
    bool touched[kChannelCount] = {};
    TakeNotices(sender, touched, now_ns);
    for (size_t i = 0; i < kChannelCount; i++) {
        // Written to during the read (the size or write time moved, or the
        // two reads it makes differ): read again shortly. A notice alone does
        // not void a read that passed those checks: it tells of a write that
        // may as well have come after it (Windows delivers notices late), and
        // a writer that never pauses would otherwise never be read.
        const bool disturbed = changed[i] || (touched[i] && !ok[i]);
        recheck[i] = pick[i] && sender.watch && ok[i] && touched[i];
        if (pick[i] && sender.watch && disturbed) {
            ok[i] = false;
            sender.state[i].due_ns = now_ns + kNoticeReadNs;
        }
    }
}

static void SendVersion(ChannelSender& sender, size_t i, const SendFileFn& send)
{
    send(sender.names[i], sender.state[i].content, sender.state[i].transfer);
}

// A content read whole becomes the version to send: its first send and the repeats.
static void TakeVersion(ChannelSendState& st, std::string& content, uint64_t h, int32_t repeats)
{
    st.last_hash = h;
    st.resend_count = repeats;
    st.transfer++;
    st.content.swap(content);
    st.early_send_ns = 0;
    st.seen_ns = 0;
    st.due_ns = 0;
}

// How long a content read undisturbed must have stood before it counts as
// finished: nothing once its writer closed it (where the system tells) or
// when it is one whole JSON text; else kStableNs (a writer that paused
// mid-file, or a content that is not JSON at all).
static int64_t StabilityNeeded(const ChannelSendState& st, const std::string& content)
{
    if (kFolderWatchTellsClose && !st.writing)
        return 0;
    return LooksWholeJson(content) ? 0 : kStableNs;
}

// A content read undisturbed with a watch: true when it is a finished new
// version (then taken). Otherwise a later read is made due when one can decide.
static bool TakeIfFinished(ChannelSendState& st, std::string& content, int64_t now_ns, int32_t repeats)
{
    const uint64_t h = ChannelHash(content);
    if (h == st.last_hash) {
        st.seen_ns = 0;
        st.due_ns = 0;
        return false;
    }
    if (st.seen_ns == 0 || st.seen_hash != h) {
        st.seen_hash = h;
        st.seen_ns = now_ns;
    }
    const int64_t needed = StabilityNeeded(st, content);
    if (now_ns - st.seen_ns >= needed) {
        TakeVersion(st, content, h, repeats);
        return true;
    }
    st.due_ns = st.seen_ns + needed;
    return false;
}

// Without a watch every read content is as the scripts left it: new is sent.
static bool TakeIfNew(ChannelSendState& st, std::string& content, int32_t repeats)
{
    const uint64_t h = ChannelHash(content);
    if (h == st.last_hash)
        return false;
    TakeVersion(st, content, h, repeats);
    return true;
}

void ScanOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns)
{
    bool pick[kChannelCount] = {}, ok[kChannelCount] = {};
    std::string content[kChannelCount];
    bool touched[kChannelCount] = {};
    TakeNotices(sender, touched, now_ns);
    const bool full = !sender.watch || now_ns - sender.last_full_scan_ns >= kFullScanNs;
    if (full)
        sender.last_full_scan_ns = now_ns;
    for (size_t i = 0; i < kChannelCount; i++) {
        const ChannelSendState& st = sender.state[i];
        pick[i] = full || (st.due_ns != 0 && st.due_ns <= now_ns);
    }
    bool recheck[kChannelCount] = {};
    ReadPicked(sender, pick, content, ok, recheck, now_ns);
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++) {
        ChannelSendState& st = sender.state[i];
        const bool taken = ok[i] && (sender.watch ? TakeIfFinished(st, content[i], now_ns, sender.repeats)
                                                    : TakeIfNew(st, content[i], sender.repeats));
        if (recheck[i] && st.due_ns == 0)
            st.due_ns = now_ns + kNoticeReadNs;
        if (taken) {
            SendVersion(sender, i, send);
            continue;
        }
        // Without a watch an unreadable file is not repeated (nothing says
        // what it holds); with one the repeat comes from memory.
        if ((pick[i] && !ok[i] && !sender.watch) || st.resend_count < 1)
            continue;
        if (st.early_send_ns != 0 && now_ns - st.early_send_ns < kScanPeriodNs)
            continue; // keeps the three sends about a scan apart
        st.resend_count--;
        SendVersion(sender, i, send);
    }
}

int64_t OwnFilesNextScanNs(const ChannelSender& sender, int64_t tick_ns, int64_t period_ns)
{
    if (!sender.watch)
        return tick_ns;
    const auto first_tick_from = [&](int64_t t) {
        return t <= tick_ns ? tick_ns : tick_ns + (t - tick_ns + period_ns - 1) / period_ns * period_ns;
    };
    int64_t next = first_tick_from(sender.last_full_scan_ns + kFullScanNs);
    for (const ChannelSendState& st : sender.state)
        if (st.resend_count > 0)
            next = std::min(next, first_tick_from(st.early_send_ns == 0 ? tick_ns : st.early_send_ns + kScanPeriodNs));
    return next;
}

int64_t OwnFilesNextReadNs(const ChannelSender& sender)
{
    int64_t next = INT64_MAX;
    if (!sender.watch)
        return next;
    for (const ChannelSendState& st : sender.state)
        if (st.due_ns != 0)
            next = std::min(next, st.due_ns);
    return next;
}

void ScanOwnFiles(ChannelSender& sender, const SendFileFn& send)
{
    ScanOwnFiles(sender, send, SteadyNowNs());
}

void SendFinishedOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns)
{
    if (!sender.watch)
        return;
    bool pick[kChannelCount] = {}, ok[kChannelCount] = {}, touched[kChannelCount] = {};
    std::string content[kChannelCount];
    TakeNotices(sender, touched, now_ns);
    bool any = false;
    for (size_t i = 0; i < kChannelCount; i++)
        any |= pick[i] = sender.state[i].due_ns != 0 && sender.state[i].due_ns <= now_ns;
    if (!any)
        return;
    bool recheck[kChannelCount] = {};
    ReadPicked(sender, pick, content, ok, recheck, now_ns);
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++) {
        ChannelSendState& st = sender.state[i];
        if (!ok[i]) {
            if (pick[i] && !touched[i] && st.due_ns <= now_ns)
                st.due_ns = 0; // missing or empty: the next notice or full read tells
            continue;
        }
        const bool taken = TakeIfFinished(st, content[i], now_ns, sender.repeats);
        if (recheck[i] && st.due_ns == 0)
            st.due_ns = now_ns + kNoticeReadNs;
        if (!taken)
            continue;
        st.early_send_ns = now_ns;
        SendVersion(sender, i, send);
    }
}

void ResendOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns)
{
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++) {
        ChannelSendState& st = sender.state[i];
        std::string content;
        if (ReadFileShared(DataPath(sender.names[i]), content, kMaxChannelFileBytes)) {
            // As the scripts have it now, if that is finished; else the last version.
            if (!sender.watch || StabilityNeeded(st, content) == 0 || st.content.empty())
                st.content.swap(content);
        }
        if (st.content.empty())
            continue;
        const uint64_t h = ChannelHash(st.content);
        std::string again = st.content;
        TakeVersion(st, again, h, sender.repeats);
        st.early_send_ns = now_ns;
        SendVersion(sender, i, send);
    }
}

// ---------------------------------------------------------------------------
// Receiving
// ---------------------------------------------------------------------------

// Reads spaces, then a decimal number of at least one digit (32-bit, wrapping).
static bool ReadNumber(const std::string& text, size_t& p, uint32_t& out)
{
    while (p < text.size() && text[p] == ' ')
        p++;
    if (p >= text.size() || text[p] < '0' || text[p] > '9')
        return false;
    uint32_t v = 0;
    for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; p++)
        v = v * 10u + (uint32_t)(text[p] - '0');
    out = v;
    return true;
}

void AcceptChunk(ReassemblyTable& table, const std::string& name, const std::string& body, CompletedFiles& completed)
{
    const size_t nl = body.find('\n');
    if (nl == std::string::npos)
        return;
    const std::string header = body.substr(0, nl);
    size_t p = 6;
    uint32_t transfer = 0, index = 0, count = 0;
    if (!ReadNumber(header, p, transfer) || p >= header.size())
        return;
    if (!ReadNumber(header, p, index) || p >= header.size())
        return;
    if (!ReadNumber(header, p, count))
        return;
    if (count == 0 || index >= count || count > kMaxChunkCount)
        return;
    const size_t payload_size = body.size() - nl - 1;
    if (payload_size > kChunkPayload)
        return; // no sender of ours makes one; it would unbound the memory

    Reassembly& r = table[name];
    if (!r.active || r.transfer != transfer) {
        r.active = true;
        r.transfer = transfer;
        r.count = count;
        r.parts.assign(count, std::string());
        r.have.assign(count, false);
        r.received = 0;
    }
    if (r.count != count || r.have[index])
        return;
    r.have[index] = true;
    r.parts[index] = body.substr(nl + 1);
    r.received++;
    if (r.received == r.count) {
        std::string joined;
        for (const std::string& part : r.parts)
            joined += part;
        completed[name] = std::move(joined);
        r = Reassembly{};
    }
}

void AcceptChannelFile(ReassemblyTable& table, const std::string& name, const std::string& body, uint32_t role,
                       CompletedFiles& completed)
{
    if (PartnerChannelIndex(name, role) < 0) // the exact names pass the partner-letter test too
        return;
    if (body.size() >= 6 && body.compare(0, 6, "CHUNK ") == 0)
        AcceptChunk(table, name, body, completed);
    else
        completed[name] = body;
}

bool WriteFileAtomically(const std::string& path, const std::string& content)
{
    const std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = content.empty() || fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = (fclose(f) == 0) && ok;
    if (ok && MoveFileOver(tmp, path))
        return true;
    RemoveFile(tmp);
    return false;
}

void WriteCompletedFiles(const CompletedFiles& completed)
{
    for (const auto& [name, content] : completed)
        WriteFileAtomically(DataPath(name), content);
}

std::vector<std::string> WriteNewCompletedFiles(const CompletedFiles& completed, WrittenFiles& written)
{
    std::vector<std::string> names;
    for (const auto& [name, content] : completed) {
        const uint64_t h = ChannelHash(content);
        const auto it = written.find(name);
        std::error_code ec;
        // Gone since (the scripts reset, say): a repeat puts it back.
        if (it != written.end() && it->second == h && std::filesystem::exists(DataPath(name), ec))
            continue;
        if (!WriteFileAtomically(DataPath(name), content))
            continue; // the previous version stays, and so does its hash
        written[name] = h;
        names.push_back(name);
    }
    return names;
}
