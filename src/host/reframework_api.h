// The host API wrapper: one instance per process, created at initialisation
// from the host's parameter. Errors at this boundary are exceptions:
// "param is null", "API already initialized", "API not initialized".
#pragma once

#include "host/host_records.h"

#include <memory>
#include <mutex>

namespace reframework {

class API
{
public:
    // Creates the singleton; throws std::runtime_error when param is null or
    // the singleton already exists.
    static API& initialize(const HostInitParam* param);
    // The singleton; throws std::runtime_error when it does not exist.
    static API& get();
    static bool exists();

    const HostInitParam* param() const { return param_; }
    const void* sdk() const { return sdk_; }
    const HostFunctions* functions() const { return param_->functions; }
    const HostRendererData* renderer_data() const { return param_->renderer_data; }
    // The host scripts' lock; the plugin itself never takes it.
    std::recursive_mutex& script_lock() { return script_lock_; }

    API(const API&) = delete;
    API& operator=(const API&) = delete;

private:
    explicit API(const HostInitParam* param) : param_(param), sdk_(param->sdk) {}

    const HostInitParam* param_;
    const void* sdk_;
    std::recursive_mutex script_lock_;

    static std::unique_ptr<API> instance_;
};

} // namespace reframework

// The host's own menu is on screen (false when the host gives no answer).
bool HostMenuShown();
