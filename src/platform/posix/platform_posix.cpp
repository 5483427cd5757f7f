// Linux stand-ins for the platform layer.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <fcntl.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <cstring>
#include <time.h>
#include <unistd.h>

int64_t SteadyNowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void DebugOutput(const char* text)
{
    fputs(text, stderr);
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

namespace {

struct ThreadStart
{
    void (*entry)(void*);
    void* arg;
};

void* ThreadMain(void* p)
{
    const ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.entry(start.arg);
    return nullptr;
}

} // namespace

bool StartDetachedThread(void (*entry)(void*), void* arg)
{
    ThreadStart* start = new (std::nothrow) ThreadStart{entry, arg};
    if (!start)
        return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, ThreadMain, start) != 0) {
        delete start;
        return false;
    }
    pthread_detach(thread);
    return true;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

bool MoveFileOver(const std::string& from, const std::string& to)
{
    return rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& path)
{
    return remove(path.c_str()) == 0 || errno == ENOENT;
}

// ---------------------------------------------------------------------------
// UDP
// ---------------------------------------------------------------------------

bool ParseIpv4(const char* text, uint32_t& ip)
{
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1)
        return false;
    ip = ntohl(a.s_addr);
    return true;
}

bool NetStartup()
{
    return true;
}

void NetCleanup()
{
}

UdpSocket UdpOpen(uint16_t port, int buffer_bytes)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return kNoSocket;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof(buffer_bytes));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_bytes, sizeof(buffer_bytes));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    bind(fd, (const sockaddr*)&local, sizeof(local));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    return fd;
}

void UdpClose(UdpSocket s)
{
    if (s != kNoSocket)
        close((int)s);
}

bool UdpSendTo(UdpSocket s, const NetAddress& to, const void* data, size_t size)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(to.ip);
    addr.sin_port = htons(to.port);
    return sendto((int)s, data, size, 0, (const sockaddr*)&addr, sizeof(addr)) == (ssize_t)size;
}

int UdpReceive(UdpSocket s, void* buffer, size_t capacity, NetAddress& from)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    const ssize_t n = recvfrom((int)s, buffer, capacity, 0, (sockaddr*)&addr, &len);
    if (n < 0)
        return -1;
    from.ip = ntohl(addr.sin_addr.s_addr);
    from.port = ntohs(addr.sin_port);
    return (int)n;
}

// To the microsecond: the link's short waits would otherwise round up to 1 ms.
static timespec WaitSpan(int64_t timeout_us)
{
    if (timeout_us < 0)
        timeout_us = 0;
    return timespec{(time_t)(timeout_us / 1000000), (long)(timeout_us % 1000000) * 1000};
}

bool UdpWait(UdpSocket s, int64_t timeout_us)
{
    pollfd p{(int)s, POLLIN, 0};
    const timespec span = WaitSpan(timeout_us);
    return ppoll(&p, 1, &span, nullptr) > 0;
}

