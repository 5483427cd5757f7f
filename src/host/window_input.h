// Decoding of the game window's messages into the overlay's input queue.
#pragma once

#include <windows.h>

#include <cstdint>

// Window thread. Queues mouse buttons, wheel, keys and characters for the
// render thread; WM_KILLFOCUS clears the input state; WM_SETCURSOR in the
// client area applies the overlay's cursor shape (result 1 when it did).
// Characters: UTF-16 units of a Unicode window (surrogate pairs included),
// the input code page's bytes of an ANSI window (a double-byte character
// over two messages), and WM_IME_CHAR while the overlay withholds it from the
// game. A composition starting while an overlay field takes text is placed
// at that field's caret.
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

// Dear ImGui's IME hook (render thread): the caret of the active field in
// client coordinates. Placed at once on the window's own thread, else when
// the window thread sees the next composition start.
void SetImeCaret(HWND window, int x, int y);
// The last caret given; false before any.
bool ImeCaretPosition(int* x, int* y);
// Moves the window's composition and candidate windows to the caret (window
// thread). False without a caret or an input context.
bool PlaceImeWindows(HWND hwnd);
