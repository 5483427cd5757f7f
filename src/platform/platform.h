// The thin OS layer: one free function per need, the real Windows API in win32/,
// a stand-in on Linux in posix/. No classes, no behaviour of its own.
#pragma once

#include <cstdint>
#include <string>

// ---------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------

// Monotonic time in nanoseconds from an arbitrary origin; used for every interval.
int64_t SteadyNowNs();

// Converts a performance-counter reading to nanoseconds: exact for 10 MHz and
// 24 MHz counters, by quotient and remainder otherwise so large readings never
// overflow the intermediate product.
inline int64_t CounterToNs(int64_t counter, int64_t frequency)
{
    const int64_t ns_per_s = 1000000000;
    if (frequency == 10000000)
        return counter * 100;
    if (frequency == 24000000)
        return (counter / 24000000) * ns_per_s + (counter % 24000000) * 125 / 3;
    const int64_t whole = counter / frequency;
    const int64_t part = counter % frequency;
    return whole * ns_per_s + part * ns_per_s / frequency;
}

// ---------------------------------------------------------------------------
// Diagnostics
// ---------------------------------------------------------------------------

// Debugger output (OutputDebugStringA on Windows, stderr elsewhere). The text
// should end with a line feed.
void DebugOutput(const char* text);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// "reframework/data/" + name, relative to the game's working directory; every
// file of the system lives there.
std::string DataPath(const std::string& name);
