// Starting background work: the one way a backend operation leaves the render
// thread. The starter copies every input into the new thread (the worker never
// reads the overlay's buffers), detaches at once and never joins. The worker
// writes its results under its group's lock and publishes completion last,
// through the same atomic the starter tested.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>

// Runs fn(args...) on a new detached thread. Arguments are copied (or moved)
// into the thread. Thread creation failure throws std::system_error.
template <class Fn, class... Args>
void StartWorker(Fn&& fn, Args&&... args)
{
    std::thread(std::forward<Fn>(fn), std::forward<Args>(args)...).detach();
}

// Test-and-set start: runs the worker only if `busy` was clear, and leaves it
// set; the worker clears it when done. Returns false when one already runs.
template <class Fn, class... Args>
bool StartGuardedWorker(std::atomic<bool>& busy, Fn&& fn, Args&&... args)
{
    if (busy.exchange(true))
        return false;
    try {
        StartWorker(std::forward<Fn>(fn), std::forward<Args>(args)...);
    } catch (...) {
        busy.store(false); // no worker will ever clear it
        throw;
    }
    return true;
}

// The same for an operation guarded by a status value: sets `status` to
// `running` unless it already was, in which case nothing starts.
template <class Fn, class... Args>
bool StartStatusWorker(std::atomic<int32_t>& status, int32_t running, Fn&& fn, Args&&... args)
{
    const int32_t before = status.exchange(running);
    if (before == running)
        return false;
    try {
        StartWorker(std::forward<Fn>(fn), std::forward<Args>(args)...);
    } catch (...) {
        status.store(before);
        throw;
    }
    return true;
}
