// The platform half of Dear ImGui's frame on Windows, as Dear ImGui's Win32
// back end does it, except that window input comes from the queue.
#pragma once

#include <windows.h>

struct ImGuiIO;

bool InitPlatformBackend(HWND window);
// The frame sequence's platform step (after the queued input is applied):
// display size, delta time, system cursor position and modifiers.
void PlatformNewFrame(ImGuiIO& io, void* user);
