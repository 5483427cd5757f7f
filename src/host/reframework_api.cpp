#include "host/reframework_api.h"

#include <stdexcept>

namespace reframework {

std::unique_ptr<API> API::instance_;

API& API::initialize(const HostInitParam* param)
{
    if (param == nullptr)
        throw std::runtime_error("param is null");
    if (instance_)
        throw std::runtime_error("API already initialized");
    instance_.reset(new API(param));
    return *instance_;
}

API& API::get()
{
    if (!instance_)
        throw std::runtime_error("API not initialized");
    return *instance_;
}

bool API::exists()
{
    return instance_ != nullptr;
}

} // namespace reframework

bool HostMenuShown()
{
    const HostFunctions* f = reframework::API::get().functions();
    return f != nullptr && f->menu_shown != nullptr && f->menu_shown();
}
