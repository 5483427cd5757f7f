// What an operator watches: counters the service's parts keep as they work,
// written out in the Prometheus text format by a small HTTP listener of its
// own (--metrics ADDR:PORT), apart from the player-facing ports.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// Adds to a counter only one thread writes: no locked instruction on the hot path.
inline void AddOwn(std::atomic<uint64_t>& c, uint64_t n)
{
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Durations in fixed buckets, from 100 us to 2.5 s.
struct LatencyHistogram
{
    static constexpr int kBuckets = 14;
    static const int64_t kUpperNs[kBuckets];
    std::atomic<uint64_t> bucket[kBuckets + 1] = {}; // the last: above every bound
    std::atomic<uint64_t> sum_ns{0};
    void Observe(int64_t ns);
};

// One port's requests, counted where its routes answer.
struct RouteCounts
{
    static constexpr int kStatuses = 8;
    static const int kStatus[kStatuses]; // 0 stands for any other status
    std::string route;
    std::atomic<uint64_t> answered[kStatuses] = {};
};

struct HttpCounters
{
    std::string port; // "account", "room"
    std::deque<RouteCounts> routes;
    LatencyHistogram handler_time;
    // The front's own figures: connections it holds and requests it turns
    // away before any route, written by its event thread alone. Shown once
    // the front says it keeps them.
    std::atomic<bool> front_fills{false};
    std::atomic<int64_t> open_connections{0};
    std::atomic<uint64_t> refused_per_address{0}; // past the cap: hung up at accept
    std::atomic<uint64_t> refused_deadline{0};    // request, handshake or answer not done in time
    std::atomic<uint64_t> refused_size{0};        // head over 16 KiB (431), body over the limit (413)
    std::atomic<uint64_t> refused_busy{0};        // the handlers' queue full (503)
    std::atomic<uint64_t> refused_plain{0};       // plain HTTP under --tls-only (426)
    std::atomic<uint64_t> refused_malformed{0};   // not HTTP/1.x as the front takes it (400, 501)
    std::atomic<uint64_t> refused_tls{0};         // a TLS handshake that failed or cannot be made
};

// A store's calls, their time and the ones that had no answer.
struct StoreCounters
{
    const char* kind = "sqlite";
    std::atomic<uint64_t> calls{0}, errors{0};
    LatencyHistogram call_time;
};

// ---------------------------------------------------------------------------
// Text format
// ---------------------------------------------------------------------------

// "# HELP" and "# TYPE" lines of one metric family.
void MetricHead(std::string& out, const char* name, const char* type, const char* help);
// One sample; `labels` is `key="value",...` or empty.
void MetricLine(std::string& out, const char* name, const std::string& labels, double value);
void MetricHistogram(std::string& out, const char* name, const std::string& labels, const LatencyHistogram& h);
void RenderHttpCounters(std::string& out, const std::vector<const HttpCounters*>& ports);
void RenderStoreCounters(std::string& out, const std::vector<const StoreCounters*>& stores);

// ---------------------------------------------------------------------------
// The listener
// ---------------------------------------------------------------------------

struct MetricsServer;

// "ADDR:PORT" or "PORT" (then on 127.0.0.1); false when it is neither.
bool ParseMetricsAddress(const std::string& text, std::string& addr, uint16_t& port);

// Whether the service can serve players now; false with a short reason.
using ReadyCheck = std::function<bool(std::string& reason)>;

// Serves `page()` on GET /metrics, 200 "alive" on GET /healthz, and on GET
// /readyz 200 "ready" or 503 with the reason from `ready` (any other path:
// 404), on one thread of its own; nullptr with a reason on failure.
MetricsServer* StartMetricsServer(const std::string& addr, uint16_t port, std::function<std::string()> page,
                                  std::string& error, ReadyCheck ready = {});
void StopMetricsServer(MetricsServer* server);
