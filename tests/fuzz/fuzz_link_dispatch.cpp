// Received datagrams through the link's dispatch: pings, pongs, whole files and
// chunks, in one session as the link thread keeps it. The input is split into
// datagrams at each 0xFF 0xFE pair; the first byte picks the role. Each one is
// also read as the relay's introduction, which comes in on the same socket.
#include "link/link_path.h"
#include "link/peer_link.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    LinkSession session;
    session.role = 1 + (data[0] & 1);
    data++;
    size--;
    CompletedFiles completed;
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        const bool end = i == size || (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFE);
        if (!end)
            continue;
        // An exact-size copy, so reads past a datagram's end are caught.
        const size_t n = i - start;
        char* copy = new char[n ? n : 1];
        if (n)
            memcpy(copy, data + start, n);
        NetAddress peer;
        if (ParsePeerDatagram(copy, n, peer) && (n < 5 || memcmp(copy, "PEER ", 5) != 0))
            __builtin_trap();
        const std::string reply = DispatchDatagram(session, copy, n, completed, 1000.0);
        delete[] copy;
        if (!reply.empty() && reply.compare(0, 14, "FILE:__pong___") != 0)
            __builtin_trap();
        start = i + 2;
        i++;
    }
    // Only the partner's six files, and never more than the size limit.
    if (session.reassembly.size() > kChannelCount)
        __builtin_trap();
    for (const auto& [name, content] : completed)
        if (PartnerChannelIndex(name, session.role) < 0 || content.size() > kMaxChannelFileBytes + 70000)
            __builtin_trap();
    return 0;
}
