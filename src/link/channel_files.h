// The channel-file relay: the six files the game's scripts write are sent to
// the partner on every change (three times, chunked above 1200 bytes), and the
// partner's files are reassembled and replaced whole in the data folder.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

const size_t kChannelCount = 6;
extern const char* const kChannelNames[kChannelCount];

const size_t kChunkPayload = 1200;
// Largest channel file sent or reassembled; bounds the reassembly memory.
const size_t kMaxChannelFileBytes = 1 << 20;
const uint64_t kMaxChunkCount = (kMaxChannelFileBytes + kChunkPayload - 1) / kChunkPayload;

// Role number 1 is A, any other is B.
char OwnLetter(uint32_t role);
char PartnerLetter(uint32_t role);

// The own channel file names, in channel order.
std::vector<std::string> ChannelFileNames(uint32_t role);

// True when the name (less a trailing ".json") ends in "_" and the partner letter.
bool IsPartnerFile(const std::string& name, uint32_t role);

// Index of the partner channel file with exactly this name, or -1. Only these
// six names ever become paths, so nothing from the wire can name another file.
int PartnerChannelIndex(const std::string& name, uint32_t role);

// FNV-1a step over the content, from the link's own start value.
uint64_t ChannelHash(const std::string& content);

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

// The datagrams of one file version: whole up to 1200 bytes, else chunks.
std::vector<std::string> FileDatagrams(const std::string& name, const std::string& content, uint32_t transfer);

void SendDataFile(UdpSocket s, const NetAddress& relay, const std::string& name, const std::string& content,
                  uint32_t transfer);

struct ChannelSendState
{
    uint64_t last_hash = 0;
    int32_t resend_count = 0;
    uint32_t transfer = 0;
    std::string content;       // the version being repeated
    int64_t early_send_ns = 0; // its first send came between scans, at this time
    // With a watch: what the notices said, and a content read but not yet sent.
    bool writing = false;  // written to and not closed since (or unknown, after lost notices)
    int64_t notice_ns = 0; // the latest notice (or the watch's opening)
    int64_t due_ns = 0;    // read it again at this time; 0: nothing to read
    uint64_t seen_hash = 0;
    int64_t seen_ns = 0;   // when that content was first read, unchanged since; 0: none
};

struct ChannelSender
{
    std::vector<std::string> names; // own file names
    ChannelSendState state[kChannelCount];
    // Change notices of the data folder; nullptr: every scan reads every file.
    FolderWatch* watch = nullptr;
    int64_t last_full_scan_ns = 0;
    // Blind sends after each version's first, a scan apart; 0 where the
    // partner acknowledges (no scan wakes for them then).
    int32_t repeats = 2;
};

ChannelSender MakeChannelSender(uint32_t role);

using SendFileFn = std::function<void(const std::string& name, const std::string& content, uint32_t transfer)>;

// A write notice makes a read due this long after it; later notices never
// push that read back, so a writer rewriting its file every frame (or as fast
// as it can) cannot starve it. A read is taken when it is undisturbed (no
// notice during it, the file's size and write time the same before and after)
// and whole: closed by its writer (where the system tells) or one whole JSON
// text. A disturbed read is tried again after the same short delay.
const int64_t kNoticeReadNs = 1000000;
// A file whose writer keeps it open (or whose state the notices lost), or whose
// text is not whole, is sent once its content has stood this long unchanged.
const int64_t kStableNs = 1000000000;

// Whether the content is one whole JSON object or array and nothing after it
// but white space. A writer that pauses mid-file leaves a text that is not.
bool LooksWholeJson(const std::string& content);

// The 1/30 s scan: a new content is sent on three consecutive scans under one
// transfer number. Without a watch it reads every own file, as it must. With
// one it reads the files that have a read due (and every file once a second,
// in case a notice was lost) and repeats from memory; a version first sent
// between scans is repeated from one scan period after that send on.
void ScanOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns);
void ScanOwnFiles(ChannelSender& sender, const SendFileFn& send); // now

// The first scan time from `tick_ns` on (a multiple of `period_ns` after it)
// at which a scan has work: every tick without a watch; with one the tick of
// a repeat that has come due, or of the once-a-second read.
int64_t OwnFilesNextScanNs(const ChannelSender& sender, int64_t tick_ns, int64_t period_ns);

// The earliest time a file read is due between scans (INT64_MAX: none).
int64_t OwnFilesNextReadNs(const ChannelSender& sender);

// Between scans: takes the watch's notices and reads the files whose read
// has come due, sending at once every one that is finished with a new
// content. "Finished": its writer closed it (where the system tells), or it
// was read undisturbed and whole (see kNoticeReadNs), or it stood unchanged
// for kStableNs. A file
// written again while it was being read is not trusted.
void SendFinishedOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns);

// Sends every own file that exists again as a new version (three sends under
// a new transfer number), whether it changed or not.
void ResendOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns);

// Opens the sender's watch on the own files of the data folder. Nothing is
// known of the files yet: each is read soon and counts as held open by a
// writer until a close notice or the stability time says otherwise.
void WatchOwnFiles(ChannelSender& sender, int64_t now_ns);
void WatchOwnFiles(ChannelSender& sender); // now
void StopWatchingOwnFiles(ChannelSender& sender);

// ---------------------------------------------------------------------------
// Receiving
// ---------------------------------------------------------------------------

struct Reassembly
{
    bool active = false;
    uint32_t transfer = 0;
    uint64_t count = 0;
    uint64_t received = 0;
    std::vector<std::string> parts;
    std::vector<bool> have;
};

using ReassemblyTable = std::map<std::string, Reassembly>;
using CompletedFiles = std::map<std::string, std::string>; // name -> content, one loop turn

// Stores one chunk ("CHUNK transfer index count\n" + payload) and completes
// the file when every chunk of its transfer is in.
void AcceptChunk(ReassemblyTable& table, const std::string& name, const std::string& body, CompletedFiles& completed);

// A channel-file datagram's name and body: dropped unless it is one of the
// partner's six files; chunked or whole.
void AcceptChannelFile(ReassemblyTable& table, const std::string& name, const std::string& body, uint32_t role,
                       CompletedFiles& completed);

// Replaces each completed file through "<path>.tmp" and a move; a failed
// create or move leaves the previous version in place.
void WriteCompletedFiles(const CompletedFiles& completed);

// Name -> hash of the content last written there during this link.
using WrittenFiles = std::map<std::string, uint64_t>;

// As WriteCompletedFiles, but a content the file still holds from this link
// (a repeat of the same version) is not written again: the scripts would see
// the file replaced for nothing. Returns the names written.
std::vector<std::string> WriteNewCompletedFiles(const CompletedFiles& completed, WrittenFiles& written);

// Reads a whole file; false when it cannot be opened or read whole.
bool ReadWholeFile(const std::string& path, std::string& content, size_t max_bytes);

// Writes a whole file through "<path>.tmp" and a move.
bool WriteFileAtomically(const std::string& path, const std::string& content);
