// Inside a room: readying up, and the rule that starts the peer link once the
// room has started. Called by the room session (backend/rooms.h); calls
// nothing of it back.
#pragma once

#include <cstdint>
#include <string>

// Render thread (and the heartbeat, to un-ready when the partner is gone).
// Sets my_ready at once and tells the service; nothing outside a room.
void SetReady(bool ready);
// Render thread, the lobby's button: "Ready Up" and "Cancel Ready" sit in the
// same place, so the second click of a double click would undo the first. A
// change is refused while the last one is still being sent and within
// kReadyChangeGapNs of it. True when SetReady ran.
constexpr int64_t kReadyChangeGapNs = 300000000;
bool RequestReadyChange(bool ready, int64_t now_ns);

void ReadyWorker(std::string player_name, std::string code, bool ready, uint32_t generation);

// Once per frame: starts the peer link when the room has started and the link
// is not running (role number 2 for 'B', 1 otherwise), after clearing a
// previous room's partner files, unless the link would be plain and the
// player refuses plain links.
void LinkStartStep();

// The room has started, the partner cannot seal (or the service passes no
// keys) and the player only plays over an encrypted link: no link starts.
bool LinkRefusedPlain();
