#include "metrics/metrics.h"

#include <utility> // Boost 1.74's Asio uses std::exchange without it under C++20

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

const int64_t LatencyHistogram::kUpperNs[kBuckets] = {
    100000,   250000,   500000,    1000000,   2500000,   5000000,   10000000,
    25000000, 50000000, 100000000, 250000000, 500000000, 1000000000, 2500000000,
};

const int RouteCounts::kStatus[kStatuses] = {200, 400, 404, 413, 429, 500, 503, 0};

void LatencyHistogram::Observe(int64_t ns)
{
    int i = 0;
    while (i < kBuckets && ns > kUpperNs[i])
        i++;
    bucket[i].fetch_add(1, std::memory_order_relaxed);
    sum_ns.fetch_add((uint64_t)(ns > 0 ? ns : 0), std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Text format
// ---------------------------------------------------------------------------

void MetricHead(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void MetricLine(std::string& out, const char* name, const std::string& labels, double value)
{
    char number[64];
    snprintf(number, sizeof(number), "%.17g", value);
    out += name;
    if (!labels.empty())
        out += "{" + labels + "}";
    out += ' ';
    out += number;
    out += '\n';
}

void MetricHistogram(std::string& out, const char* name, const std::string& labels, const LatencyHistogram& h)
{
    const std::string sep = labels.empty() ? "" : ",";
    const std::string bucket = std::string(name) + "_bucket";
    uint64_t total = 0;
    for (int i = 0; i <= LatencyHistogram::kBuckets; i++) {
        total += h.bucket[i].load(std::memory_order_relaxed);
        char le[32];
        if (i < LatencyHistogram::kBuckets)
            snprintf(le, sizeof(le), "%g", (double)LatencyHistogram::kUpperNs[i] / 1e9);
        else
            snprintf(le, sizeof(le), "+Inf");
        MetricLine(out, bucket.c_str(), labels + sep + "le=\"" + le + "\"", (double)total);
    }
    MetricLine(out, (std::string(name) + "_sum").c_str(), labels, (double)h.sum_ns.load(std::memory_order_relaxed) / 1e9);
    MetricLine(out, (std::string(name) + "_count").c_str(), labels, (double)total);
}

void RenderHttpCounters(std::string& out, const std::vector<const HttpCounters*>& ports)
{
    MetricHead(out, "kestrel_http_requests_total", "counter",
               "Requests a route answered, by port, route and status (status \"other\": any not listed).");
    for (const HttpCounters* p : ports)
        for (const RouteCounts& r : p->routes)
            for (int i = 0; i < RouteCounts::kStatuses; i++) {
                const uint64_t n = r.answered[i].load(std::memory_order_relaxed);
                if (n == 0)
                    continue;
                const std::string status = RouteCounts::kStatus[i] ? std::to_string(RouteCounts::kStatus[i]) : "other";
                MetricLine(out, "kestrel_http_requests_total",
                           "port=\"" + p->port + "\",route=\"" + r.route + "\",status=\"" + status + "\"", (double)n);
            }
    MetricHead(out, "kestrel_http_handler_seconds", "histogram",
               "Time from a request's dispatch to its answer, by port (reading and writing not included).");
    for (const HttpCounters* p : ports)
        MetricHistogram(out, "kestrel_http_handler_seconds", "port=\"" + p->port + "\"", p->handler_time);

    bool any_front = false;
    for (const HttpCounters* p : ports)
        any_front = any_front || p->front_fills.load();
    if (!any_front)
        return;
    MetricHead(out, "kestrel_http_open_connections", "gauge", "Connections the port holds now.");
    for (const HttpCounters* p : ports)
        if (p->front_fills.load())
            MetricLine(out, "kestrel_http_open_connections", "port=\"" + p->port + "\"",
                       (double)p->open_connections.load());
    MetricHead(out, "kestrel_http_refused_total", "counter",
               "Connections or requests the port turned away, by cause.");
    static const struct
    {
        const char* cause;
        std::atomic<uint64_t> HttpCounters::*n;
    } kCauses[] = {
        {"per_address", &HttpCounters::refused_per_address}, {"deadline", &HttpCounters::refused_deadline},
        {"size", &HttpCounters::refused_size},                {"busy", &HttpCounters::refused_busy},
        {"plain_http", &HttpCounters::refused_plain},         {"malformed", &HttpCounters::refused_malformed},
        {"tls_handshake", &HttpCounters::refused_tls},
    };
    for (const HttpCounters* p : ports) {
        if (!p->front_fills.load())
            continue;
        for (const auto& c : kCauses)
            MetricLine(out, "kestrel_http_refused_total", "port=\"" + p->port + "\",cause=\"" + c.cause + "\"",
                       (double)(p->*c.n).load(std::memory_order_relaxed));
    }
}

static std::string StoreLabel(const StoreCounters* store)
{
    return std::string("store=\"") + store->kind + "\"";
}

void RenderStoreCounters(std::string& out, const std::vector<const StoreCounters*>& stores)
{
    MetricHead(out, "kestrel_store_calls_total", "counter", "Calls into the account store and the shared rooms.");
    for (const StoreCounters* s : stores)
        MetricLine(out, "kestrel_store_calls_total", StoreLabel(s), (double)s->calls.load());
    MetricHead(out, "kestrel_store_errors_total", "counter",
               "Store calls that failed inside the database (answered as \"no answer\").");
    for (const StoreCounters* s : stores)
        MetricLine(out, "kestrel_store_errors_total", StoreLabel(s), (double)s->errors.load());
    MetricHead(out, "kestrel_store_call_seconds", "histogram", "Time of one store call, waiting for a connection included.");
    for (const StoreCounters* s : stores)
        MetricHistogram(out, "kestrel_store_call_seconds", StoreLabel(s), s->call_time);
}

// ---------------------------------------------------------------------------
// The listener: Boost.Beast on one thread. A scrape is small and rare, so
// connections are served one after another, each with a 5 s limit.
// ---------------------------------------------------------------------------

struct MetricsServer
{
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::function<std::string()> page;
    ReadyCheck ready;
    std::thread thread;
};

namespace {

void Serve(MetricsServer& s, tcp::socket socket)
{
    auto stream = std::make_shared<beast::tcp_stream>(std::move(socket));
    auto buffer = std::make_shared<beast::flat_buffer>(8192);
    auto req = std::make_shared<http::request<http::string_body>>();
    stream->expires_after(std::chrono::seconds(5));
    http::async_read(*stream, *buffer, *req, [&s, stream, buffer, req](beast::error_code ec, size_t) {
        if (ec)
            return;
        auto res = std::make_shared<http::response<http::string_body>>();
        res->version(req->version());
        res->keep_alive(false);
        const beast::string_view target = req->target();
        const beast::string_view path = target.substr(0, target.find('?'));
        if (req->method() != http::verb::get && req->method() != http::verb::head) {
            res->result(http::status::method_not_allowed);
            res->set(http::field::allow, "GET, HEAD");
        } else if (path == "/healthz") {
            res->result(http::status::ok);
            res->set(http::field::content_type, "text/plain");
            res->body() = "alive\n";
        } else if (path == "/readyz") {
            std::string reason;
            const bool ready = !s.ready || s.ready(reason);
            res->result(ready ? http::status::ok : http::status::service_unavailable);
            res->set(http::field::content_type, "text/plain");
            res->body() = ready ? "ready\n" : "not ready: " + reason + "\n";
        } else if (path != "/metrics") {
            res->result(http::status::not_found);
            res->set(http::field::content_type, "text/plain");
            res->body() = "Not found: the figures are at /metrics, health at /healthz and /readyz\n";
        } else {
            res->result(http::status::ok);
            res->set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
            if (req->method() == http::verb::get)
                res->body() = s.page();
        }
        res->prepare_payload();
        http::async_write(*stream, *res, [stream, res](beast::error_code, size_t) {
            beast::error_code ignored;
            stream->socket().shutdown(tcp::socket::shutdown_send, ignored);
        });
    });
}

void Accept(MetricsServer& s)
{
    s.acceptor.async_accept([&s](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec)
            Serve(s, std::move(socket));
        Accept(s);
    });
}

} // namespace

bool ParseMetricsAddress(const std::string& text, std::string& addr, uint16_t& port)
{
    const size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string number = colon == std::string::npos ? text : text.substr(colon + 1);
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1 || number.empty() || number.size() > 5)
        return false;
    for (char c : number)
        if (c < '0' || c > '9')
            return false;
    const int p = std::stoi(number);
    if (p < 1 || p > 65535)
        return false;
    addr = host;
    port = (uint16_t)p;
    return true;
}

MetricsServer* StartMetricsServer(const std::string& addr, uint16_t port, std::function<std::string()> page,
                                  std::string& error, ReadyCheck ready)
{
    auto* s = new MetricsServer;
    s->page = std::move(page);
    s->ready = std::move(ready);
    beast::error_code ec;
    const tcp::endpoint at(asio::ip::make_address_v4(addr, ec), port);
    if (!ec)
        s->acceptor.open(at.protocol(), ec);
    if (!ec)
        s->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        s->acceptor.bind(at, ec);
    if (!ec)
        s->acceptor.listen(64, ec);
    if (ec) {
        error = "cannot listen on " + addr + ":" + std::to_string(port) + ": " + ec.message();
        delete s;
        return nullptr;
    }
    Accept(*s);
    s->thread = std::thread([s] { s->io.run(); });
    return s;
}

void StopMetricsServer(MetricsServer* server)
{
    if (!server)
        return;
    asio::post(server->io, [server] {
        beast::error_code ignored;
        server->acceptor.close(ignored);
    });
    server->io.stop();
    server->thread.join();
    delete server;
}
