// The update notice: shown in place of every page once the service has said
// this client may no longer be used.
#include "ui/pages/pages.h"

#include "backend/client_check.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

#include <string>

void DrawUpdateNotice()
{
    ImGui::Dummy(ImVec2(0.0f, 60.0f));
    TextInFont(FontDisplay, ColGold, "Update Required");
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
    std::string message;
    {
        std::lock_guard<std::mutex> hold(g_app.update_notice.lock);
        message = g_app.update_notice.update_message;
    }
    TextWrappedColoured(ColMuted, message.empty() ? kUpdateDefaultText : message.c_str());
    ImGui::Dummy(ImVec2(0.0f, 16.0f));
    if (AccentButton("Download Latest Version", ImVec2(-1.0f, 44.0f)))
        OpenWebPage(KESTREL_DOWNLOAD_URL);
}
