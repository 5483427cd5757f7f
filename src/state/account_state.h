// Who the player is: the signed-in account, the guest identity and the name
// shown to others.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct AccountState // "the state lock"
{
    std::mutex lock;
    std::string token;       // empty: not signed in
    std::string username;
    std::string gamertag;    // never left empty while username is set
    std::string role;
    bool email_verified = false;
    std::string auth_message; // shown while auth_status is AuthFailed
    // Written only by the render thread (under the lock when copied from the
    // account fields); other threads copy it under the lock.
    char display_name[64] = "Guest";

    bool is_guest = true;                 // render thread only
    std::atomic<bool> login_loaded{false}; // LoadSavedLogin has run in this process
    std::atomic<bool> session_checked{false}; // the saved session's check has ended, answered or not
    // +1 on every sign-out, under the lock: a sign-in started before it ends
    // discarded, and the overlay empties the forms the last player typed in.
    std::atomic<uint32_t> sign_outs{0};
};

// Values of request_status.
enum RequestStatus : int32_t { RequestIdle = 0, RequestSending = 1, RequestDone = 2 };

struct AccountRequestState // "the reset lock"
{
    std::mutex lock;
    std::string request_message; // shown while request_status is RequestDone
};
