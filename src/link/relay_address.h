// The relay a room is served by. A service of several instances names it in
// the room replies that start the link ("relay":"A.B.C.D:PORT"); without that
// member the link talks to the backend host's relay port, as a single
// service wants.
#pragma once

#include "platform/platform.h"
#include "state/room_state.h"

#include <string>

// Strictly "A.B.C.D:PORT": four decimal parts 0..255 without leading zeros, a
// unicast host (not 0.x.x.x, not 224.0.0.0 and above), a port 1..65535
// without leading zeros, nothing before or after. False for anything else.
bool ParseRelayAddress(const std::string& text, NetAddress& out);

// "A.B.C.D:PORT".
std::string RelayAddressText(const NetAddress& address);

// The caller holds the room lock and has checked that the reply belongs to
// the current room. A valid member becomes the room's relay (the running link
// moves there); anything else is ignored, as if the member were absent.
void KeepRoomRelay(RoomState& room, const std::string& member);

// The caller holds the room lock: the next link talks to the backend host.
void ForgetRoomRelay(RoomState& room);

// Where the link sends: the room's relay or, when none is named, the backend
// host's relay port. `changes` receives the room's relay_changes it matches.
NetAddress CurrentRelay(uint32_t& changes);
