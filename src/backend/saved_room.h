// The client id and the last room, kept in "Kestrel_rejoin.json" so a player
// whose game restarted can rejoin the same room as the same member with one
// click while the service still keeps the place. Below the room session
// (backend/rooms.h), which does the rejoining.
#pragma once

#include "state/room_state.h"

#include <cstdint>
#include <string>

constexpr const char* kSavedRoomFileName = "Kestrel_rejoin.json";

// How long after the room's last answered beat a rejoin is offered: the
// service's time-out and grace period, a little over.
const int64_t kRejoinWindowS = 135;
// An unchanged room's saved time is renewed on the first beat this long after
// it was written, not on every beat: the offer may end up to this much early.
const int64_t kSavedRoomRefreshS = 15;

// 32 lower-case hex digits, made once per process, or the saved one: the
// same member after a restart.
std::string ClientId();

std::string SavedRoomText(const SavedRoom& room);
// False for a text that is not a saved room; a bad member is dropped, not trusted.
bool ParseSavedRoom(const std::string& text, SavedRoom& out);

// The saved client id ("" when none), read from the file on first use.
std::string SavedClientId();

// Records the room (on entering it and on every answered beat) unless the
// generation moved on meanwhile, so a late beat never brings back a room
// the player has left. The file is written on a change (and to renew the
// time), outside the saved-room lock.
void SaveRoomIfCurrent(const std::string& code, char role, bool ready, uint32_t generation);

// The room is left or gone: nothing to rejoin (the client id stays).
void ForgetSavedRoom();
// The same, unless the generation moved on (a newer room's record stays).
void ForgetSavedRoomIfCurrent(uint32_t generation, bool check = true);

// A sign-in as another account forgets the saved room of the previous one.
void ForgetSavedRoomOfOtherAccount();

// The code to offer as "Rejoin Room CODE": a saved room of this account whose
// last beat is within the window. `now_s` is Unix time.
bool RejoinOffer(std::string& code, int64_t now_s);
bool RejoinOffer(std::string& code);

// Whether the player was ready in the saved room (a rejoin readies up again).
bool SavedRoomReady();
