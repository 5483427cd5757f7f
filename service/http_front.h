// The HTTP/1.1 front of the account and room ports, made for slow and hostile
// peers: one event thread reads and writes every connection, each request must
// arrive whole within a deadline, each source address holds only so many
// connections, and handlers run on worker pools (the costly routes on a small
// pool of their own) so a cheap request never waits behind a slow peer or a
// password hash. Requests on one connection are answered in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct HttpRequest
{
    std::string method;       // "GET", "POST", ...
    std::string path;         // the target up to '?'
    std::string query;        // after '?', still encoded
    std::string content_type;
    std::string body;
    std::string remote_addr;  // dotted IPv4
};

struct HttpAnswer
{
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
};

using HttpHandler = std::function<HttpAnswer(const HttpRequest&)>;

struct HttpRoute
{
    std::string method, path;
    HttpHandler handler;
    bool costly = false; // runs on the costly pool (password hashing)
};

struct HttpFrontOptions
{
    std::string bind = "127.0.0.1";
    uint16_t port = 0;
    size_t max_body = 64 * 1024;      // larger bodies: 413, before they are read
    int request_deadline_ms = 5000;   // head and body, from accept or the previous answer
    int write_deadline_ms = 5000;     // an answer the peer does not take in time is dropped
    int per_address = 64;             // connections held at once from one IPv4 address
    int max_connections = 8192;       // beyond it, new ones wait in the listen queue
    int backlog = 4096;
    int workers = 4;
    int costly_workers = 2;           // run at a lower CPU priority
    size_t queue_limit = 1024;        // waiting requests per pool; beyond it 503
    // The body of the front's own answers (400, 404, 413, 431, 500, 501, 503).
    std::function<std::string(int status)> error_body;
};

struct HttpFront;

// Binds and listens; nullptr with a reason on failure.
HttpFront* StartHttpFront(const HttpFrontOptions& options, std::vector<HttpRoute> routes, std::string& error);
// Stops serving; requests still queued are dropped, running handlers finish first.
void StopHttpFront(HttpFront* front);

// A parameter of the query or of a form body, decoded; "" when absent.
std::string HttpParam(const HttpRequest& req, const char* name);

// ---------------------------------------------------------------------------
// Framing, exposed for the unit tests
// ---------------------------------------------------------------------------

enum class HttpParse { Incomplete, Complete, Refused };

// Reads one request from the front of `in`. Complete: `req` (no address),
// `used` bytes and `keep_alive` are set. Refused: `status` says why (400, 413,
// 431, 501); the connection is closed after that answer.
HttpParse ParseHttpRequest(const std::string& in, size_t max_body, HttpRequest& req, size_t& used, bool& keep_alive,
                           int& status);
