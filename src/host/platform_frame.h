// The platform half of Dear ImGui's frame on Windows, as Dear ImGui's Win32
// back end does it, except that window input comes from the queue.
#pragma once

#include <windows.h>

bool InitPlatformBackend(HWND window);
void PlatformNewFrame();
