#include "mirror.h"

#include "link/link_seal.h"
#include "link/peer_link.h"
#include "platform/platform.h"

#include <cstdio>

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

void WriteOwnGameFiles(uint32_t role, int counter)
{
    for (const std::string& name : ChannelFileNames(role)) {
        const std::string content = "{\"tick\":" + std::to_string(counter) + "}";
        FILE* f = fopen(DataPath(name).c_str(), "wb"); // in place, as the scripts do
        if (!f)
            continue;
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
}

std::string SyncHealthLine()
{
    const SyncHealth h = LinkSyncHealth();
    std::string line = "sync in/out s:";
    for (size_t i = 0; i < kChannelCount; i++) {
        const ChannelHealth& c = h.channels[i];
        char in[16] = "-", out[16] = "-", part[80];
        if (c.received_age_s >= 0)
            snprintf(in, sizeof(in), "%.1f", c.received_age_s);
        if (c.sent_age_s >= 0)
            snprintf(out, sizeof(out), "%.1f", c.sent_age_s);
        snprintf(part, sizeof(part), " %s %s%s/%s", ChannelShortName(i), in, c.late ? "!" : "", out);
        line += part;
    }
    char wire[128], ratio[24] = "-";
    if (h.file_ratio >= 0)
        snprintf(ratio, sizeof(ratio), "%.2f", h.file_ratio);
    snprintf(wire, sizeof(wire), " | out %s in %s files x%s framing %s", ByteRateText(h.out_bytes_per_s).c_str(),
             ByteRateText(h.in_bytes_per_s).c_str(), ratio, h.compact ? "compact" : "file");
    line += wire;
    const LinkSealHealth seal = LinkSealStatus();
    char part[96];
    snprintf(part, sizeof(part), seal.sealed ? " seal on, refused %llu forged %llu replayed" : " seal off",
             (unsigned long long)seal.refused_forged, (unsigned long long)seal.refused_replayed);
    line += part;
    const LinkPathInfo path = LinkPath();
    snprintf(part, sizeof(part), " path %s rtt %s ms", path.direct ? "direct" : "relay",
             path.rtt_ms < 0 ? "--" : std::to_string(path.rtt_ms).c_str());
    return line + part;
}
