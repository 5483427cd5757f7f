// Drives the overlay headlessly like a user: frames without a renderer, the
// same input records the host queues, items found by label through Dear
// ImGui's test-engine hooks, and the text the overlay shows through its log.
#pragma once

#include <imgui.h>
#include <imgui_internal.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One item Dear ImGui submitted in the last frame.
struct DriverItem
{
    ImGuiID id = 0;
    std::string label;  // as given to the widget, "##" suffix included
    ImRect rect;
    std::string window; // name of the window it belongs to
    bool has_label_rect = false; // a kit widget that lays out its own label said where
    ImRect label_rect;
};

// Puts the client state, the UI state, the input queue and the platform
// recorders back to their start values (DriverStart and DriverStop do it).
void DriverResetState();
// Creates a context set up as the plugin's (key map, fonts, sounds) with the
// test hooks on.
void DriverStart(ImVec2 display = ImVec2(1280.0f, 720.0f));
void DriverStop();
void DriverSetDisplay(ImVec2 display);
void DriverSetFrameTime(float seconds); // Dear ImGui's delta time per frame (1/60 by default)

// Runs frames through the overlay's frame sequence. Captures the last frame's
// text and items.
void DriverFrame(int count = 1);
// Frames until `done` (false after max_frames); with the real clock, frames
// every 10 ms until `done` or `seconds` passed (for answers from workers).
bool DriverFramesUntil(const std::function<bool()>& done, int max_frames);
bool DriverRunUntil(const std::function<bool()>& done, double seconds = 10.0);

// The item of the last frame whose shown label (before any "##") is `label`,
// or whose whole label is `label` when it shows none.
const DriverItem* DriverFind(const std::string& label);
const std::vector<DriverItem>& DriverItems();
// The close box of a window's title bar (it has no label of its own).
const DriverItem* DriverFindCloseBox(const std::string& window_name);

// The text the overlay drew in the last frame, one logged line per line.
const std::string& DriverText();

// Moves the overlay's cursor onto the item (as relative mouse motion would;
// with the menu closed, the system cursor) and clicks: press and release are
// queued like window messages. False when no item has that label.
bool DriverClick(const std::string& label);
bool DriverClickAt(const ImVec2& target);
// Wheel steps (negative: down) with the overlay's cursor at `target`.
void DriverWheelAt(const ImVec2& target, float steps);
// A key press and release with the toggle handling of the window thread.
void DriverKey(uint32_t vk);
void DriverType(const std::string& text);
