// The thin OS layer: one free function per need, the real Windows API in win32/,
// a stand-in on Linux in posix/. No classes, no behaviour of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------

// Monotonic time in nanoseconds from an arbitrary origin; used for every interval.
int64_t SteadyNowNs();

// Converts a performance-counter reading to nanoseconds: exact for 10 MHz and
// 24 MHz counters, by quotient and remainder otherwise so large readings never
// overflow the intermediate product.
inline int64_t CounterToNs(int64_t counter, int64_t frequency)
{
    const int64_t ns_per_s = 1000000000;
    if (frequency == 10000000)
        return counter * 100;
    if (frequency == 24000000)
        return (counter / 24000000) * ns_per_s + (counter % 24000000) * 125 / 3;
    const int64_t whole = counter / frequency;
    const int64_t part = counter % frequency;
    return whole * ns_per_s + part * ns_per_s / frequency;
}

// ---------------------------------------------------------------------------
// Diagnostics
// ---------------------------------------------------------------------------

// Debugger output (OutputDebugStringA on Windows, stderr elsewhere). The text
// should end with a line feed.
void DebugOutput(const char* text);

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

// Runs entry(arg) on a new thread that nobody waits for (Windows:
// _beginthreadex with its handle closed at once; Linux: a detached pthread).
// False when the system could not create it; entry then never runs.
bool StartDetachedThread(void (*entry)(void*), void* arg);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// "reframework/data/" + name, relative to the game's working directory; every
// file of the system lives there.
std::string DataPath(const std::string& name);

// Moves `from` over `to`, replacing an existing file in one step (readers see
// the old or the new file, never a mixture). False when the move failed.
bool MoveFileOver(const std::string& from, const std::string& to);

// Deletes a file; true when it is gone (a missing file counts as gone), false
// when it is still there (held open by another program, or not deletable).
bool RemoveFile(const std::string& path);

// The folder DataPath names live in, without a trailing separator.
std::string DataFolder();

// The file version of the process's own executable, "A.B.C.D" (Windows:
// its version resource); "" when it has none (and always on Linux).
std::string GameExecutableVersion();

// ---------------------------------------------------------------------------
// Folder watch
// ---------------------------------------------------------------------------

// Tells when some named files of one folder are written. Only those names are
// looked at: notices for any other file are dropped before any file system
// call, and the watch never opens a file of the folder.
struct FolderWatch;

struct FolderEvent
{
    std::string name; // one of the watched names
    bool closed;      // its writer closed it (Linux close-after-write) or it was moved in whole
};

// True where the system tells when a writer closes a file (Linux). Elsewhere
// (Windows) a notice only says the file was written to: whether its writer is
// done must be judged from quiet and from the content staying the same.
extern const bool kFolderWatchTellsClose;

// nullptr when the folder cannot be watched (missing, or no notices here).
FolderWatch* FolderWatchOpen(const std::string& folder, const std::vector<std::string>& names);
// Cancels the pending request, waits until the system has let go of it, then frees.
void FolderWatchClose(FolderWatch* w);

// What happened since the last call, oldest first, without waiting. `lost`
// is set when notices were dropped (the system's queue overflowed, or the
// watch died with its folder): every file may have changed.
void FolderWatchTake(FolderWatch* w, std::vector<FolderEvent>& events, bool& lost);

// Reads a whole file through a handle that shares reading, writing and
// deletion with everyone, so no other writer is ever refused while it is open.
// False when it cannot be opened, is empty, is larger than `max_bytes`, or is
// not read whole; also when its size or write time moved during the read, two
// reads of it differ, or it was emptied within the last 100 ms (then
// `*changed`, if given, is set: a writer was at work).
bool ReadFileShared(const std::string& path, std::string& content, size_t max_bytes, bool* changed = nullptr);

// ---------------------------------------------------------------------------
// UDP
// ---------------------------------------------------------------------------

// An IPv4 endpoint, host byte order.
struct NetAddress
{
    uint32_t ip = 0;
    uint16_t port = 0;
    bool operator==(const NetAddress& o) const { return ip == o.ip && port == o.port; }
    bool operator!=(const NetAddress& o) const { return !(*this == o); }
};

// Parses a dotted IPv4 literal (inet_pton). False for anything else.
bool ParseIpv4(const char* text, uint32_t& ip);

typedef intptr_t UdpSocket;
const UdpSocket kNoSocket = -1;

// Starts and stops the socket library (WSAStartup / WSACleanup on Windows).
bool NetStartup();
void NetCleanup();

// A non-blocking IPv4 UDP socket with both buffers set to `buffer_bytes`, bound
// to any local address on `port` (0: the system chooses). The results of the
// buffer and bind calls are not examined: if the port is taken the socket still
// works on a port the system picks at the first send. kNoSocket on failure.
UdpSocket UdpOpen(uint16_t port, int buffer_bytes);
void UdpClose(UdpSocket s);

// Sends one datagram; errors are the caller's to ignore.
bool UdpSendTo(UdpSocket s, const NetAddress& to, const void* data, size_t size);

// Receives one datagram without waiting. Its length (0 is a valid, empty
// datagram), or -1 when none is waiting or on error.
int UdpReceive(UdpSocket s, void* buffer, size_t capacity, NetAddress& from);

// Waits until a datagram is waiting or `timeout_us` has passed; true when one is.
bool UdpWait(UdpSocket s, int64_t timeout_us);

