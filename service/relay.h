// The UDP relay on port 39000. A client registers its address for (room code,
// letter) with "HELLO <code> <letter>\n"; every other datagram from a
// registered address goes, unchanged, to the other letter of the same room and
// never back to the sender. The relay itself sends nothing.
#pragma once

#include "options.h"

#include <functional>
#include <string>

struct Relay;

// Decides whether a HELLO may register (code, letter) for the sender's IPv4
// address (host byte order). Unset: every well-formed HELLO registers. `seat`
// names the member's current place in its room: when it differs from the one
// registered, the member came back or rejoined, and its new address takes the
// registration at once.
using RelayHelloCheck = std::function<bool(const std::string& code, char letter, uint32_t ip, uint64_t& seat)>;

// Binds options.bind:39000 and starts the relay thread; nullptr with a reason on failure.
Relay* StartRelay(const ServiceOptions& options, std::string& error, RelayHelloCheck check = {});
void StopRelay(Relay* relay);
