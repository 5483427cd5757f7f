#include "link/link_path.h"

#include "link/relay_address.h"

#include <algorithm>
#include <cstring>

bool ParsePeerDatagram(const char* data, size_t size, NetAddress& out)
{
    if (size < 5 || memcmp(data, "PEER ", 5) != 0 || size > 64)
        return false;
    std::string text(data + 5, size - 5);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return ParseRelayAddress(text, out);
}

std::string PathDatagram(const std::string& room_code, char letter, bool direct)
{
    return "PATH " + room_code + " " + letter + (direct ? " direct\n" : " relay\n");
}

static void StartRound(DirectPath& p, int64_t now_ns)
{
    p.probing = true;
    p.round_end_ns = now_ns + kProbeRoundNs;
    p.next_send_ns = now_ns;
    p.retry_ns = 0;
}

void PathTakePeer(DirectPath& p, const NetAddress& peer, int64_t now_ns)
{
    if (p.known && p.peer == peer) {
        p.next_known = false;
        return;
    }
    if (p.direct) {
        p.next = peer;
        p.next_known = true;
        return;
    }
    p.known = true;
    p.peer = peer;
    p.direct = false;
    p.backoff_ns = kFirstRetryNs;
    StartRound(p, now_ns);
}

void PathHeard(DirectPath& p, bool pong, bool ping, int64_t now_ns)
{
    if (!p.known)
        return;
    // Only a round trip keeps the path: a way that lets the partner's
    // datagrams in but not the own out must not hold the files.
    if (pong)
        p.heard_ns = now_ns;
    if (pong && !p.direct) {
        p.direct = true;
        p.probing = false;
        p.retry_ns = 0;
        p.backoff_ns = kFirstRetryNs;
        p.next_send_ns = now_ns + kKeepAliveIntervalNs;
        p.report_due = true;
    } else if (ping && !p.direct && !p.probing) {
        StartRound(p, now_ns);
    }
}

bool PathTick(DirectPath& p, int64_t now_ns, bool& fell_back)
{
    fell_back = false;
    if (!p.known)
        return false;
    if (p.direct && now_ns - p.heard_ns > kDirectSilenceNs) {
        p.direct = false;
        p.losses++;
        p.report_due = true;
        fell_back = true;
        p.retry_ns = now_ns + p.backoff_ns;
        p.backoff_ns = std::min(p.backoff_ns * 2, kLastRetryNs);
        if (p.next_known) {
            // The partner may have moved: its new address at once.
            p.peer = p.next;
            p.next_known = false;
            p.backoff_ns = kFirstRetryNs;
            StartRound(p, now_ns);
        }
        return false;
    }
    if (p.probing && now_ns >= p.round_end_ns) {
        p.probing = false;
        p.retry_ns = now_ns + p.backoff_ns;
        p.backoff_ns = std::min(p.backoff_ns * 2, kLastRetryNs);
    }
    if (!p.direct && !p.probing && p.retry_ns != 0 && now_ns >= p.retry_ns)
        StartRound(p, now_ns);
    if (!(p.direct || p.probing) || now_ns < p.next_send_ns)
        return false;
    p.next_send_ns = now_ns + (p.direct ? kKeepAliveIntervalNs : kProbeIntervalNs);
    return true;
}

int64_t PathNextDueNs(const DirectPath& p)
{
    const int64_t never = INT64_MAX / 2;
    if (!p.known)
        return never;
    if (p.direct)
        return std::min(p.next_send_ns, p.heard_ns + kDirectSilenceNs + 1);
    if (p.probing)
        return std::min(p.next_send_ns, p.round_end_ns);
    return p.retry_ns != 0 ? p.retry_ns : never;
}
