#include "host/plugin_callbacks.h"

#include "host/overlay_renderer.h"
#include "host/platform_frame.h"
#include "host/reframework_api.h"
#include "host/renderer_state.h"
#include "host/window_input.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "ui/frame_sequence.h"
#include "ui/overlay_input.h"

#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_dx12.h>

namespace {

void FrameSteps()
{
    FramePlatform platform;
    platform.new_frame = PlatformNewFrame;
    platform.fonts_rebuilt = RecreateFontTexture;
    platform.host_menu_shown = HostMenuShown();
    if (RunOverlayFrameSequence(platform))
        ClipCursor(nullptr); // the game may confine the cursor; the overlay needs all of it
}

} // namespace

void OnPresent()
{
    // Nothing may escape into the host's render thread.
    try {
        if (!g_renderer.initialised) {
            if (!InitOverlayRenderer()) {
                DebugOutput("Failed to initialize imgui\n");
                return;
            }
            DebugOutput("Initialized imgui\n");
        }
        const HostRendererData* rd = reframework::API::get().renderer_data();
        if (rd->renderer_type == HostRendererD3D11) {
            ImGui_ImplDX11_NewFrame(); // creates the device objects when missing
            FrameSteps();
            RenderDrawData11();
        } else if (rd->renderer_type == HostRendererD3D12 && rd->command_queue) {
            if (g_renderer.font_texture_stale)
                RecreateFontTexture();
            ImGui_ImplDX12_NewFrame();
            FrameSteps();
            RenderDrawData12();
        }
        // The texture holds the atlas now: its CPU copy (10 MB at 1024 x 2048)
        // is not kept in the game's memory. A device reset rebuilds it.
        ImFontAtlas* atlas = ImGui::GetIO().Fonts;
        if ((atlas->TexPixelsAlpha8 || atlas->TexPixelsRGBA32) && !g_renderer.font_texture_stale)
            atlas->ClearTexData();
    } catch (...) {
        DebugOutput("Overlay frame failed\n");
    }
}

bool OnMessage(void* hwnd, uint32_t msg, uint64_t wparam, int64_t lparam)
{
    try {
        QueueWindowInput((HWND)hwnd, msg, (WPARAM)wparam, (LPARAM)lparam);
        if (msg == WM_KEYDOWN || msg == WM_SYSKEYDOWN) {
            const bool auto_repeat = (lparam & (1LL << 30)) != 0;
            ToggleOverlayOnKey((uint32_t)(wparam & 0xFFFFFFFFu), auto_repeat);
        }
        if (msg == WM_INPUT && g_app.overlay.overlay_open.load()) {
            float dx = 0.0f, dy = 0.0f;
            if (ReadRawMouseMotion((HRAWINPUT)lparam, &dx, &dy))
                AddVirtualCursorMotion(dx, dy);
        }
        // Only input is kept from the game; its other messages always pass.
        return !(IsInputMessage(msg) && OverlayWantsInput());
    } catch (...) {
        return true;
    }
}
