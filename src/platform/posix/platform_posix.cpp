// Linux stand-ins for the platform layer.
#include "platform/platform.h"

#include <cstdio>
#include <time.h>

int64_t SteadyNowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void DebugOutput(const char* text)
{
    fputs(text, stderr);
}
