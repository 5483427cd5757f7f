// Who is around, and the room invites between friends. Both live in memory
// (presence is rebuilt from the next requests after a restart, and an invite
// never outlives the in-memory room it points at anyway), or, when the rooms
// are shared in PostgreSQL, there with them, so every instance sees them.
#pragma once

#include "store/invite.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Where a player sits, as the room port sees it.
struct RoomSeat
{
    std::string code;
    std::string name;       // the room's name
    bool is_public = true;
    bool started = false;   // both ready: the session is on
    bool full = false;      // two members
    bool member = false;    // the asked-about player is one of them
};

struct SharedRooms;

// Asks the rooms where an account's player (by gamertag; only a member that
// proved the account with its token counts) sits, or what a room holds (by
// code): 1 found, 0 no such seat or room, -1 the rooms' store gave no answer.
struct RoomDirectory
{
    std::function<int(const std::string& player, RoomSeat& out)> seat_of;
    std::function<int(const std::string& code, const std::string& player, RoomSeat& out)> room;
    SharedRooms* shared = nullptr; // set when the rooms live in a shared store
};

enum class Presence { Offline, Online, InRoom, Playing };
const char* PresenceName(Presence p); // "offline", "online", "in_room", "playing"

struct SocialBoard
{
    std::mutex lock;                       // guards all below
    std::map<std::string, int64_t> seen;   // folded gamertag -> last session request (ms)
    std::vector<Invite> invites;
    int64_t online_window_ms = 60000;
    int64_t invite_life_ms = 600000;
    // Set: presence and invites live in the shared store; `seen` then only
    // remembers when each player's presence was last written there.
    SharedRooms* shared = nullptr;
};

// The board's clock: wall time, which every instance of a shared store reads alike.
int64_t SocialNowMs();

void MarkSeen(SocialBoard& board, const std::string& gamertag, int64_t now_ms);
// Past this many players in `seen`, those gone longer than the window are trimmed.
extern const size_t kSeenTrimAt;
// From the rooms first (a member is live while its heartbeats come), else
// from the last session request.
Presence PresenceOf(SocialBoard& board, const RoomDirectory& rooms, const std::string& gamertag, int64_t now_ms,
                    RoomSeat* seat);

// Adds the invite unless one from `from` to `to` is live; false then.
bool AddInvite(SocialBoard& board, const Invite& invite, int64_t now_ms);
// Drops the invite from `from` to `to`; false when there was none.
bool DropInvite(SocialBoard& board, int64_t from, int64_t to);
// The live invites to `to`, after dropping the expired ones.
std::vector<Invite> InvitesTo(SocialBoard& board, int64_t to, int64_t now_ms);
// Whether `from` has a live invite out to the player of gamertag `to_tag`.
bool HasInvite(SocialBoard& board, int64_t from, const std::string& to_tag, int64_t now_ms);
