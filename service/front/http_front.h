// The HTTP/1.1 front of the account and room ports, made for slow and hostile
// peers: one event thread reads and writes every connection, each request must
// arrive whole within a deadline, each source address holds only so many
// connections, and handlers run on worker pools (the costly routes on a small
// pool of their own) so a cheap request never waits behind a slow peer or a
// password hash. Requests on one connection are answered in order.
// With a key and certificate, the same port also speaks TLS: a connection
// whose first bytes are a TLS handshake is TLS, anything else plain HTTP.
// Behind a balancer, a PROXY protocol v2 header may come first (an option).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct HttpCounters;

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
    int request_deadline_ms = 5000;   // head and body, from accept or the first byte after an answer
    int idle_ms = 30000;              // a kept-alive connection silent this long after an answer is closed
    int write_deadline_ms = 5000;     // an answer the peer does not take in time is dropped
    int per_address = 64;             // connections held at once from one IPv4 address
    int max_connections = 8192;       // beyond it, new ones wait in the listen queue
    int backlog = 4096;
    int workers = 4;
    int costly_workers = 2;           // run at a lower CPU priority
    size_t queue_limit = 1024;        // waiting requests per pool; beyond it 503
    std::string tls_cert, tls_key;    // PEM files; both empty = plain HTTP only
    bool tls_only = false;            // plain HTTP is answered 426 and closed
    // Behind a TCP balancer (haproxy send-proxy-v2): every connection starts
    // with a PROXY protocol v2 header, and the address it carries is the
    // peer's for the per-address cap and for the handlers. A connection
    // without one is closed. Never set when peers can reach the port directly.
    bool proxy_protocol = false;
    // The body of the front's own answers (400, 404, 413, 426, 431, 500, 501, 503).
    std::function<std::string(int status)> error_body;
    std::string name;                 // "account", "room": in its log lines
    bool log_requests = false;        // a log line per answered request (method, path, status, time)
    // Where the front keeps its open connections and refusals for the metrics
    // page; written by its event thread only. Must outlive the front.
    HttpCounters* counters = nullptr;
};

struct HttpFront;

// Binds and listens; nullptr with a reason on failure.
HttpFront* StartHttpFront(const HttpFrontOptions& options, std::vector<HttpRoute> routes, std::string& error);
// Stops serving; requests still queued are dropped, running handlers finish first.
void StopHttpFront(HttpFront* front);

// Stops accepting and answers what is in flight: every request already read
// is answered, with "Connection: close". Returns at once; HttpFrontBusy tells
// when it is done.
void DrainHttpFront(HttpFront* front);
// Requests read and not yet answered (while draining: what is left to do).
int HttpFrontBusy(const HttpFront* front);

// Loads the TLS key and certificate again (both files of the options) for
// the connections accepted from now on; those open keep theirs. False with a
// reason, the old ones kept, when they cannot be loaded.
bool ReloadHttpFrontTls(HttpFront* front, std::string& error);

// Checks that the key and certificate load and belong together; a summary of
// the certificate ("CN=..., valid until ...") or false with a reason that
// names the file.
bool CheckTlsFiles(const std::string& cert, const std::string& key, std::string& summary, std::string& error);

// A parameter of the query or of a form body, decoded; "" when absent.
std::string HttpParam(const HttpRequest& req, const char* name);

// The port it listens on (the one the system chose when options.port was 0).
uint16_t HttpFrontPort(const HttpFront* front);
