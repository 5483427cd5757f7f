#include "link/channel_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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
static const int64_t kFullScanNs = 1000000000;

static int OwnIndex(const ChannelSender& sender, const std::string& name)
{
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++)
        if (sender.names[i] == name)
            return (int)i;
    return -1;
}

void WatchOwnFiles(ChannelSender& sender)
{
    StopWatchingOwnFiles(sender);
    sender.watch = FolderWatchOpen(DataFolder());
    for (ChannelSendState& st : sender.state) {
        st.noticed = true;
        st.held = false;
    }
}

void ResendOwnFilesAsNew(ChannelSender& sender)
{
    for (ChannelSendState& st : sender.state) {
        st.last_hash = 0;
        st.noticed = true; // with a watch, the next scan reads it
    }
}

void StopWatchingOwnFiles(ChannelSender& sender)
{
    FolderWatchClose(sender.watch);
    sender.watch = nullptr;
}

// Applies the notices that came since the last take; `touched` marks the own
// files they name. Lost notices reopen the watch (it may have died with its
// folder), which marks every file.
static void TakeNotices(ChannelSender& sender, bool touched[kChannelCount])
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
        sender.state[i].noticed = true;
        sender.state[i].held = !e.finished;
        touched[i] = true;
    }
    if (lost) {
        WatchOwnFiles(sender);
        for (size_t i = 0; i < kChannelCount; i++)
            touched[i] = true;
    }
}

// Reads the picked files. With a watch, notices that came during the reads
// void them: the writer was at work, and its close brings another notice.
static void ReadPicked(ChannelSender& sender, const bool pick[kChannelCount], std::string content[kChannelCount],
                       bool ok[kChannelCount])
{
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++)
        // Missing, empty, oversized and short-read files wait for a later pass.
        ok[i] = pick[i] && ReadWholeFile(DataPath(sender.names[i]), content[i], kMaxChannelFileBytes);
    bool touched[kChannelCount] = {};
    TakeNotices(sender, touched);
    for (size_t i = 0; i < kChannelCount; i++) {
        if (touched[i])
            ok[i] = false;
        else if (pick[i])
            sender.state[i].noticed = false;
    }
}

static void SendVersion(ChannelSender& sender, size_t i, const SendFileFn& send)
{
    send(sender.names[i], sender.state[i].content, sender.state[i].transfer);
}

// A content read whole: a new version starts its three sends.
static bool TakeIfNew(ChannelSendState& st, std::string& content)
{
    const uint64_t h = ChannelHash(content);
    if (h == st.last_hash)
        return false;
    st.last_hash = h;
    st.resend_count = 2;
    st.transfer++;
    st.content.swap(content);
    st.early_send_ns = 0;
    return true;
}

void ScanOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns)
{
    bool pick[kChannelCount] = {}, ok[kChannelCount] = {};
    std::string content[kChannelCount];
    bool touched[kChannelCount] = {};
    TakeNotices(sender, touched);
    const bool full = !sender.watch || now_ns - sender.last_full_scan_ns >= kFullScanNs;
    if (full)
        sender.last_full_scan_ns = now_ns;
    for (size_t i = 0; i < kChannelCount; i++)
        pick[i] = !sender.state[i].held && (full || sender.state[i].noticed);
    ReadPicked(sender, pick, content, ok);
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++) {
        ChannelSendState& st = sender.state[i];
        if (ok[i] && TakeIfNew(st, content[i])) {
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
    for (const ChannelSendState& st : sender.state) {
        if (st.noticed)
            return tick_ns;
        if (st.resend_count > 0)
            next = std::min(next, first_tick_from(st.early_send_ns == 0 ? tick_ns : st.early_send_ns + kScanPeriodNs));
    }
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
    TakeNotices(sender, touched);
    bool any = false;
    for (size_t i = 0; i < kChannelCount; i++)
        any |= pick[i] = sender.state[i].noticed && !sender.state[i].held;
    if (!any)
        return;
    ReadPicked(sender, pick, content, ok);
    for (size_t i = 0; i < kChannelCount && i < sender.names.size(); i++)
        if (ok[i] && TakeIfNew(sender.state[i], content[i])) {
            sender.state[i].early_send_ns = now_ns;
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
