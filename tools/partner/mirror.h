// Mirror mode: each partner file that arrives is written back as the own file
// of the same channel, so one person can run their scripts against a partner
// that answers with their own state.
#pragma once

#include "link/channel_files.h"

#include <cstdint>
#include <string>

struct MirrorState
{
    uint64_t last_hash[kChannelCount] = {};
};

// Copies every partner channel file that changed since the last call over the
// own file of that channel. Returns how many files were copied.
int MirrorPartnerFiles(MirrorState& state, uint32_t role);

// Writes the six own channel files as a game's scripts would (version
// `counter` in each), so a partner without a game still has traffic to show.
void WriteOwnGameFiles(uint32_t role, int counter);

// "sync in/out s: Packet 0.1/0.0 ...": per channel, seconds since the
// partner's last version and since the last own send ("-" none yet, "!" after
// the partner's figure when that channel is late).
std::string SyncHealthLine();
