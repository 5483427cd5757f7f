// The platform layer on Windows: the real API, called as the plugin's design says.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <process.h>

#include <new>
#include <cstdio>
#include <vector>

// windows.h maps ReplaceFile to ReplaceFileA; ours is the portable one.
#undef ReplaceFile

int64_t SteadyNowNs()
{
    // The frequency is fixed at boot, so read it once.
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return (int64_t)f.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return CounterToNs((int64_t)counter.QuadPart, frequency);
}

void DebugOutput(const char* text)
{
    OutputDebugStringA(text);
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

// Not std::thread: with mingw's posix-threads runtime a thread started while
// the previous detached one was ending now and then never ran, and the process
// later jumped to a wild address. The system's own threads do not.
namespace {

struct ThreadStart
{
    void (*entry)(void*);
    void* arg;
};

unsigned __stdcall ThreadMain(void* p)
{
    const ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.entry(start.arg);
    return 0;
}

} // namespace

bool StartDetachedThread(void (*entry)(void*), void* arg)
{
    ThreadStart* start = new (std::nothrow) ThreadStart{entry, arg};
    if (!start)
        return false;
    // _beginthreadex, not CreateThread: the thread uses the C runtime.
    const uintptr_t handle = _beginthreadex(nullptr, 0, ThreadMain, start, 0, nullptr);
    if (handle == 0) {
        delete start;
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return true;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

bool MoveFileOver(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool RemoveFile(const std::string& path)
{
    if (DeleteFileA(path.c_str()))
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// ---------------------------------------------------------------------------
// UDP (Winsock 2)
// ---------------------------------------------------------------------------

bool ParseIpv4(const char* text, uint32_t& ip)
{
    IN_ADDR a;
    if (inet_pton(AF_INET, text, &a) != 1)
        return false;
    ip = ntohl(a.s_addr);
    return true;
}

bool NetStartup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void NetCleanup()
{
    WSACleanup();
}

UdpSocket UdpOpen(uint16_t port, int buffer_bytes)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, (const char*)&buffer_bytes, sizeof(buffer_bytes));
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, (const char*)&buffer_bytes, sizeof(buffer_bytes));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    bind(s, (const sockaddr*)&local, sizeof(local));
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    // Windows otherwise fails the next receive when a datagram sent to a
    // closed port (a partner's old address) comes back refused.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &returned, nullptr, nullptr);
    return (UdpSocket)s;
}

void UdpClose(UdpSocket s)
{
    if (s != kNoSocket)
        closesocket((SOCKET)s);
}

bool UdpSendTo(UdpSocket s, const NetAddress& to, const void* data, size_t size)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(to.ip);
    addr.sin_port = htons(to.port);
    return sendto((SOCKET)s, (const char*)data, (int)size, 0, (const sockaddr*)&addr, sizeof(addr)) == (int)size;
}

int UdpReceive(UdpSocket s, void* buffer, size_t capacity, NetAddress& from)
{
    sockaddr_in addr{};
    int len = sizeof(addr);
    const int n = recvfrom((SOCKET)s, (char*)buffer, (int)capacity, 0, (sockaddr*)&addr, &len);
    if (n == SOCKET_ERROR)
        return -1;
    from.ip = ntohl(addr.sin_addr.s_addr);
    from.port = ntohs(addr.sin_port);
    return n;
}

bool UdpWait(UdpSocket s, int64_t timeout_us)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET((SOCKET)s, &set);
    timeval tv;
    tv.tv_sec = (long)(timeout_us / 1000000);
    tv.tv_usec = (long)(timeout_us % 1000000);
    return select(0, &set, nullptr, nullptr, &tv) > 0;
}

