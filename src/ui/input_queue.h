// The per-frame input queue: the window thread (or a harness) appends events
// to the newest InputFrame; the render thread applies the oldest one to Dear
// ImGui's io at each platform new-frame. Events are applied in the order they
// arrived, one InputFrame per frame; characters are queued, not reduced to a
// state; and at most one event per key or button is applied per frame (the
// rest of that InputFrame waits), so Dear ImGui sees every click and key tap.
#pragma once

#include <cstddef>
#include <cstdint>

struct ImGuiIO;

// Bound on the events of each kind one InputFrame holds, for when the render
// thread is not taking them (game minimised, renderer without a draw path).
// Past it, key and button lists shrink to the last event of each code, and
// further characters are dropped.
constexpr int kMaxEventsPerInputFrame = 512;

// Bound on the InputFrames waiting for the render thread. Edges of one key or
// button beyond one per frame wait for later frames; at this backlog the two
// oldest frames are folded into one (last event per code), so a slow game
// never builds up input that arrives seconds late.
constexpr size_t kMaxQueuedInputFrames = 8;
// Likewise for the key and button edges waiting over all frames: past it the
// whole backlog is folded (a double click or fast typing stays well below).
constexpr size_t kMaxQueuedInputEdges = 24;

// Window thread. Codes of 256 and above, buttons outside 0..4 and characters
// 0 or above 65535 are dropped, and so is a key-down of a key already down
// (auto-repeat: Dear ImGui repeats held keys itself).
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

// Empties the queue and forgets every key and button as up (tests, and a
// context that starts anew).
void ResetInputQueue();
