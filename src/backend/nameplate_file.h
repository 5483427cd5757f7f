// The nameplate file "Kestrel_nameplate.json": the name the partner's game
// shows over this player's character, and how. Kept current by the client
// frame; the scripts read it at any time, so it is replaced whole.
#pragma once

#include "state/nameplate_state.h"

#include <cstdint>
#include <string>

struct NameplateFileState // render thread
{
    std::string last_name;      // what the last successful write was made of
    NameplateSettings last_settings;
    bool written = false;       // the file holds last_name and last_settings
    int64_t last_failure_ns = 0;
    bool failed = false;        // the last attempt failed: retry at most once a second
};

// {"name":"NAME","display":D,"max_dist":M,"height":H,"text_scale":T}
std::string NameplateFileText(const std::string& name, const NameplateSettings& s);

// Once per frame. The name is the gamertag, or the display name without one.
// Writes only when the name or a setting changed since the last successful
// write; a failed write is tried again at most once a second. True when it wrote.
bool WriteNameplateFile(NameplateFileState& state, const NameplateSettings& settings, int64_t now_ns);