uint16_t UdpLocalPort(UdpSocket s)
{
    sockaddr_in addr{};
    int len = sizeof(addr);
    if (getsockname((SOCKET)s, (sockaddr*)&addr, &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

// ---------------------------------------------------------------------------
// Keyboard
// ---------------------------------------------------------------------------

bool AsyncKeyDown(int32_t vk)
{
    if (vk < 0 || vk > 255)
        return false;
    return (GetAsyncKeyState(vk) & 0x8000) != 0;
}

// ---------------------------------------------------------------------------
// Folder watch (ReadDirectoryChangesW)
// ---------------------------------------------------------------------------

const bool kFolderWatchTellsClose = false;

struct FolderWatch
{
    HANDLE dir = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    bool pending = false; // a request is with the system: buffer and OVERLAPPED are its
    DWORD buffer[4096];   // FILE_NOTIFY_INFORMATION records are DWORD aligned
    std::vector<std::wstring> names;
    std::vector<std::string> narrow_names;
    WSAEVENT socket_event = WSA_INVALID_EVENT;
    UdpSocket socket = kNoSocket;
};

static bool WatchArm(FolderWatch* w)
{
    ResetEvent(w->overlapped.hEvent);
    w->pending = ReadDirectoryChangesW(w->dir, w->buffer, sizeof(w->buffer), FALSE,
                                       FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                           FILE_NOTIFY_CHANGE_SIZE,
                                       nullptr, &w->overlapped, nullptr) != 0;
    return w->pending;
}

FolderWatch* FolderWatchOpen(const std::string& folder, const std::vector<std::string>& names)
{
    // The folder itself, shared every way: no file in it is ever opened here.
    HANDLE dir = CreateFileA(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (dir == INVALID_HANDLE_VALUE)
        return nullptr;
    FolderWatch* w = new FolderWatch;
    w->dir = dir;
    w->narrow_names = names;
    for (const std::string& n : names)
        w->names.push_back(std::wstring(n.begin(), n.end())); // the channel names are ASCII
    w->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!w->overlapped.hEvent || !WatchArm(w)) {
        FolderWatchClose(w);
        return nullptr;
    }
    return w;
}

void FolderWatchClose(FolderWatch* w)
{
    if (!w)
        return;
    if (w->dir != INVALID_HANDLE_VALUE) {
        if (w->pending) {
            // The cancelled request still owns the buffer and the OVERLAPPED
            // until it completes: wait for that before anything is freed.
            DWORD bytes = 0;
            CancelIoEx(w->dir, &w->overlapped);
            GetOverlappedResult(w->dir, &w->overlapped, &bytes, TRUE);
            w->pending = false;
        }
        CloseHandle(w->dir);
    }
    if (w->overlapped.hEvent)
        CloseHandle(w->overlapped.hEvent);
    if (w->socket_event != WSA_INVALID_EVENT) {
        WSAEventSelect((SOCKET)w->socket, nullptr, 0);
        WSACloseEvent(w->socket_event);
    }
    delete w;
}

// The watched name a notice is about, or nullptr. Windows names compare
// without regard to case.
static const std::string* WatchedName(const FolderWatch* w, const FILE_NOTIFY_INFORMATION* n)
{
    const size_t len = n->FileNameLength / sizeof(WCHAR);
    for (size_t i = 0; i < w->names.size(); i++)
        if (w->names[i].size() == len &&
            CompareStringOrdinal(n->FileName, (int)len, w->names[i].data(), (int)len, TRUE) == CSTR_EQUAL)
            return &w->narrow_names[i];
    return nullptr;
}

void FolderWatchTake(FolderWatch* w, std::vector<FolderEvent>& events, bool& lost)
{
    events.clear();
    lost = false;
    if (!w)
        return;
    if (!w->pending) {
        lost = !WatchArm(w);
        return;
    }
    if (WaitForSingleObject(w->overlapped.hEvent, 0) != WAIT_OBJECT_0)
        return;
    DWORD bytes = 0;
    const BOOL done = GetOverlappedResult(w->dir, &w->overlapped, &bytes, FALSE);
    w->pending = false;
    if (!done || bytes == 0)
        lost = true; // failed, or the notices did not fit the buffer
    for (DWORD at = 0; done && bytes > 0 && at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
        const FILE_NOTIFY_INFORMATION* n = (const FILE_NOTIFY_INFORMATION*)((const char*)w->buffer + at);
        if (n->Action == FILE_ACTION_ADDED || n->Action == FILE_ACTION_MODIFIED ||
            n->Action == FILE_ACTION_RENAMED_NEW_NAME) {
            if (const std::string* name = WatchedName(w, n))
                events.push_back(FolderEvent{*name, n->Action == FILE_ACTION_RENAMED_NEW_NAME});
        }
        if (n->NextEntryOffset == 0)
            break;
        at += n->NextEntryOffset;
    }
    if (!WatchArm(w))
        lost = true;
}

// Size and last write time through an open handle: a writer's work moves them.
static bool FileStamp(HANDLE h, uint64_t& size, uint64_t& written)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return false;
    size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    written = ((uint64_t)info.ftLastWriteTime.dwHighDateTime << 32) | info.ftLastWriteTime.dwLowDateTime;
    return true;
}

// Reads `size` bytes from the start of the file; false on a short read.
static bool ReadFromStart(HANDLE h, char* to, size_t size)
{
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN))
        return false;
    size_t got = 0;
    while (got < size) {
        DWORD n = 0;
        if (!ReadFile(h, to + got, (DWORD)(size - got), &n, nullptr) || n == 0)
            break;
        got += n;
    }
    return got == size;
}

