// The UDP relay on port 39000. A client registers its address for (room code,
// letter) with "HELLO <code> <letter>\n"; every other datagram from a
// registered address goes, unchanged, to the other letter of the same room and
// never back to the sender. Once both letters are registered the relay tells
// each the other's address ("PEER a.b.c.d:port\n"), so the two may try a path
// straight between them; members report the path they use with
// "PATH <code> <letter> direct|relay\n", which the relay keeps to itself.
#pragma once

#include "options/options.h"

#include <functional>
#include <string>

struct Relay;

// Decides whether a HELLO may register (code, letter) for the sender's IPv4
// address (host byte order). Unset: every well-formed HELLO registers. `seat`
// names the member's current place in its room: when it differs from the one
// registered, the member came back or rejoined, and its new address takes the
// registration at once. Called with the relay's table locked, so it must never
// wait on a store: kHelloLater says the answer is being looked up, and the
// relay asks again shortly (for a few seconds) before it gives up.
enum RelayHelloVerdict { kHelloNo = 0, kHelloYes = 1, kHelloLater = -1 };
using RelayHelloCheck = std::function<int(const std::string& code, char letter, uint32_t ip, uint64_t& seat)>;

// What the relay has done since it started, summed over its workers.
struct RelayStats
{
    uint64_t forwarded = 0, forwarded_bytes = 0;
    // Dropped datagrams by cause: from an unregistered address, to a member
    // not (yet) registered, by test-only fault injection, past the delay
    // queue's limit, refused by the system when sent.
    uint64_t dropped_unregistered = 0, dropped_no_partner = 0, dropped_fault = 0, dropped_queue_full = 0,
             dropped_send_error = 0;
    uint64_t hellos_registered = 0, hellos_refused = 0;
    uint64_t registrations = 0; // addresses registered now
    uint64_t introductions = 0;  // PEER datagrams sent
    uint64_t direct_sessions_total = 0; // pairs of registrations that reported a direct path
    uint64_t direct_sessions_now = 0;   // rooms whose latest report of either member is direct
};
RelayStats ReadRelayStats(Relay* relay);

// Told of each HELLO the check refused (for the log; called on the relay's threads).
using RelayRefusalNote = std::function<void(const std::string& code, char letter, uint32_t ip)>;

// Binds options.bind:39000 and starts the relay thread; nullptr with a reason on failure.
Relay* StartRelay(const ServiceOptions& options, std::string& error, RelayHelloCheck check = {},
                  RelayRefusalNote refused = {});
void StopRelay(Relay* relay);
