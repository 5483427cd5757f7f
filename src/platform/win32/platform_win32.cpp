// The platform layer on Windows: the real API, called as the plugin's design says.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

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
