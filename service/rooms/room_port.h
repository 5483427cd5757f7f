// The room port (39002): "/create", "/join", "/quickmatch", "/heartbeat",
// "/ready", "/leave", "/chat/poll", "/chat/send", "/list".
#pragma once

#include "metrics/metrics.h"
#include "options/options.h"
#include "social/presence.h"
#include "relay/relay.h"
#include "rules/rooms.h"

#include <functional>
#include <string>

struct RoomPort;
struct HttpFront;

// Binds options.bind:39002 and serves on threads of its own; nullptr with a reason on failure.
RoomPort* StartRoomPort(const ServiceOptions& options, std::string& error);
// Rooms in memory are written to the embedded store's file first, for the next start.
void StopRoomPort(RoomPort* port);
// Its HTTP front, to drain before the stop.
HttpFront* RoomPortFront(RoomPort* port);
// Whether the shared rooms' store answers now (always, for rooms in memory).
bool RoomPortStoreAnswers(RoomPort* port);

// The relay's HELLO rule, answered from this port's rooms.
RelayHelloCheck RoomRelayCheck(RoomPort* port, bool any_ip);
// Logs why a HELLO was refused (at most once a minute per cause).
RelayRefusalNote RoomRelayRefusalNote(RoomPort* port, bool any_ip);

// Tells which account's gamertag a session token belongs to; false when the
// token is not a live session. Set once the account port runs: room requests
// carrying a token then prove their player's account.
using RoomAccountProof = std::function<bool(const std::string& token, std::string& gamertag)>;
void SetRoomPortAccounts(RoomPort* port, RoomAccountProof prove);

RoomStats ReadRoomStats(RoomPort* port);
const HttpCounters& RoomPortCounters(RoomPort* port);
// The shared room store's calls; nullptr when the rooms are kept in memory.
const StoreCounters* RoomPortStoreCounters(RoomPort* port);

// Seats by player name and rooms by code, for the account port's presence
// and invites. Valid while the port runs.
RoomDirectory RoomPortDirectory(RoomPort* port);
