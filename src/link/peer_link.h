// The peer link: one UDP socket per running session, talking only to the
// relay. HELLO registers (room code, letter); pings every second measure the
// round trip and loss; the channel files flow in the same "FILE:" framing.
#pragma once

#include "link/channel_files.h"
#include "state/link_state.h"

#include <cstdint>
#include <string>

// Starts the link thread unless one runs or the role is 0. Role 1 is A, any
// other B. Statistics reset here, not at stop, so the last values stay visible.
void StartPeerLink(uint32_t role, const std::string& room_code);

// The relay the latest link sends to ("A.B.C.D:PORT"); "" before any link ran.
// A running link follows the room's relay when the service moves the room.
std::string LinkRelay();

// Asks the thread to end after its current turn; does not wait.
void StopPeerLink();

// Smoothed round trip in whole milliseconds; -1 before the first pong.
int32_t LinkRttMs();

// Percentage of unanswered pings among those at least 2 s old (the newest 32
// at most); -1 while none is old enough.
int32_t LinkLossPercent();

// On (default): links started from now on learn of writes to the own channel
// files from the system and send a finished file at once. Off: the 1/30 s scan
// alone, as before (benchmarks compare the two).
void SetLinkFileWatch(bool on);

// On (default): the link offers the compact framing (acknowledged versions,
// compressed against what the partner holds) in its pings and uses it with a
// partner that offers it too. Off: it neither offers nor understands it and
// speaks the "FILE:" framing alone, as older clients do (tests and benchmarks
// play both). Takes effect for links started from now on.
void SetLinkCompactFraming(bool on);

// On (default): links started from now on take the partner's address from
// the relay and go straight to it when the way is open. Off: they ignore it
// and stay on the relay, as older clients do.
void SetLinkDirectPath(bool on);

// The path the running (or last) link uses: straight to the partner or
// through the relay, and the round trip of that path (-1: none measured).
struct LinkPathInfo
{
    bool direct = false;
    int32_t rtt_ms = -1;
    std::string peer;     // where the relay sees the partner; "" not told
    uint32_t losses = 0;  // times the direct path failed and the relay took over
};
LinkPathInfo LinkPath();

// "Direct, 12 ms" / "Through relay, 40 ms" (no figure before one is known).
std::string LinkPathText(const LinkPathInfo& path);

// Asks the running link to send the six own files again as new versions
// (once per call). Nothing happens while no link runs.
void RequestOwnFilesResend();

// Per channel, in channel order: seconds since the partner's last new version
// arrived and since the last own file went out (below 0: none this link), and
// whether the partner's channel has gone quiet for longer than its own pace
// explains. Plus the round trips of the last minute, oldest first.
struct ChannelHealth
{
    double received_age_s = -1.0;
    double sent_age_s = -1.0;
    bool late = false;
};

struct SyncHealth
{
    ChannelHealth channels[kChannelCount];
    std::vector<RttSample> rtt; // at_ms on the steady clock
    double now_ms = 0;
    // Bytes per second the link sends and receives (all datagrams), and the
    // channel files' wire bytes over their own bytes; below 0: not known yet.
    double out_bytes_per_s = -1.0;
    double in_bytes_per_s = -1.0;
    double file_ratio = -1.0;
    bool compact = false; // the compact framing is in use with this partner
};

// "12.3 KB/s" and the like, for the figures above ("-" below 0).
std::string ByteRateText(double bytes_per_s);

SyncHealth LinkSyncHealthAt(double now_ms);
SyncHealth LinkSyncHealth();

// The short channel names shown beside the figures ("Packet", "Anim", ...).
const char* ChannelShortName(size_t index);

// Scan periods (1/30 s) since the latest link started: the scans keep this
// beat, so a file sent within the period it was written in beat the scan.
uint64_t LinkScanCount();

// ---------------------------------------------------------------------------
// Pieces of the link thread, reachable for tests and tools
// ---------------------------------------------------------------------------

struct LinkSession
{
    uint32_t role = 1;
    ReassemblyTable reassembly;
};

std::string HelloDatagram(const std::string& room_code, char letter);

// Records a new ping (sequence + 1, sent at now_ms) and returns its datagram,
// or "" when the body could not be formatted (the record then counts as lost).
// With `offer` the body ends in " " + the compact framing's token.
std::string MakePing(char letter, double now_ms, bool offer = false);

// A ping of sequence 0 that keeps no record: probes and keep-alives of the
// direct path, which must not count as losses when the way stays shut.
std::string MakeProbe(char letter, double now_ms, bool offer = false);

// Updates the round trip from a pong's body (the echoed "seq time" text).
void HandlePong(const std::string& body, double now_ms);

int32_t LinkLossPercentAt(double now_ms);

// What the link last heard from the partner, to tell when it comes back.
struct PartnerContact
{
    int64_t last_ns = 0;    // the last word, or the link's start
    uint32_t last_ping = 0; // the sequence of its latest ping...
    std::string last_ping_body; // ...and its text
};

// The partner is heard from again after a silence of this long...
const int64_t kPartnerGapNs = 3000000000LL;

// Notes one datagram from the relay. True when the partner is back after a
// gap (either side's network, or this process, stalled; or its link came up
// long after this one) or its pings started over (its link restarted): each
// side's game then needs the other's latest files at once, not at their next
// change.
bool PartnerReturned(PartnerContact& contact, const char* data, size_t size, int64_t now_ns);

// Handles one received datagram. Returns a datagram to send back (a pong), or
// "". Completed channel files land in `completed`.
std::string DispatchDatagram(LinkSession& session, const char* data, size_t size, CompletedFiles& completed,
                             double now_ms);

// The steady clock in milliseconds.
double LinkClockMs();
