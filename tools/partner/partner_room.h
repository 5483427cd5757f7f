// Room mode of kestrel-partner: the whole road without the overlay, and the
// friends and messages of a signed-in player.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct RoomOptions
{
    // Who: a guest by default, or an account (created first with signup).
    std::string user, password, gamertag, email;
    bool signup = false;
    // Where: exactly one of these.
    bool quickmatch = false;
    std::string create_name;
    bool create_private = false;
    std::string join_code;
    bool rejoin = false; // the room saved in --dir by an earlier run
    // Friends and messages (signed in).
    std::vector<std::string> befriend;                               // --friend TAG
    bool accept_all = false;                                         // --accept-all
    std::vector<std::pair<std::string, std::string>> messages;       // --message TAG TEXT
    std::vector<std::string> invite;                                 // --invite TAG, once in a room and friends
    bool accept_invite = false;                                      // --accept-invite: join the first one
    bool decline_invite = false;                                     // --decline-invite
    // What then.
    bool ready = false;
    std::vector<std::string> say;
    std::string dir, host;
    std::string pin; // --pin: the service's key pin, as a release built with it
    bool pin_set = false;
    bool mirror = false;
    bool game_files = false; // --game-files: write the own channel files 10 times a second while linked
    double seconds = 0; // 0: until Ctrl-C or the room closes
};

// Parses argv[first..]; false with a reason.
bool ParseRoomOptions(int argc, char** argv, int first, RoomOptions& o, std::string& error);

// Runs until --for has passed, a signal arrives or the room is gone; leaves
// the room cleanly. `stop` is set by the signal handler.
int RunRoom(const RoomOptions& o, volatile int& stop);

extern const char* const kRoomUsage;

// Prints "relay A.B.C.D:PORT" when the relay the link sends to is another
// than `shown` (tests watch a room move from one relay to another).
void SayRelayChange(std::string& shown);
