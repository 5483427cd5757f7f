#include "host/platform_frame.h"

#include "host/renderer_state.h"
#include "host/window_input.h"

#include <imgui.h>

#include <cfloat>

bool InitPlatformBackend(HWND window)
{
    RendererState& r = g_renderer;
    LARGE_INTEGER frequency, now;
    if (!QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&now))
        return false;
    r.window = window;
    r.counter_frequency = frequency.QuadPart;
    r.counter_last = now.QuadPart;
    r.last_cursor = -3;

    ImGuiIO& io = ImGui::GetIO();
    io.BackendFlags |= ImGuiBackendFlags_HasMouseCursors | ImGuiBackendFlags_HasSetMousePos;
    io.BackendPlatformName = "imgui_impl_win32";
    io.ImeWindowHandle = window;
    // Dear ImGui's own IME hook is left out of mingw builds, and it would
    // call the input-method functions from the render thread anyway.
    io.ImeSetInputScreenPosFn = [](int x, int y) { SetImeCaret(g_renderer.window, x, y); };
    return true;
}

namespace {

bool ModifierDown(const ImGuiIO& io, int vk, int left, int right)
{
    return (GetKeyState(vk) & 0x8000) != 0 || io.KeysDown[vk] || io.KeysDown[left] || io.KeysDown[right];
}

} // namespace

void PlatformNewFrame(ImGuiIO& io, void*)
{
    RendererState& r = g_renderer;

    RECT rect = {0, 0, 0, 0};
    GetClientRect(r.window, &rect);
    io.DisplaySize = ImVec2((float)(rect.right - rect.left), (float)(rect.bottom - rect.top));
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const float dt = (float)(now.QuadPart - r.counter_last) / (float)r.counter_frequency;
    io.DeltaTime = dt > 0.0f ? dt : 1e-6f; // Dear ImGui requires a positive step
    r.counter_last = now.QuadPart;

    io.KeyCtrl = ModifierDown(io, VK_CONTROL, VK_LCONTROL, VK_RCONTROL);
    io.KeyShift = ModifierDown(io, VK_SHIFT, VK_LSHIFT, VK_RSHIFT);
    io.KeyAlt = ModifierDown(io, VK_MENU, VK_LMENU, VK_RMENU);
    io.KeySuper = false;

    if (io.WantSetMousePos) {
        POINT pos = {(LONG)io.MousePos.x, (LONG)io.MousePos.y};
        if (ClientToScreen(r.window, &pos))
            SetCursorPos(pos.x, pos.y);
    }
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
    const HWND foreground = GetForegroundWindow();
    if (foreground && (foreground == r.window || IsChild(r.window, foreground))) {
        POINT pos;
        if (GetCursorPos(&pos) && ScreenToClient(r.window, &pos))
            io.MousePos = ImVec2((float)pos.x, (float)pos.y);
    }

    const int32_t wanted = io.MouseDrawCursor ? (int32_t)ImGuiMouseCursor_None : (int32_t)ImGui::GetMouseCursor();
    if (wanted != r.last_cursor) {
        r.last_cursor = wanted;
        if (!(io.ConfigFlags & ImGuiConfigFlags_NoMouseCursorChange))
            SetSystemCursorShape(wanted);
    }
}