// Waits until a datagram is waiting on `s`, `w` has something to take, or
// `timeout_us` has passed. `w` may be nullptr (then as UdpWait). The result
// says what may be ready (kWaitDatagram, kWaitFolder; 0 on a time-out); a bit
// may be set when nothing is, never clear when something is.
const int kWaitDatagram = 1;
const int kWaitFolder = 2;
int UdpWaitOrFolder(UdpSocket s, FolderWatch* w, int64_t timeout_us);

// The local port a socket is bound to (0 if unknown).
uint16_t UdpLocalPort(UdpSocket s);

// ---------------------------------------------------------------------------
// HTTP
// ---------------------------------------------------------------------------

// A reply body longer than this is abandoned: a broken server must not be able
// to exhaust the game's memory.
constexpr size_t kHttpMaxReplyBytes = 4u * 1024 * 1024;

// Each request, connection to last byte, ends within this many milliseconds.
constexpr int kHttpDeadlineMs = 8000;

// A kept connection idle this long is closed rather than used again, so the
// service's own idle time-out (30 s) never cuts one under a request.
constexpr int kHttpKeptIdleMs = 20000;

// Idle connections kept per address and port; a request that finds none idle
// opens another, and more than this many idle at once are closed.
constexpr size_t kHttpKeptPerPort = 4;

// One blocking HTTP/1.1 POST of `body` to http://host:port + path: user agent
// "Kestrel/1.0", the one optional header "Content-Type: application/json",
// kHttpDeadlineMs for the whole request. Connections are kept between calls
// (per host, port and pin) and carry one request at a time, in order; a call
// that finds every kept connection busy opens another. A kept connection that
// the server closed is replaced, and a request whose sending failed before
// any of its body went out is sent once more on a new connection; a request
// that may have reached the server is never sent twice.
// With a `pin` (base64 of the SHA-256 of the server key's SubjectPublicKeyInfo)
// it is https:// instead, and only a server holding exactly that key is talked
// to, whatever its certificate's names, issuer and dates; the key is compared
// on every new or resumed connection, and any other gets no body (nor, where
// the system allows, anything after the handshake) and the call fails.
// TLS sessions are resumed where the system can. "" = plain HTTP.
// True when a whole response arrived in time: `status` (0 when unreadable) and
// `response` are set whatever the status. False when none did, when it was cut
// off or still incomplete at the deadline, or when its body grew past
// kHttpMaxReplyBytes: `status` and `response` are then untouched.
bool HttpPost(const char* host, uint16_t port, const std::wstring& path, const std::string& body,
              const std::string& pin, uint32_t& status, std::string& response);

// Closes every kept connection and forgets every TLS session (sign-out, so the
// next account shares nothing with the last); a connection still carrying a
// request is closed when that request ends.
void HttpCloseConnections();

// Connections opened since start-up, and how many of them resumed a TLS
// session (0 where the system does not tell).
struct HttpConnectionCounts
{
    uint64_t opened = 0;
    uint64_t resumed = 0;
};
HttpConnectionCounts HttpCountConnections();

// ---------------------------------------------------------------------------
// Sound
// ---------------------------------------------------------------------------

// Plays a complete in-memory RIFF/WAVE image asynchronously, cutting off the
// sound still playing; nullptr just stops it. The image must stay alive while
// it plays. Failures are silent.
void PlayWavImage(const uint8_t* image);

#ifndef _WIN32
// Linux stand-in: every PlayWavImage call is recorded instead of played.
struct RecordedSound
{
    const uint8_t* image = nullptr; // nullptr for a stop
    size_t size = 0;                // the RIFF image's length from its header
};

// The calls recorded since the last take, oldest first.
std::vector<RecordedSound> TakeRecordedSounds();
#endif

// ---------------------------------------------------------------------------
// Keyboard
// ---------------------------------------------------------------------------

// Whether a key is held right now, by its Windows virtual-key code
// (GetAsyncKeyState's high bit), whatever window has the focus. Codes outside
// 0..255 are never down.
bool AsyncKeyDown(int32_t vk);

#ifndef _WIN32
// Linux stand-in: a table the tests and the desktop harness set.
void SetAsyncKeyDown(int32_t vk, bool down);
void ClearAsyncKeys();
#endif

// ---------------------------------------------------------------------------
// Shell
// ---------------------------------------------------------------------------

// Asks the system to open a web page in the player's browser (ShellExecuteA
// "open" on Windows). The result is not reported.
void OpenWebPage(const char* url);

#ifndef _WIN32
// Linux stand-in: the pages asked for since the last take, oldest first.
std::vector<std::string> TakeOpenedPages();
#endif

// ---------------------------------------------------------------------------
// System fonts
// ---------------------------------------------------------------------------

// Scripts the overlay's own faces lack and the system's fonts supply.
enum class CjkScript { Han, Kana, Hangul };

struct SystemFontFile
{
    std::string path;
    int face = 0; // index of the face inside a font collection (.ttc)
};

// Font files of the system that draw `script`, the most suitable first; only
// files that exist. Windows: the usual system fonts under the Windows fonts
// folder. Linux stand-in: the CJK fonts of Debian's font packages.
std::vector<SystemFontFile> FindCjkFontFiles(CjkScript script);

// The calling thread yields to the game's own threads: below-normal priority
// (Windows), nice 10 (Linux). For background work that must not take a core
// from the render thread.
void LowerThisThreadPriority();
