// A simple brake on password guessing: after too many failed sign-ins for one
// username, or from one address, within a window, further attempts are
// refused until the window has passed. In memory only.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

struct SignInLimit
{
    int max_per_name = 5;
    int max_per_address = 30;
    int64_t window_s = 15 * 60;

    std::mutex lock;
    struct Entry
    {
        int failures = 0;
        int64_t window_start = 0;
    };
    std::map<std::string, Entry> entries; // "n:" + lower-case name, "a:" + address
};

// False when the name or the address has used up its failures.
bool SignInAllowed(SignInLimit& limit, const std::string& name, const std::string& address, int64_t now);
void NoteFailedSignIn(SignInLimit& limit, const std::string& name, const std::string& address, int64_t now);
// A correct password clears the name's count (not the address's).
void NoteSignIn(SignInLimit& limit, const std::string& name);
