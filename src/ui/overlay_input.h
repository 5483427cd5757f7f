// What the overlay does with input besides feeding Dear ImGui: the toggle key,
// its own cursor, and the capture wishes the window thread reads.
#pragma once

#include <cstdint>

// Window thread. A key-down of the toggle key flips the overlay open or shut,
// unless it is an auto-repeat, the settings screen is capturing a key, or a
// text field of the overlay has the keyboard. A toggle asks the render thread
// for the tick sound. Returns true when it toggled.
bool ToggleOverlayOnKey(uint32_t vk, bool auto_repeat);

// Any thread: flip or close the overlay without losing a concurrent change
// (the toggle key on the window thread, the close box and the Co-op button
// on the render thread). ToggleOverlay returns the new state.
bool ToggleOverlay();
void CloseOverlay();

// Window thread: relative mouse motion moves the overlay's own cursor.
void AddVirtualCursorMotion(float dx, float dy);

// Render thread, between the platform new-frame and Dear ImGui's new frame.
// Closed: the cursor follows io.MousePos. Open with the host's menu shown:
// likewise, and counts as placed. Open otherwise: centred once per opening,
// clamped to the display, and written to io.MousePos. Returns true in that
// last case, when the overlay owns the cursor.
bool UpdateVirtualCursor(bool host_menu_shown);

// Published cursor shape meaning "leave the system cursor alone".
constexpr int32_t kCursorUnchanged = -2;

// Render thread, after Dear ImGui's render: publishes want-capture flags and
// the wanted system cursor shape for the window thread.
void PublishOverlayWants();

// Window thread: the overlay wants the mouse or the keyboard.
bool OverlayWantsInput();
bool OverlayWantsMouse();
bool OverlayWantsKeyboard();
