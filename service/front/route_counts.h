// The per-route figures of the metrics page, kept where the routes answer.
#pragma once

#include "front/http_front.h"
#include "metrics/metrics.h"

#include <vector>

// Wraps every route's handler so its answers are counted by status and timed.
void CountRoutes(HttpCounters& counters, std::vector<HttpRoute>& routes);
