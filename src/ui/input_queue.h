// The per-frame input queue: the window thread (or a harness) appends events
// to the newest InputFrame; the render thread applies the oldest one to Dear
// ImGui's io at each platform new-frame. Events are applied in the order they
// arrived, one InputFrame per frame, so a click or fast typing between two
// frames is never reduced to a state.
#pragma once

#include <cstdint>

struct ImGuiIO;

// Bounds on what one InputFrame holds while the render thread is not taking
// them (game minimised, renderer without a draw path).
constexpr int kMaxQueuedInputFrames = 64;
constexpr int kMaxEventsPerInputFrame = 512;

// Window thread. Codes of 256 and above, buttons outside 0..4 and characters
// 0 or above 65535 are dropped.
void QueueKeyEvent(uint32_t vk, bool down);
void QueueMouseButtonEvent(int button, bool down);
void QueueCharEvent(uint32_t ch);
void QueueWheel(float vertical, float horizontal);
// The window lost the keyboard focus: mouse and key state are cleared before
// anything queued after this call is applied.
void QueueFocusLost();
// Buttons down as seen by the queued events (bit per button); used for the
// window's mouse capture without reading Dear ImGui's state off its thread.
uint8_t QueuedButtonsDown();

// Render thread: applies the oldest InputFrame to io (if any) and advances the
// input frame counter. Returns true when a frame was applied.
bool ApplyQueuedInput(ImGuiIO& io);
