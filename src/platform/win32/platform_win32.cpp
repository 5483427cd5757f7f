// The platform layer on Windows: the real API, called as the plugin's design says.
#include "platform/platform.h"

#include <windows.h>

int64_t SteadyNowNs()
{
    // The frequency is fixed at boot, so read it once.
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return (int64_t)f.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return CounterToNs((int64_t)counter.QuadPart, frequency);
}

void DebugOutput(const char* text)
{
    OutputDebugStringA(text);
}
