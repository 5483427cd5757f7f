// Drives the overlay headlessly like a user: frames without a renderer, the
// same input records the host queues, items found by label through Dear
// ImGui's test-engine hooks, and the text the overlay shows through its log.
#pragma once

#include <imgui.h>
#include <imgui_internal.h>

#include <cstdint>
#include <string>
#include <vector>

// One item Dear ImGui submitted in the last frame.
struct DriverItem
{
    ImGuiID id = 0;
    std::string label;  // as given to the widget, "##" suffix included
    ImRect rect;
    std::string window; // name of the window it belongs to
};

// Creates a context with the overlay's fonts and hooks on, display 1280x720.
void DriverStart();
void DriverStop();

// Runs one overlay frame: queued input, virtual cursor, the overlay frame,
// render, published wishes. Captures the frame's text and items.
void DriverFrame(int count = 1);

// Items of the last frame whose label (before any "##") is `label`.
const DriverItem* DriverFind(const std::string& label);
const std::vector<DriverItem>& DriverItems();
// The close box of a window's title bar (it has no label of its own).
const DriverItem* DriverFindCloseBox(const std::string& window_name);

// The text the overlay drew in the last frame, one logged line per line.
const std::string& DriverText();

// Moves the overlay's cursor onto the item (as relative mouse motion would)
// and clicks: press and release are queued like window messages. False when
// no item has that label.
bool DriverClick(const std::string& label);
bool DriverClickAt(const ImVec2& target);
// A key press and release with the toggle handling of the window thread.
void DriverKey(uint32_t vk);
void DriverType(const std::string& text);
