// The client check's verdict.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

struct UpdateNoticeState // "the client-check lock" (guards update_message)
{
    std::mutex lock;
    std::string update_message;
    std::atomic<bool> update_required{false}; // set once, after the message; never cleared
};
