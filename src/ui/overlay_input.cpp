#include "ui/overlay_input.h"

#include "backend/click_sounds.h"
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
    ToggleOverlay();
    // Played by the render thread: it owns the sound buffers.
    RequestClickSound(ClickTick);
    return true;
}

bool ToggleOverlay()
{
    std::atomic<bool>& open = g_app.overlay.overlay_open;
    bool was = open.load();
    while (!open.compare_exchange_weak(was, !was)) {
    }
    return !was;
}

void CloseOverlay()
{
    bool was_open = true;
    g_app.overlay.overlay_open.compare_exchange_strong(was_open, false);
}

void AddVirtualCursorMotion(float dx, float dy)
{
    g_app.overlay.virtual_cursor_x.fetch_add(dx);
    g_app.overlay.virtual_cursor_y.fetch_add(dy);
}

namespace {

// Clamps one axis in place by compare-exchange: motion the window thread adds
// meanwhile is clamped on the next try instead of being overwritten.
float ClampAxis(std::atomic<float>& axis, float size)
{
    float cur = axis.load();
    for (;;) {
        // NaN never compares, so an invalid position clamps to the origin.
        float want = std::clamp(cur, 0.0f, std::max(0.0f, size));
        if (want != want)
            want = 0.0f;
        if (want == cur || axis.compare_exchange_weak(cur, want))
            return want;
    }
}

} // namespace

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
    io.MousePos = ImVec2(ClampAxis(o.virtual_cursor_x, io.DisplaySize.x), ClampAxis(o.virtual_cursor_y, io.DisplaySize.y));
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
