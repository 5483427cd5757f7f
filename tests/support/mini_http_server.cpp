#include "mini_http_server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using Socket = SOCKET;
constexpr Socket kBad = INVALID_SOCKET;
static void CloseSocket(Socket s) { closesocket(s); }
constexpr int kSendFlags = 0;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
constexpr Socket kBad = -1;
static void CloseSocket(Socket s) { close(s); }
constexpr int kSendFlags = MSG_NOSIGNAL; // a client that hangs up must not kill the test
#endif

struct MiniHttpServer
{
    Socket listener = kBad;
    uint16_t port = 0;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable arrived;
    MiniHttpHandler handler;
    std::vector<MiniHttpRequest> requests;
    std::vector<std::thread> stallers;
};

namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return s;
}

// Waits up to `ms` for the socket to become readable.
bool Readable(Socket s, int ms)
{
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) > 0;
#else
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
#endif
}

bool SendAll(Socket s, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const size_t chunk = data.size() - sent < 65536 ? data.size() - sent : 65536;
        const int n = (int)send(s, data.data() + sent, (int)chunk, kSendFlags);
        if (n <= 0)
            return false;
        sent += (size_t)n;
    }
    return true;
}

// Reads one request (head, then Content-Length bytes of body). False when the
// peer closed or stalled first.
bool ReadRequest(Socket s, MiniHttpRequest& req)
{
    std::string data;
    char buf[16384];
    size_t head_end = std::string::npos;
    size_t need = 0;
    for (;;) {
        if (head_end != std::string::npos && data.size() >= head_end + 4 + need)
            break;
        if (!Readable(s, 5000))
            return false;
        const int n = (int)recv(s, buf, sizeof(buf), 0);
        if (n <= 0)
            return false;
        data.append(buf, (size_t)n);
        if (head_end == std::string::npos && (head_end = data.find("\r\n\r\n")) != std::string::npos) {
            const std::string head = data.substr(0, head_end);
            size_t line_end = head.find("\r\n");
            const std::string first = head.substr(0, line_end);
            const size_t sp1 = first.find(' ');
            const size_t sp2 = first.rfind(' ');
            req.method = first.substr(0, sp1);
            req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
            req.version = first.substr(sp2 + 1);
            size_t at = line_end == std::string::npos ? head.size() : line_end + 2;
            while (at < head.size()) {
                size_t end = head.find("\r\n", at);
                if (end == std::string::npos)
                    end = head.size();
                const std::string line = head.substr(at, end - at);
                const size_t colon = line.find(':');
                std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
                while (!value.empty() && value[0] == ' ')
                    value.erase(0, 1);
                req.headers.emplace_back(line.substr(0, colon), value);
                at = end + 2;
            }
            for (const std::string& v : req.Header("Content-Length"))
                need = (size_t)std::stoul(v);
        }
    }
    req.body = data.substr(head_end + 4, need);
    return true;
}

const char* Reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// Sleeps `ms`, or less when the server is stopping.
void Pause(MiniHttpServer* server, int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!server->stop.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Stall(MiniHttpServer* server, Socket client, MiniHttpAnswer answer)
{
    for (size_t i = 0; i < answer.raw.size() && !server->stop.load(); i++) {
        if (i > 0)
            Pause(server, answer.pause_ms);
        if (!SendAll(client, answer.raw[i]))
            break;
    }
    Pause(server, answer.hold_ms);
    CloseSocket(client);
}

void Answer(Socket client, const MiniHttpAnswer& answer)
{
    if (answer.hang_up)
        return;
    const std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) +
                             "\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(answer.body.size()) + "\r\nConnection: " +
                             (answer.keep_open_ms > 0 ? "keep-alive" : "close") + "\r\n\r\n";
    if (SendAll(client, head))
        SendAll(client, answer.body);
}

