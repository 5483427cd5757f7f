// Starting background work: the one way a backend operation leaves the render
// thread. The starter copies every input into the new thread (the worker never
// reads the overlay's buffers), detaches at once and never joins. The worker
// writes its results under its group's lock and publishes completion last,
// through the same atomic the starter tested.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

// Runs fn(args...) on a new detached thread. Arguments are copied (or moved)
// into the thread, as std::thread does. Thread creation failure throws
// std::system_error. An exception escaping the worker ends only the worker:
// it must not take the game down with it.
template <class Fn, class... Args>
void StartWorker(Fn&& fn, Args&&... args)
{
    using Call = std::tuple<std::decay_t<Fn>, std::decay_t<Args>...>;
    auto call = std::make_unique<Call>(std::forward<Fn>(fn), std::forward<Args>(args)...);
    void (*entry)(void*) = [](void* p) {
        std::unique_ptr<Call> owned(static_cast<Call*>(p));
        try {
            std::apply([](auto&... parts) { std::invoke(std::move(parts)...); }, *owned);
        } catch (...) {
            DebugOutput("Background worker failed\n");
        }
    };
    if (!StartDetachedThread(entry, call.get()))
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "cannot start a worker thread");
    call.release(); // the thread owns it now
}

// Test-and-set start: runs the worker only if `busy` was clear, and leaves it
// set; the worker clears it when done. A worker that ends by an exception has
// it cleared for it, so the operation can start again. Returns false when one
// already runs.
template <class Fn, class... Args>
bool StartGuardedWorker(std::atomic<bool>& busy, Fn&& fn, Args&&... args)
{
    if (busy.exchange(true))
        return false;
    try {
        std::atomic<bool>* flag = &busy;
        StartWorker(
            [flag](auto&& f, auto&&... a) {
                try {
                    std::invoke(std::forward<decltype(f)>(f), std::forward<decltype(a)>(a)...);
                } catch (...) {
                    flag->store(false);
                    throw;
                }
            },
            std::forward<Fn>(fn), std::forward<Args>(args)...);
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
