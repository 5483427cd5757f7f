#include "backend/nameplate_file.h"

#include "backend/json_text.h"
#include "link/channel_files.h"
#include "platform/platform.h"
#include "state/app_state.h"

#include <cstdio>

namespace {

bool SameSettings(const NameplateSettings& a, const NameplateSettings& b)
{
    return a.display == b.display && a.max_dist == b.max_dist && a.height == b.height &&
           a.text_scale == b.text_scale;
}

// The account's name as the nameplate shows it, copied into `name` only when
// it differs from `last`, so an unchanged frame copies and allocates nothing.
// True when it changed.
bool TakeNameIfChanged(const std::string& last, std::string& name)
{
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    const AccountState& a = g_app.account;
    const char* now = a.gamertag.empty() ? a.display_name : a.gamertag.c_str();
    if (last == now)
        return false;
    name = now;
    return true;
}

} // namespace

std::string NameplateFileText(const std::string& name, const NameplateSettings& s)
{
    char numbers[96];
    snprintf(numbers, sizeof(numbers), "\",\"display\":%d,\"max_dist\":%d,\"height\":%d,\"text_scale\":%d}",
             (int)s.display, (int)s.max_dist, (int)s.height, (int)s.text_scale);
    return "{\"name\":\"" + JsonEscape(name) + numbers;
}

bool WriteNameplateFile(NameplateFileState& state, const NameplateSettings& settings, int64_t now_ns)
{
    std::string name;
    const bool renamed = TakeNameIfChanged(state.last_name, name);
    if (state.written && !renamed && SameSettings(settings, state.last_settings))
        return false;
    if (state.failed && now_ns - state.last_failure_ns < 1000000000)
        return false;
    if (!renamed)
        name = state.last_name;
    // Whole through a temporary file: the scripts may read it at any moment.
    if (!WriteFileAtomically(DataPath("Kestrel_nameplate.json"), NameplateFileText(name, settings))) {
        state.failed = true;
        state.last_failure_ns = now_ns;
        return false;
    }
    state.failed = false;
    state.written = true;
    state.last_name = name;
    state.last_settings = settings;
    return true;
}
