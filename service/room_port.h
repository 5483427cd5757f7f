// The room port (39002): "/create", "/join", "/quickmatch", "/heartbeat",
// "/ready", "/leave", "/chat/poll", "/chat/send", "/list".
#pragma once

#include "metrics.h"
#include "options.h"
#include "presence.h"
#include "relay.h"

#include <string>

struct RoomPort;

// Binds options.bind:39002 and serves on threads of its own; nullptr with a reason on failure.
RoomPort* StartRoomPort(const ServiceOptions& options, std::string& error);
void StopRoomPort(RoomPort* port);

// The relay's HELLO rule, answered from this port's rooms.
RelayHelloCheck RoomRelayCheck(RoomPort* port, bool any_ip);

// Rooms by state right now: waiting for a partner, both there but not both
// ready, started; and the players in them.
struct RoomStats
{
    uint64_t waiting = 0, full = 0, started = 0, members = 0, chat_lines = 0;
};
RoomStats ReadRoomStats(RoomPort* port);
const HttpCounters& RoomPortCounters(RoomPort* port);

// Seats by player name and rooms by code, for the account port's presence
// and invites. Valid while the port runs.
RoomDirectory RoomPortDirectory(RoomPort* port);
