// Decoding of the game window's messages into the overlay's input queue.
#pragma once

#include <windows.h>

#include <cstdint>

// Window thread. Queues mouse buttons, wheel, keys and characters for the
// render thread; WM_KILLFOCUS clears the input state; WM_SETCURSOR in the
// client area applies the overlay's cursor shape (result 1 when it did).
LRESULT QueueWindowInput(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

// Sets the system cursor to a Dear ImGui cursor shape (-1: none). Returns
// false when cursor changes are off.
bool SetSystemCursorShape(int32_t shape);

// Relative motion of a raw mouse input record: false for anything else
// (keyboard, absolute motion, wrong size).
bool DecodeRawMouseMotion(const void* data, UINT size, float* dx, float* dy);
bool ReadRawMouseMotion(HRAWINPUT handle, float* dx, float* dy);

// Mouse and keyboard messages (including raw input and cursor-shape
// requests): the ones kept from the game while the overlay wants input.
bool IsInputMessage(UINT msg);
