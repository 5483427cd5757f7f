#include "front/route_counts.h"

#include <chrono>

static int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CountRoutes(HttpCounters& counters, std::vector<HttpRoute>& routes)
{
    for (HttpRoute& r : routes) {
        counters.routes.emplace_back();
        RouteCounts* counts = &counters.routes.back(); // a deque keeps it in place
        counts->route = r.path;
        HttpHandler inner = std::move(r.handler);
        LatencyHistogram* time = &counters.handler_time;
        r.handler = [counts, time, inner](const HttpRequest& req) {
            const int64_t start = NowNs();
            HttpAnswer a = inner(req);
            time->Observe(NowNs() - start);
            int slot = RouteCounts::kStatuses - 1;
            for (int i = 0; i < RouteCounts::kStatuses - 1; i++)
                if (RouteCounts::kStatus[i] == a.status)
                    slot = i;
            counts->answered[slot].fetch_add(1, std::memory_order_relaxed);
            return a;
        };
    }
}
