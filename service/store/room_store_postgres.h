// Rooms and lobby chat in PostgreSQL, shared by every service instance that
// names the same store. A request loads the rows it needs under row locks into
// a scratch RoomStore, runs the same room functions as the in-memory rooms,
// and writes back what they changed, all in one transaction. Instances announce
// their relays; a room whose relay has gone silent moves to the relay of the
// instance that next touches it.
#pragma once

#include "metrics/metrics.h"
#include "store/invite.h"
#include "rules/rooms.h"

#include <functional>
#include <string>
#include <vector>

struct SharedRooms;

// What one request needs loaded (and locked until it ends).
struct RoomLoad
{
    std::string code;         // normalised; "" for none
    std::string cid;          // also every room this client is in
    bool quickmatch = false;  // also the oldest waiting public room the client does not host...
    std::string game;         // ...of this game build first, when not ""
    bool create = false;      // may open a room: creates take turns across instances
    uint32_t ip = 0;          // the creating caller's address (per-address bound)
    int64_t chat_after = -1;  // >= 0: the chat lines of `code` after this id
    int64_t due_before = 0;   // > 0: rooms whose members' time-outs fall before this
};

// A relay that has not announced itself for this long has gone with its instance.
const int64_t kRelaySilentMs = 5000;

SharedRooms* OpenSharedRooms(const std::string& uri, const RoomLimits& limits, const std::string& relay,
                             std::string& error);
// Withdraws this instance's relay (its rooms move on their next heartbeat).
void CloseSharedRooms(SharedRooms* rooms);

// False when the store gave no answer; `op` may then have run on a scratch
// store that was thrown away, and may run more than once (a transaction that
// lost a deadlock is tried again).
bool RunSharedRooms(SharedRooms* rooms, const RoomLoad& load, const std::function<void(RoomStore&)>& op);

// Once a second from each instance: announces its relay, learns which relays
// live, and expires silent members of rooms due (rows other instances hold
// are skipped, they are theirs this turn).
void SweepSharedRooms(SharedRooms* rooms, int64_t now_ms);
// Reads the started rooms this instance's relay serves, for the relay's HELLO rule.
void RefreshServedRooms(SharedRooms* rooms);
// A RelayHelloVerdict: never waits on the store. A room not in the refreshed
// list is looked up on a thread of its own (-1 meanwhile).
int SharedRelayMayRegister(SharedRooms* rooms, const std::string& code, char letter, uint32_t ip, bool any_ip,
                           uint64_t* seat);

bool SharedOpenRooms(SharedRooms* rooms, size_t limit, std::vector<Room>& out);
// 1 found, 0 no such room, -1 no answer.
int SharedRoomByCode(SharedRooms* rooms, const std::string& code, Room& out);
// The room an account (by its folded gamertag) has proved its seat in; 1, 0 or -1.
int SharedRoomOfPlayer(SharedRooms* rooms, const std::string& account_key, Room& out);
bool SharedRoomStats(SharedRooms* rooms, RoomStats& out);
const StoreCounters& SharedRoomsCounters(SharedRooms* rooms);

// Presence and room invites in the same store: a player's last request, by
// folded gamertag, and the invites between friends. Ints: 1 yes, 0 no, -1 no answer.
bool SharedMarkSeen(SharedRooms* rooms, const std::string& key, int64_t now_ms);
bool SharedSeenAt(SharedRooms* rooms, const std::string& key, int64_t& seen_ms); // -1: never
int SharedAddInvite(SharedRooms* rooms, const Invite& invite, int64_t now_ms);  // expires_ms set by the caller
int SharedDropInvite(SharedRooms* rooms, int64_t from, int64_t to, int64_t now_ms);
bool SharedInvitesTo(SharedRooms* rooms, int64_t to, int64_t now_ms, std::vector<Invite>& out);
int SharedHasInvite(SharedRooms* rooms, int64_t from, const std::string& to_key, int64_t now_ms);
