// Window input on its way from the game's window thread to the render thread:
// one InputFrame per value of the input frame counter, oldest first.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

struct InputKeyEvent
{
    uint8_t vk = 0;     // Windows virtual-key code
    bool down = false;
};

struct InputButtonEvent
{
    uint8_t button = 0; // 0 left, 1 right, 2 middle, 3 X1, 4 X2
    bool down = false;
};

// The input gathered between two platform new-frames.
struct InputFrame
{
    uint64_t frame = 0;                    // value of the input frame counter it belongs to
    bool focus_lost = false;               // clear mouse and key state before the events below
    std::vector<InputKeyEvent> keys;
    std::vector<InputButtonEvent> buttons;
    std::vector<uint16_t> chars;           // UTF-16 units, 1..65535
    float wheel = 0.0f;                    // vertical wheel steps
    float wheel_h = 0.0f;                  // horizontal wheel steps
};

struct InputQueueState
{
    std::mutex lock;                       // the input-queue lock
    std::vector<InputFrame> frames;        // oldest first
    uint64_t frame_counter = 0;            // incremented by every platform new-frame
    uint8_t buttons_down = 0;              // the window thread's view of the buttons, bit per button
    bool keys_down[256] = {};              // the window thread's view of the keys
};
