#include "state/config.h"

#include "state/app_state.h"
#include "platform/platform.h"

#include <atomic>
#include <mutex>

// Detached workers may still ask for the host while the process exits, so the
// override and its lock live, like AppState, in storage that is never destroyed.
struct HostOverride
{
    std::mutex lock;
    std::string host;
    std::string pin;
    bool pin_set = false;
    std::string game_version;
    bool game_version_read = false;
};

union HostOverrideStorage
{
    HostOverride value;
    KESTREL_CONSTEXPR HostOverrideStorage() : value() {}
    ~HostOverrideStorage() {}
};

static KESTREL_CONSTINIT HostOverrideStorage g_host_storage;
static HostOverride& g_host = g_host_storage.value;

std::string BackendHost()
{
    std::lock_guard<std::mutex> g(g_host.lock);
    return g_host.host.empty() ? std::string(KESTREL_BACKEND_HOST) : g_host.host;
}

void OverrideBackendHost(const std::string& host)
{
    std::lock_guard<std::mutex> g(g_host.lock);
    g_host.host = host;
}

static std::atomic<bool> g_ride_out_drops{true};

bool RideOutDrops()
{
    return g_ride_out_drops.load();
}

void SetRideOutDrops(bool on)
{
    g_ride_out_drops.store(on);
}

std::string BackendPin()
{
    std::lock_guard<std::mutex> g(g_host.lock);
    return g_host.pin_set ? g_host.pin : std::string(KESTREL_BACKEND_PIN);
}

void OverrideBackendPin(const std::string& pin)
{
    std::lock_guard<std::mutex> g(g_host.lock);
    g_host.pin = pin;
    g_host.pin_set = true;
}

std::string KestrelVersion()
{
    return KESTREL_VERSION;
}

std::string GameVersion()
{
    std::lock_guard<std::mutex> g(g_host.lock);
    if (!g_host.game_version_read) {
        g_host.game_version = GameExecutableVersion();
        g_host.game_version_read = true;
    }
    return g_host.game_version;
}

void OverrideGameVersion(const std::string& version)
{
    std::lock_guard<std::mutex> g(g_host.lock);
    g_host.game_version = version;
    g_host.game_version_read = true;
}

static std::atomic<bool> g_send_link_keys{true};

bool SendLinkKeys()
{
    return g_send_link_keys.load();
}

void SetSendLinkKeys(bool on)
{
    g_send_link_keys.store(on);
}
