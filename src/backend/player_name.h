// The player as room requests name it: the name it plays under, the proof
// that the name is its account's, and the room it is in.
#pragma once

#include <string>

// The account's gamertag, or the display name ("Guest" or GuestNNNN) when
// there is none. Takes the state lock.
std::string PlayerName();

// room_code, copied under the room lock ("" in no room).
std::string CurrentRoomCode();

// For the room requests of a signed-in player: the member ,"token":"..." that
// proves the name is its account's (presence and invites trust only that);
// "" for a guest, whose requests stay as they were. Takes the state lock.
std::string RoomProofMember();
