#include "mirror.h"

#include "platform/platform.h"

int MirrorPartnerFiles(MirrorState& state, uint32_t role)
{
    const std::vector<std::string> own = ChannelFileNames(role);
    const std::vector<std::string> partner = ChannelFileNames(role == 1 ? 2 : 1);
    int copied = 0;
    std::string content;
    for (size_t i = 0; i < kChannelCount; i++) {
        if (!ReadWholeFile(DataPath(partner[i]), content, kMaxChannelFileBytes))
            continue;
        const uint64_t h = ChannelHash(content);
        if (h == state.last_hash[i])
            continue;
        if (WriteFileAtomically(DataPath(own[i]), content)) {
            state.last_hash[i] = h;
            copied++;
        }
    }
    return copied;
}
