// The toast queue: notifications pushed from any thread, drawn by the overlay.
// Its lock is always the innermost: pushers may hold their own group's lock.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

struct Toast
{
    std::string title;
    std::string text;
    double start = -1.0;  // ImGui time of the first frame it was drawn; -1 before
    float duration = 4.8f;
};

const size_t kMaxToasts = 6;
const size_t kMaxToastText = 160;
// A title is one line of the toast; a longer one would run off its edge.
const size_t kMaxToastTitle = 32;

struct ToastState // "the toast lock"
{
    std::mutex lock;
    std::vector<Toast> queue;        // oldest first
    // The "notif_en" setting, mirrored each frame for pushers on other threads.
    std::atomic<bool> enabled{true};
};

// Queues a notification unless notifications are off; an empty title becomes
// "Message", a title over 32 bytes or a text over 160 bytes is cut to at most
// 3 bytes less (on a character boundary) plus "...", and a seventh
// toast pushes out the oldest.
void PushToast(const std::string& title, const std::string& text, float duration_seconds);

// A copy of the queue (tests, tools).
std::vector<Toast> CopyToasts();

// Empties the queue and returns what it held (the headless client shows
// toasts by printing them).
std::vector<Toast> TakeToasts();
