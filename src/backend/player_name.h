// The player as room requests name it: the name it plays under and the room
// it is in.
#pragma once

#include <string>

// The account's gamertag, or the display name ("Guest" or GuestNNNN) when
// there is none. Takes the state lock.
std::string PlayerName();

// room_code, copied under the room lock ("" in no room).
std::string CurrentRoomCode();
