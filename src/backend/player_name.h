// The name the player plays under in rooms: the account's gamertag, or the
// display name ("Guest" or GuestNNNN) when there is none. Takes the state lock.
#pragma once

#include <string>

std::string PlayerName();

// For the room requests of a signed-in player: the member ,"token":"..." that
// proves the name is its account's (presence and invites trust only that);
// "" for a guest, whose requests stay as they were. Takes the state lock.
std::string RoomProofMember();
