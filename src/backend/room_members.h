// What room requests carry beyond the room's own members, and what their
// answers say of the partner: versions, the link session's key. Used by the
// room session (backend/rooms.h) and by readying up.
#pragma once

#include "state/room_state.h"

#include <string>
#include <vector>

// Extra members of the room requests, each starting with a comma ("" from a
// client that sends none, see SendLinkKeys): this build's and the game's
// versions (every room request), and the link session's public key ("/ready"
// and "/heartbeat").
std::string VersionMembers();
std::string LinkKeyMember();

// The caller holds the room lock and has checked that `reply` (a "/ready" or
// "/heartbeat" answer) is the current room's: keeps the partner's versions
// and link key.
void KeepPartnerMembers(RoomState& room, const std::string& reply);

// The lobby's warnings when the partner's build may not play with this one:
// another game build, or another major version of Kestrel. Unknown versions
// (an older partner sends none) warn of nothing.
std::vector<std::string> VersionWarnings(const std::string& own_kestrel, const std::string& own_game,
                                         const std::string& partner_kestrel, const std::string& partner_game);
