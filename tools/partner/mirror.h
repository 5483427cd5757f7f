// Mirror mode: each partner file that arrives is written back as the own file
// of the same channel, so one person can run their scripts against a partner
// that answers with their own state.
#pragma once

#include "link/channel_files.h"

#include <cstdint>

struct MirrorState
{
    uint64_t last_hash[kChannelCount] = {};
};

// Copies every partner channel file that changed since the last call over the
// own file of that channel. Returns how many files were copied.
int MirrorPartnerFiles(MirrorState& state, uint32_t role);