void AnswerWhenLetGo(MiniHttpServer* server, Socket client, MiniHttpAnswer answer)
{
    while (!server->stop.load() && !answer.gate->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Answer(client, answer);
    CloseSocket(client);
}

// Waits for a kept connection's next request; a stopping server does not wait.
bool ReadableUnlessStopping(MiniHttpServer* server, Socket s, int ms)
{
    for (int waited = 0; waited < ms && !server->stop.load(); waited += 50)
        if (Readable(s, 50))
            return true;
    return false;
}

void Serve(MiniHttpServer* server)
{
    while (!server->stop.load()) {
        if (!Readable(server->listener, 50))
            continue;
        const Socket client = accept(server->listener, nullptr, nullptr);
        if (client == kBad)
            continue;
        MiniHttpRequest req;
        bool handed_off = false;
        // A kept connection's next request follows on the same socket.
        while (!handed_off && ReadRequest(client, req)) {
            MiniHttpHandler handler;
            {
                std::lock_guard<std::mutex> hold(server->lock);
                handler = server->handler;
                server->requests.push_back(req);
                server->arrived.notify_all();
            }
            MiniHttpAnswer answer;
            answer.body = "{\"ok\":true}";
            if (handler)
                answer = handler(req);
            if (answer.gate) {
                server->stallers.emplace_back(AnswerWhenLetGo, server, client, std::move(answer));
                handed_off = true;
            } else if (!answer.raw.empty() || answer.hold_ms > 0) {
                server->stallers.emplace_back(Stall, server, client, std::move(answer));
                handed_off = true;
            } else {
                Answer(client, answer);
                if (answer.hang_up || answer.keep_open_ms <= 0 || !ReadableUnlessStopping(server, client, answer.keep_open_ms))
                    break;
                req = MiniHttpRequest();
            }
        }
        if (handed_off)
            continue;
#ifdef _WIN32
        shutdown(client, SD_SEND);
#else
        shutdown(client, SHUT_WR);
#endif
        CloseSocket(client);
    }
}

} // namespace

std::vector<std::string> MiniHttpRequest::Header(const std::string& name) const
{
    std::vector<std::string> out;
    for (const auto& h : headers)
        if (Lower(h.first) == Lower(name))
            out.push_back(h.second);
    return out;
}

MiniHttpServer* StartMiniHttpServer(uint16_t port)
{
#ifdef _WIN32
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return nullptr;
#endif
    const Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kBad)
        return nullptr;
#ifndef _WIN32
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
#endif
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (bind(s, (sockaddr*)&a, sizeof(a)) != 0 || listen(s, 16) != 0 || getsockname(s, (sockaddr*)&a, &len) != 0) {
        CloseSocket(s);
        return nullptr;
    }
    MiniHttpServer* server = new MiniHttpServer;
    server->listener = s;
    server->port = ntohs(a.sin_port);
    server->thread = std::thread(Serve, server);
    return server;
}

uint16_t MiniHttpPort(const MiniHttpServer* server)
{
    return server->port;
}

void SetMiniHttpHandler(MiniHttpServer* server, MiniHttpHandler handler)
{
    std::lock_guard<std::mutex> hold(server->lock);
    server->handler = std::move(handler);
}

std::vector<MiniHttpRequest> MiniHttpRequests(MiniHttpServer* server)
{
    std::lock_guard<std::mutex> hold(server->lock);
    return server->requests;
}

size_t WaitForMiniHttpRequests(MiniHttpServer* server, size_t count, int ms)
{
    std::unique_lock<std::mutex> hold(server->lock);
    server->arrived.wait_for(hold, std::chrono::milliseconds(ms), [&] { return server->requests.size() >= count; });
    return server->requests.size();
}

void StopMiniHttpServer(MiniHttpServer* server)
{
    if (!server)
        return;
    server->stop.store(true);
    server->thread.join();
    for (std::thread& t : server->stallers)
        t.join();
    CloseSocket(server->listener);
    delete server;
}
