// The overlay's open state and its own cursor. The window thread flips the
// open flag and adds raw mouse motion; the render thread reads both once per
// frame and publishes what Dear ImGui wants for the window thread to read.
#pragma once

#include <atomic>
#include <cstdint>

struct OverlayState
{
    std::atomic<bool>    overlay_open{false};
    std::atomic<float>   virtual_cursor_x{0.0f};      // pixels, client area
    std::atomic<float>   virtual_cursor_y{0.0f};
    std::atomic<bool>    virtual_cursor_placed{false}; // centred since last opened
    std::atomic<bool>    capturing_key{false};         // the settings screen waits for a new toggle key
    // Toggle key (virtual-key code 1..255). Held here until the settings record exists.
    std::atomic<int32_t> toggle_vk{0x23};
    // Published by the render thread after each frame; Dear ImGui's io is
    // never read from the window thread.
    std::atomic<bool>    want_capture_mouse{false};
    std::atomic<bool>    want_capture_keyboard{false};
    std::atomic<bool>    want_text_input{false};
    std::atomic<int32_t> mouse_cursor{0};              // ImGuiMouseCursor wanted on the system cursor (0 arrow, -1 none, -2 unchanged)
};
