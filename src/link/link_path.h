// The direct path between the two players. The relay tells each side where it
// sees the other ("PEER A.B.C.D:PORT"); both then send sealed pings there from
// the link's one socket, so each home router's mapping for the relay lets the
// partner's datagrams in too. The path is direct once a sealed pong came back
// from that address, and goes back to the relay as soon as the partner falls
// silent there; it is tried again later, less often each time it fails.
//
// Only the link thread touches a DirectPath; nothing here sends or reads the
// socket, so the rules can be walked with a clock in the tests.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>

// A probe round: a sealed ping every kProbeIntervalNs for kProbeRoundNs.
const int64_t kProbeIntervalNs = 200000000LL;
const int64_t kProbeRoundNs = 3000000000LL;
// While direct, a keep-alive ping goes there this often, and no pong from the
// partner's address for kDirectSilenceNs means the path is gone.
const int64_t kKeepAliveIntervalNs = 100000000LL;
const int64_t kDirectSilenceNs = 450000000LL;
// After a failed round or a loss the next round waits this long, doubled each
// time up to the limit; a new address from the relay starts at once.
const int64_t kFirstRetryNs = 5000000000LL;
const int64_t kLastRetryNs = 60000000000LL;

struct DirectPath
{
    bool known = false;       // the relay named the partner's address
    NetAddress peer;
    bool direct = false;      // files and pings go to `peer`
    bool next_known = false;  // a newer address named while direct: tried once
    NetAddress next;          // the direct path fails (a PEER alone proves nothing)
    bool probing = false;
    int64_t round_end_ns = 0;
    int64_t next_send_ns = 0; // the next probe or keep-alive
    int64_t retry_ns = 0;     // the next round when neither probing nor direct (0: none planned)
    int64_t backoff_ns = kFirstRetryNs;
    int64_t heard_ns = 0;     // the last sealed pong from `peer`
    bool report_due = false;  // the path changed: tell the relay
    uint32_t losses = 0;      // times the direct path was lost (diagnostics, tests)
};

// "PEER A.B.C.D:PORT\n" (the newline may be missing). False for anything else.
bool ParsePeerDatagram(const char* data, size_t size, NetAddress& out);

// "PATH <code> <letter> direct\n" or "... relay\n".
std::string PathDatagram(const std::string& room_code, char letter, bool direct);

// The relay named the partner's address. A new one starts a round at once,
// unless the path is direct: then the working path stays until it falls
// silent (a datagram claiming the relay's address must not move it), and the
// new address is tried first thing after. The same one again changes nothing.
void PathTakePeer(DirectPath& p, const NetAddress& peer, int64_t now_ns);

// A datagram from the partner's address opened under the partner's seal.
// Only pongs keep a direct path alive (a way open in one direction only is
// no path), which the keep-alive pings draw every 100 ms.
// `pong`: it answers one of the own pings (the round trip crossed the path).
// `ping`: the partner probes now, so this side joins in (both routers must
// send for the way to open).
void PathHeard(DirectPath& p, bool pong, bool ping, int64_t now_ns);

// Once per link turn. True when a probe or keep-alive ping is due to `peer`
// now. Ends a round that found nothing and falls back to the relay when the
// path fell silent (`fell_back` true then).
bool PathTick(DirectPath& p, int64_t now_ns, bool& fell_back);

// When PathTick has work next (a large value when none is planned).
int64_t PathNextDueNs(const DirectPath& p);
