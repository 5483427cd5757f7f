// A scripted HTTP/1.1 server for the transport and worker tests, on plain
// sockets (Winsock under Wine), so the tests see exactly what the client puts
// on the wire. One connection at a time, except stalling answers, which run
// on threads of their own; an answer closes the connection unless it keeps it
// open for a next request.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct MiniHttpRequest
{
    std::string method;
    std::string target;  // the path as sent
    std::string version; // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers; // in order, names as sent
    std::string body;

    // The values of every header with this name (case-insensitive).
    std::vector<std::string> Header(const std::string& name) const;
};

struct MiniHttpAnswer
{
    int status = 200;
    std::string body;
    bool hang_up = false; // close without answering
    // Answered with keep-alive, the connection waits this long for its next
    // request, then is closed (0: closed after the answer).
    int keep_open_ms = 0;
    // A stalling server: when either is set these raw pieces go out instead of
    // an answer, `pause_ms` apart, then the connection stays open and silent
    // for `hold_ms` (cut short when the server stops).
    std::vector<std::string> raw;
    int pause_ms = 0;
    int hold_ms = 0;
    // A late answer: when set, the answer goes out on a thread of its own once
    // *gate is true, and other requests are served meanwhile.
    const std::atomic<bool>* gate = nullptr;
};

using MiniHttpHandler = std::function<MiniHttpAnswer(const MiniHttpRequest&)>;

struct MiniHttpServer;

// Listens on 127.0.0.1:port (0: any free port); nullptr when it cannot bind.
// Without a handler every request gets 200 {"ok":true}.
MiniHttpServer* StartMiniHttpServer(uint16_t port);
uint16_t MiniHttpPort(const MiniHttpServer* server);
void SetMiniHttpHandler(MiniHttpServer* server, MiniHttpHandler handler);
// Every request received so far, oldest first.
std::vector<MiniHttpRequest> MiniHttpRequests(MiniHttpServer* server);
// Waits up to `ms` for at least `count` requests; returns how many there are.
size_t WaitForMiniHttpRequests(MiniHttpServer* server, size_t count, int ms);
void StopMiniHttpServer(MiniHttpServer* server);