bool ReadFileShared(const std::string& path, std::string& content, size_t max_bytes, bool* changed)
{
    if (changed)
        *changed = false;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    uint64_t size = 0, written = 0;
    bool ok = FileStamp(h, size, written);
    // Emptied within the last 100 ms: its writer truncated it (CREATE_ALWAYS)
    // and is about to write it again. The open is often granted just then
    // (under Wine it queues behind the writer's own open), so its write is
    // waited for a moment through this handle, which stands in no one's way.
    const auto emptied_lately = [&] {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const uint64_t now_100ns = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
        return size == 0 && written != 0 && now_100ns - written < 1000000;
    };
    const ULONGLONG waited_from = GetTickCount64();
    while (ok && emptied_lately() && GetTickCount64() - waited_from < 2) {
        SwitchToThread();
        ok = FileStamp(h, size, written);
    }
    if (changed && ok && emptied_lately())
        *changed = true;
    ok = ok && size > 0 && size <= max_bytes;
    if (ok) {
        content.resize((size_t)size);
        ok = ReadFromStart(h, &content[0], content.size());
        // Read twice, microseconds apart: a writer that truncates and
        // rewrites can do so within one tick of the write time, so the stamp
        // alone does not show it; the two reads differ if it did.
        std::string again(content.size(), '\0');
        ok = ok && ReadFromStart(h, &again[0], again.size()) && again == content;
        uint64_t size_after = 0, written_after = 0;
        const bool moved =
            !ok || !FileStamp(h, size_after, written_after) || size_after != size || written_after != written;
        if (moved && changed)
            *changed = true;
        ok = ok && !moved;
    }
    CloseHandle(h);
    return ok;
}

int UdpWaitOrFolder(UdpSocket s, FolderWatch* w, int64_t timeout_us)
{
    if (!w)
        return UdpWait(s, timeout_us) ? kWaitDatagram : 0;
    if (w->socket != s) {
        if (w->socket_event == WSA_INVALID_EVENT)
            w->socket_event = WSACreateEvent();
        WSAEventSelect((SOCKET)s, w->socket_event, FD_READ);
        w->socket = s;
    }
    const int64_t ms = (timeout_us + 999) / 1000;
    HANDLE both[2] = {w->socket_event, w->overlapped.hEvent};
    WaitForMultipleObjects(2, both, FALSE, (DWORD)(ms < 0 ? 0 : ms));
    WSAResetEvent(w->socket_event);
    // Either may be ready whatever the wait returned.
    return kWaitDatagram | kWaitFolder;
}

// ---------------------------------------------------------------------------
// System fonts
// ---------------------------------------------------------------------------

std::vector<SystemFontFile> FindCjkFontFiles(CjkScript script)
{
    // Shipped with Windows 10 and 11 (some with their language's feature on
    // demand); older systems have the later names of each list.
    static const char* const kChinese[] = {"msyh.ttc", "msjh.ttc", "simsun.ttc"};
    static const char* const kTraditional[] = {"msjh.ttc", "msyh.ttc", "mingliu.ttc"};
    static const char* const kJapanese[] = {"YuGothM.ttc", "meiryo.ttc", "msgothic.ttc"};
    static const char* const kKorean[] = {"malgun.ttf", "gulim.ttc", "batang.ttc"};
    const LANGID ui = GetUserDefaultUILanguage();
    const WORD primary = PRIMARYLANGID(ui), sub = SUBLANGID(ui);
    const bool traditional = primary == LANG_CHINESE &&
                             (sub == SUBLANG_CHINESE_TRADITIONAL || sub == SUBLANG_CHINESE_HONGKONG ||
                              sub == SUBLANG_CHINESE_MACAU);
    std::vector<const char*> names;
    auto add = [&names](const char* const* list, size_t n) { names.insert(names.end(), list, list + n); };
    switch (script) {
    case CjkScript::Han:
        // Ideographs take the shapes of the player's own language where it
        // is one of the three; Chinese faces otherwise.
        if (primary == LANG_JAPANESE)
            add(kJapanese, 3);
        else if (primary == LANG_KOREAN)
            add(kKorean, 3);
        add(traditional ? kTraditional : kChinese, 3);
        add(kJapanese, 3);
        break;
    case CjkScript::Kana:
        add(kJapanese, 3);
        add(kChinese, 3);
        break;
    case CjkScript::Hangul:
        add(kKorean, 3);
        break;
    }
    char windir[MAX_PATH];
    const UINT n = GetWindowsDirectoryA(windir, MAX_PATH);
    std::vector<SystemFontFile> found;
    if (n == 0 || n >= MAX_PATH)
        return found;
    for (const char* name : names) {
        SystemFontFile f;
        f.path = std::string(windir, n) + "\\Fonts\\" + name;
        const DWORD attr = GetFileAttributesA(f.path.c_str());
        if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        bool seen = false;
        for (const SystemFontFile& g : found)
            seen = seen || g.path == f.path;
        if (!seen)
            found.push_back(f);
    }
    return found;
}

void LowerThisThreadPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

// ---------------------------------------------------------------------------
// Game version
// ---------------------------------------------------------------------------

std::string GameExecutableVersion()
{
    wchar_t path[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, path, (DWORD)(sizeof(path) / sizeof(path[0])));
    if (n == 0 || n >= sizeof(path) / sizeof(path[0]))
        return std::string();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return std::string();
    std::vector<unsigned char> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (!GetFileVersionInfoW(path, 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", (void**)&fixed, &fixed_size) || !fixed ||
        fixed_size < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD)
        return std::string();
    char text[64];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", (unsigned)HIWORD(fixed->dwFileVersionMS),
             (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
             (unsigned)LOWORD(fixed->dwFileVersionLS));
    return text;
}
