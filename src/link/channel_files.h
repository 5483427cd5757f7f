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
    std::string content;     // the version being repeated
    int64_t early_send_ns = 0; // its first send came on a change notice, at this time
    bool noticed = false;    // a change notice came since the file was last read
    bool held = false;       // its writer has not closed it yet: not to be read
};

struct ChannelSender
{
    std::vector<std::string> names; // own file names
    ChannelSendState state[kChannelCount];
    // Change notices of the data folder; nullptr: every scan reads every file.
    FolderWatch* watch = nullptr;
    int64_t last_full_scan_ns = 0;
};

ChannelSender MakeChannelSender(uint32_t role);

using SendFileFn = std::function<void(const std::string& name, const std::string& content, uint32_t transfer)>;

// The 1/30 s scan: a new content is sent on three consecutive scans under one
// transfer number. Without a watch it reads every own file, as it must. With
// one it reads only files with unread notices (and every file once a second,
// in case a notice was lost) and repeats from memory; a version first sent on
// a notice is repeated from one scan period after that send on.
void ScanOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns);
void ScanOwnFiles(ChannelSender& sender, const SendFileFn& send); // now

// The first scan time from `tick_ns` on (a multiple of `period_ns` after it)
// at which a scan has work: every tick without a watch; with one the tick of
// an unread notice, of a repeat that has come due, or of the once-a-second read.
int64_t OwnFilesNextScanNs(const ChannelSender& sender, int64_t tick_ns, int64_t period_ns);

// Between scans: takes the watch's notices and sends at once every own file
// that its writer has finished with a new content. A file written again while
// it was being read is not trusted (it waits for the next close), so no half-
// written file goes out as a version.
void SendFinishedOwnFiles(ChannelSender& sender, const SendFileFn& send, int64_t now_ns);

// Forgets what was sent: every own file goes out again on the next scan as a
// new version (three sends under a new transfer number), even unchanged.
void ResendOwnFilesAsNew(ChannelSender& sender);

// Opens the sender's watch on the data folder (or again after notices were
// lost); every file counts as noticed, so the next pass reads them all.
void WatchOwnFiles(ChannelSender& sender);
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

// Reads a whole file; false when it cannot be opened or read whole.
bool ReadWholeFile(const std::string& path, std::string& content, size_t max_bytes);

// Writes a whole file through "<path>.tmp" and a move.
bool WriteFileAtomically(const std::string& path, const std::string& content);
