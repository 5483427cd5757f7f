// Rooms, up to the lobby: the per-process client id, create / join /
// quickmatch, and the heartbeat that keeps the room alive every 3 seconds,
// mirrors the ready and started flags and tells of the partner coming and going.
#pragma once

#include "state/room_state.h"

#include <cstdint>
#include <string>
#include <vector>

// 32 lower-case hex digits, made once per process.
std::string ClientId();

// room_code, copied under the room lock ("" in no room).
std::string CurrentRoomCode();

enum RoomOpMode : uint32_t { RoomOpCreate = 0, RoomOpJoin = 1, RoomOpQuickmatch = 2 };

struct RoomOpRequest
{
    uint32_t mode = RoomOpQuickmatch;
    bool show_mod = false;
    std::string mod_text;
    std::string gamertag;
    std::string cid;
    std::string name;
    uint32_t visibility = 0; // 1 private, anything else public
    std::string chapter_text;
    std::string stage_text;
    std::string code;
    std::string leave_code;   // the room left on the way: "/leave" goes first
    uint32_t generation = 0;  // room_generation at the start; moved on: outcome dropped
    std::string proof;        // RoomProofMember() at the start
};

// Render thread. Ignored while an operation is in flight; the outcome shows
// in room_state and the room fields.
void StartRoomOp(uint32_t mode, const std::string& code, const std::string& name, uint32_t visibility,
                 const std::string& chapter_text, const std::string& stage_text, const std::string& mod_text,
                 bool show_mod);

void RoomOpWorker(RoomOpRequest request);

// The request body of an operation (exposed for tests).
std::string RoomOpBody(const RoomOpRequest& request);

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

// One room's heartbeat thread; ends when the generation moves on, when
// heartbeat_active is cleared or when the service says the room is gone.
void RoomHeartbeat(std::string code, std::string player_name, uint32_t generation);

// While the player is ready and the room has not started, the heartbeat beats
// every 0.5 s (default); false keeps the 3 s beat throughout (benchmarks compare).
void SetFastReadyHeartbeat(bool fast);