uint16_t UdpLocalPort(UdpSocket s)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname((int)s, (sockaddr*)&addr, &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

// ---------------------------------------------------------------------------
// Keyboard
// ---------------------------------------------------------------------------

namespace {

// Set from any thread (a harness's window thread), read by the render thread.
std::atomic<bool> g_keys_down[256];

} // namespace

bool AsyncKeyDown(int32_t vk)
{
    return vk >= 0 && vk < 256 && g_keys_down[vk].load();
}

void SetAsyncKeyDown(int32_t vk, bool down)
{
    if (vk >= 0 && vk < 256)
        g_keys_down[vk].store(down);
}

void ClearAsyncKeys()
{
    for (std::atomic<bool>& k : g_keys_down)
        k.store(false);
}

static int FolderWatchFd(FolderWatch* w);

int UdpWaitOrFolder(UdpSocket s, FolderWatch* w, int64_t timeout_us)
{
    pollfd p[2] = {{(int)s, POLLIN, 0}, {w ? FolderWatchFd(w) : -1, POLLIN, 0}};
    const timespec span = WaitSpan(timeout_us);
    if (ppoll(p, w ? 2 : 1, &span, nullptr) < 0)
        return kWaitDatagram | kWaitFolder;
    return (p[0].revents ? kWaitDatagram : 0) | (w && p[1].revents ? kWaitFolder : 0);
}

// ---------------------------------------------------------------------------
// Folder watch (inotify)
// ---------------------------------------------------------------------------

const bool kFolderWatchTellsClose = true;

struct FolderWatch
{
    int fd = -1;
    std::vector<std::string> names;
};

static int FolderWatchFd(FolderWatch* w)
{
    return w->fd;
}

FolderWatch* FolderWatchOpen(const std::string& folder, const std::vector<std::string>& names)
{
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // Reading is not watched: the link's own reads must not wake it.
    if (inotify_add_watch(fd, folder.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        close(fd);
        return nullptr;
    }
    FolderWatch* w = new FolderWatch;
    w->fd = fd;
    w->names = names;
    return w;
}

void FolderWatchClose(FolderWatch* w)
{
    if (!w)
        return;
    close(w->fd); // nothing is pending outside the descriptor
    delete w;
}

void FolderWatchTake(FolderWatch* w, std::vector<FolderEvent>& events, bool& lost)
{
    events.clear();
    lost = false;
    if (!w)
        return;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        const ssize_t n = read(w->fd, buf, sizeof(buf));
        if (n <= 0)
            return;
        // A read returns every whole event that fits: room left for the
        // largest one means the queue is empty, so no read to learn that.
        const bool drained = (size_t)n + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof(buf);
        for (ssize_t at = 0; at + (ssize_t)sizeof(inotify_event) <= n;) {
            const inotify_event* e = (const inotify_event*)(buf + at);
            at += (ssize_t)sizeof(inotify_event) + e->len;
            if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED))
                lost = true;
            if (e->len == 0 || !(e->mask & (IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO)))
                continue;
            for (const std::string& name : w->names)
                if (strcmp(e->name, name.c_str()) == 0) {
                    events.push_back(FolderEvent{name, (e->mask & IN_MODIFY) == 0});
                    break;
                }
        }
        if (drained)
            return;
    }
}

// Reads `size` bytes from the start of the file; false on a short read.
static bool ReadFromStart(int fd, char* to, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, to + got, size - got, (off_t)got);
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    return got == size;
}

bool ReadFileShared(const std::string& path, std::string& content, size_t max_bytes, bool* changed)
{
    if (changed)
        *changed = false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st, after;
    const bool stat_ok = fstat(fd, &st) == 0;
    bool ok = stat_ok && st.st_size > 0 && (uint64_t)st.st_size <= max_bytes;
    if (stat_ok && st.st_size == 0 && changed) {
        // Emptied within the last 100 ms: its writer truncated it and is
        // about to write it again.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const int64_t ago_ns = (int64_t)(now.tv_sec - st.st_mtim.tv_sec) * 1000000000 + (now.tv_nsec - st.st_mtim.tv_nsec);
        *changed = ago_ns >= 0 && ago_ns < 100000000;
    }
    if (ok) {
        content.resize((size_t)st.st_size);
        ok = ReadFromStart(fd, &content[0], content.size());
        // Read twice, microseconds apart: a writer that truncates and
        // rewrites can do so within one tick of the write time (a jiffy), so
        // the stamp alone does not show it; the two reads differ if it did.
        std::string again(content.size(), '\0');
        ok = ok && ReadFromStart(fd, &again[0], again.size()) && again == content;
        const bool moved = !ok || fstat(fd, &after) != 0 || after.st_size != st.st_size ||
                           after.st_mtim.tv_sec != st.st_mtim.tv_sec || after.st_mtim.tv_nsec != st.st_mtim.tv_nsec;
        if (moved && changed)
            *changed = true;
        ok = ok && !moved;
    }
    close(fd);
    return ok;
}

// ---------------------------------------------------------------------------
// System fonts
// ---------------------------------------------------------------------------

std::vector<SystemFontFile> FindCjkFontFiles(CjkScript script)
{
    // fonts-wqy-microhei draws all three scripts from one small file;
    // fonts-noto-cjk's collection has a face per language (JP, KR, SC, TC).
    static const char kWqy[] = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";
    static const char kNoto[] = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";
    const int noto_face = script == CjkScript::Kana ? 0 : script == CjkScript::Hangul ? 1 : 2;
    std::vector<SystemFontFile> found;
    for (const SystemFontFile& f : {SystemFontFile{kWqy, 0}, SystemFontFile{kNoto, noto_face}})
        if (access(f.path.c_str(), R_OK) == 0)
            found.push_back(f);
    return found;
}

void LowerThisThreadPriority()
{
    // Linux keeps a nice value per thread.
    setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), 10);
}

// ---------------------------------------------------------------------------
// Game version
// ---------------------------------------------------------------------------

std::string GameExecutableVersion()
{
    return std::string(); // executables here carry no version; the tools report theirs
}
