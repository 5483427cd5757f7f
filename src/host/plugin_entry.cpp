// The plugin's two exports, the only symbols Kestrel.dll exports (kestrel.def).
#include "backend/messages.h"
#include "host/host_records.h"
#include "host/overlay_renderer.h"
#include "host/plugin_callbacks.h"
#include "host/reframework_api.h"
#include "state/app_state.h"

extern "C" void reframework_plugin_required_version(HostVersion* version)
{
    if (!version)
        return;
    version->major = kRequiredHostMajor;
    version->minor = kRequiredHostMinor;
}

// Errors are thrown to the host as std::runtime_error ("param is null",
// "API already initialized").
extern "C" bool reframework_plugin_initialize(const HostInitParam* param)
{
    reframework::API& api = reframework::API::initialize(param);
    const HostFunctions* functions = api.functions();
    if (functions) {
        if (functions->on_present)
            functions->on_present(OnPresent);
        if (functions->on_device_reset)
            functions->on_device_reset(OnDeviceReset);
        if (functions->on_message)
            functions->on_message(OnMessage);
    }
    // The message-notification poller: once per process, even if the host
    // initialises again.
    StartMessagePoller();
    return true;
}
