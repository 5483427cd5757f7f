// The name the player plays under in rooms: the account's gamertag, or the
// display name ("Guest" or GuestNNNN) when there is none. Takes the state lock.
#pragma once

#include <string>

std::string PlayerName();
