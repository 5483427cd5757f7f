#include "state/config.h"

#include <mutex>

static std::mutex g_host_lock;
static std::string g_host_override;

std::string BackendHost()
{
    std::lock_guard<std::mutex> g(g_host_lock);
    return g_host_override.empty() ? std::string(KESTREL_BACKEND_HOST) : g_host_override;
}

void OverrideBackendHost(const std::string& host)
{
    std::lock_guard<std::mutex> g(g_host_lock);
    g_host_override = host;
}
