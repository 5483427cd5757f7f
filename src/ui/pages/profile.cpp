// Profile (page 5): the account card, verification and the friends section.
#include "ui/pages/pages.h"

#include "backend/account.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "state/utf8_text.h"

#include <imgui.h>

#include <algorithm>

#include <cstdio>
#include <mutex>
#include <string>

namespace {

void DrawGuestProfile()
{
    TextWrappedColoured(ColDim,
                        "You're playing as a guest. Sign in to save your gamertag, add friends, and message people.");
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
    if (AccentButton("Go to Sign In", ImVec2(-1.0f, 40.0f))) {
        ClearSignInFailure();
        if (g_app.shell.current_page != PageSignIn)
            NavigateTo(PageSignIn);
    }
}

void DrawAccountCard(const char* name, const std::string& username, const std::string& role, bool verified)
{
    // 116 px unless the three lines need more: at the overlay's font sizes the
    // verification line would otherwise be cut off.
    const ImGuiStyle& st = ImGui::GetStyle();
    const float lines = (FontDisplay ? FontDisplay->FontSize : ImGui::GetFontSize()) + 2.0f * ImGui::GetFontSize() +
                        2.0f * st.ItemSpacing.y;
    const float height = std::max(116.0f, lines + 2.0f * st.WindowPadding.y);
    ImGui::BeginChild("profcard", ImVec2(0.0f, height), true, ImGuiWindowFlags_NoScrollbar);
    const ImVec2 p = ImGui::GetCursorScreenPos();
    ImGui::GetWindowDrawList()->AddCircleFilled(ImVec2(p.x + 26.0f, p.y + 26.0f), 24.0f, PackCol(ColAccent));
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + 64.0f);
    ImGui::BeginGroup();
    TextInFont(FontDisplay, ColText, name);
    char line[160];
    Utf8Format(line, sizeof(line), "@%s   -   %s", username.empty() ? "-" : username.c_str(),
             role.empty() ? "user" : role.c_str());
    TextColoured(ColMuted, line);
    if (verified)
        TextColoured(ColGreen, "Email verified");
    else
        TextColoured(ColGold, "Email not verified");
    ImGui::EndGroup();
    ImGui::EndChild();
}

} // namespace

void DrawProfilePage()
{
    std::string gamertag, username, role;
    bool verified = false;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        gamertag = g_app.account.gamertag;
        username = g_app.account.username;
        role = g_app.account.role;
        verified = g_app.account.email_verified;
    }
    // display_name is written only on this thread.
    const char* name = gamertag.empty() ? g_app.account.display_name : gamertag.c_str();
    const bool guest = g_app.account.is_guest;
    PageHeader("ACCOUNT", guest ? "Guest Profile" : name);
    if (guest) {
        DrawGuestProfile();
        return;
    }

    DrawAccountCard(name, username, role, verified);
    if (!verified) {
        ImGui::Dummy(ImVec2(0.0f, 6.0f));
        if (OutlineButton("Resend verification email", 32.0f))
            StartAccountRequest(L"/request-verify", username, kVerifyDoneText);
        const int32_t status = g_app.flags.request_status.load();
        if (status != RequestIdle) {
            std::lock_guard<std::mutex> hold(g_app.account_request.lock);
            TextWrappedColoured(ColMuted, status == RequestSending ? "Sending..."
                                                                   : g_app.account_request.request_message.c_str());
        }
    }
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
    if (OutlineButton("Sign Out", 36.0f)) {
        SignOut();
        return;
    }
    ImGui::Dummy(ImVec2(0.0f, 16.0f));
    AccentRule();
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
    DrawFriendsSection();
}
