// A room invite between friends, as the social board and the shared store keep it.
#pragma once

#include <cstdint>
#include <string>

struct Invite
{
    int64_t from = 0, to = 0;  // account ids
    std::string from_tag;      // the sender's gamertag, as the invitee's list shows it
    std::string to_tag;
    std::string code;          // the room
    std::string room_name;
    int64_t expires_ms = 0;
};
