// The room session: the one place that owns a room's life on the client.
// Create / join / quickmatch (a room operation leaves the room the player is
// in first), the heartbeat that keeps the room alive every 3 seconds, mirrors
// the ready and started flags and tells of the partner coming and going,
// leaving, and rejoining the saved room. It calls the parts below it (the
// client id and the saved room, the members of room requests, readying up,
// the lobby chat), which never call it back; their headers come with this one.
#pragma once

#include "backend/lobby_chat.h"
#include "backend/player_name.h"
#include "backend/ready.h"
#include "backend/room_members.h"
#include "backend/saved_room.h"

#include <cstdint>
#include <string>

enum RoomOpMode : uint32_t { RoomOpCreate = 0, RoomOpJoin = 1, RoomOpQuickmatch = 2 };

// What the player asks for, by name: StartRoomOp({.mode = RoomOpJoin, .code = code}).
struct RoomOp
{
    uint32_t mode = RoomOpQuickmatch;
    std::string code;          // join: the room's code as typed
    std::string name;          // create: the room's name
    uint32_t visibility = 0;   // create: 1 private, anything else public
    std::string chapter_text;  // create: what the room shows of the player's game
    std::string stage_text;
    std::string mod_text;      // create: sent only with show_mod
    bool show_mod = false;
};

// The operation as its worker carries it: who asks, and what was left on the way.
struct RoomOpRequest
{
    RoomOp op;
    std::string gamertag;
    std::string cid;
    std::string leave_code;   // the room left on the way: "/leave" goes first
    uint32_t generation = 0;  // room_generation at the start; moved on: outcome dropped
    std::string proof;        // RoomProofMember() at the start
};

// Render thread. Ignored while an operation is in flight; the outcome shows
// in room_state and the room fields.
void StartRoomOp(const RoomOp& op);

void RoomOpWorker(RoomOpRequest request);

// The request body of an operation (exposed for tests).
std::string RoomOpBody(const RoomOpRequest& request);

// One room's heartbeat thread; ends when the generation moves on, when
// heartbeat_active is cleared or when the service says the room is gone.
void RoomHeartbeat(std::string code, std::string player_name, uint32_t generation);

// While the player is ready and the room has not started, the heartbeat beats
// every 0.5 s (default); false keeps the 3 s beat throughout (benchmarks compare).
void SetFastReadyHeartbeat(bool fast);

// Render thread: stops the heartbeat and the link, tells the service without
// waiting, and clears every room and chat field.
void LeaveRoom();

// Who left which room: what "/leave" needs. code is "" when in no room.
struct RoomLeave
{
    std::string player_name;
    std::string cid;
    std::string code;
};
// LeaveRoom without telling the service: the caller sends the "/leave".
RoomLeave LeaveRoomLocally();
void LeaveWorker(std::string player_name, std::string cid, std::string code);

// Render thread: joins the offered room again (readying up again if the
// player was ready in it). Does nothing without an offer.
void RejoinSavedRoom();
