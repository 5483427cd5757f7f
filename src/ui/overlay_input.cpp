#include "ui/overlay_input.h"

#include "state/app_state.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>

bool ToggleOverlayOnKey(uint32_t vk, bool auto_repeat)
{
    OverlayState& o = g_app.overlay;
    if (auto_repeat || o.capturing_key.load() || o.want_text_input.load())
        return false;
    if ((int32_t)vk != o.toggle_vk.load())
        return false;
    o.overlay_open.store(!o.overlay_open.load());
    return true;
}

void AddVirtualCursorMotion(float dx, float dy)
{
    g_app.overlay.virtual_cursor_x.fetch_add(dx);
    g_app.overlay.virtual_cursor_y.fetch_add(dy);
}

bool UpdateVirtualCursor(bool host_menu_shown)
{
    OverlayState& o = g_app.overlay;
    ImGuiIO& io = ImGui::GetIO();
    const bool open = o.overlay_open.load();
    if (!open || host_menu_shown) {
        o.virtual_cursor_x.store(io.MousePos.x);
        o.virtual_cursor_y.store(io.MousePos.y);
        o.virtual_cursor_placed.store(open);
        return false;
    }
    if (!o.virtual_cursor_placed.load()) {
        o.virtual_cursor_x.store(io.DisplaySize.x * 0.5f);
        o.virtual_cursor_y.store(io.DisplaySize.y * 0.5f);
        o.virtual_cursor_placed.store(true);
    }
    // NaN never compares, so an invalid position clamps to the origin.
    const float x = std::clamp(o.virtual_cursor_x.load(), 0.0f, std::max(0.0f, io.DisplaySize.x));
    const float y = std::clamp(o.virtual_cursor_y.load(), 0.0f, std::max(0.0f, io.DisplaySize.y));
    o.virtual_cursor_x.store(x == x ? x : 0.0f);
    o.virtual_cursor_y.store(y == y ? y : 0.0f);
    io.MousePos = ImVec2(o.virtual_cursor_x.load(), o.virtual_cursor_y.load());
    return true;
}

void PublishOverlayWants()
{
    OverlayState& o = g_app.overlay;
    const ImGuiIO& io = ImGui::GetIO();
    const ImGuiContext& g = *ImGui::GetCurrentContext();
    o.want_capture_mouse.store(io.WantCaptureMouse);
    // Dear ImGui updates the keyboard wishes only at the next new frame; the
    // window thread gets them now, so a field that took the keyboard in this
    // frame already keeps the toggle key from closing the overlay.
    o.want_capture_keyboard.store(io.WantCaptureKeyboard || g.ActiveId != 0);
    o.want_text_input.store(g.WantTextInputNextFrame == 1);
    int32_t cursor = io.MouseDrawCursor ? (int32_t)ImGuiMouseCursor_None : (int32_t)ImGui::GetMouseCursor();
    if (io.ConfigFlags & ImGuiConfigFlags_NoMouseCursorChange)
        cursor = kCursorUnchanged;
    o.mouse_cursor.store(cursor);
}

bool OverlayWantsMouse()
{
    return g_app.overlay.want_capture_mouse.load();
}

bool OverlayWantsKeyboard()
{
    return g_app.overlay.want_capture_keyboard.load();
}

bool OverlayWantsInput()
{
    return OverlayWantsMouse() || OverlayWantsKeyboard();
}
