#include "ui/overlay_frame.h"

#include "backend/client_frame.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/indicators.h"
#include "ui/pages/pages.h"
#include "ui/palette.h"
#include "ui/shell.h"
#include "ui/ui_state.h"

#include <imgui.h>

#include <cstring>

void OverlayFrame(bool host_menu_shown)
{
    ImGuiIO& io = ImGui::GetIO();
    if (!g_ui.style_applied) {
        ApplyOverlayStyle(ImGui::GetStyle());
        g_ui.style_applied = true;
    }

    // The client core's steps come first, so this frame draws their results.
    const ClientFrameResult client = ClientFrame(g_ui.client_frame, ImGui::GetTime(), SteadyNowNs());
    if (client.signed_in)
        memset(g_ui.password, 0, sizeof(g_ui.password));
    if (client.signed_out)
        ForgetTypedText();
    const float dt = io.DeltaTime > 0.0f ? io.DeltaTime : 0.016f;

    // The host draws its own cursor over its menu.
    io.MouseDrawCursor = g_app.overlay.overlay_open.load() && !host_menu_shown;

    if (FontUi)
        ImGui::PushFont(FontUi);
    DrawCoopButton();
    if (FontUi)
        ImGui::PopFont();
    DrawOpenMenuHint(dt);
    DrawConnectionBars();
    DrawToasts();

    DrawMenuWindow(dt);
    EndKeyCaptureStep();
}
