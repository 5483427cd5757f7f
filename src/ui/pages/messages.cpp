// Messages (page 12): one conversation with a friend and its compose line.
#include "ui/pages/pages.h"

#include "backend/messages.h"
#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/ui_state.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The player's own lines end 16 px before the right edge, the partner's start
// at the left; both wrap at 74 % of the width.
void DrawConversation(const std::vector<DirectMessage>& conversation)
{
    if (conversation.empty()) {
        TextWrappedColoured(ColDim, "No messages yet. Say hi!");
        return;
    }
    const float avail = ImGui::GetContentRegionAvail().x;
    const float wrap = 0.74f * avail;
    for (const DirectMessage& m : conversation) {
        if (m.mine) {
            const float w = std::ceil(ImGui::CalcTextSize(m.body.c_str(), nullptr, false, wrap).x);
            ImGui::SetCursorPosX(ImGui::GetCursorPosX() + std::max(0.0f, avail - w - 16.0f));
        }
        ImGui::PushTextWrapPos(ImGui::GetCursorPosX() + wrap);
        TextColoured(m.mine ? ColAccentHover : ColText, m.body.c_str());
        ImGui::PopTextWrapPos();
        ImGui::Dummy(ImVec2(0.0f, 4.0f));
    }
}

} // namespace

void DrawMessagesPage()
{
    std::string partner;
    {
        std::lock_guard<std::mutex> hold(g_app.social.lock);
        partner = g_app.social.chat_partner;
    }
    if (GhostButton("  < Back to Friends", 30.0f)) {
        NavigateTo(PageProfile);
        return;
    }
    PageHeader("MESSAGES", partner.empty() ? "Chat" : partner.c_str());
    if (partner.empty()) {
        TextColoured(ColMuted, "Open a friend from the Profile page to chat.");
        return;
    }
    const double now = ImGui::GetTime();
    if (now - g_ui.last_conversation_fetch > 1.5) {
        g_ui.last_conversation_fetch = now;
        FetchConversation();
    }

    ImGui::BeginChild("chatscroll", ImVec2(0.0f, ImGui::GetContentRegionAvail().y - 48.0f), true);
    {
        // Copied only when it changed: a long history costs nothing per frame.
        std::lock_guard<std::mutex> hold(g_app.social.lock);
        if (g_ui.conversation_seen != g_app.social.conversation_changes) {
            g_ui.conversation = g_app.social.conversation;
            g_ui.conversation_seen = g_app.social.conversation_changes;
        }
    }
    DrawConversation(g_ui.conversation);
    // Near the bottom the view follows new lines; scrolled further up it stays.
    if (ImGui::GetScrollY() >= ImGui::GetScrollMaxY() - 40.0f)
        ImGui::SetScrollHereY(1.0f);
    ImGui::EndChild();

    // The compose buffer is touched only on this thread (OpenConversation empties it).
    // The draft goes only once the message arrived; a failure keeps it to send again.
    char* compose = g_app.social.compose;
    int32_t delivered = SendDelivered;
    if (g_app.flags.message_send.compare_exchange_strong(delivered, SendIdle) && g_ui.message_sent == compose) {
        compose[0] = 0;
        // A field still being typed in keeps its own copy: refocus it so it reads the empty line.
        if (ImGui::GetActiveID() == ImGui::GetID("##chatin")) {
            ImGui::ClearActiveID();
            ImGui::SetKeyboardFocusHere();
        }
    }
    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x - 90.0f);
    const bool enter =
        ImGui::InputText("##chatin", compose, sizeof(g_app.social.compose), ImGuiInputTextFlags_EnterReturnsTrue);
    if (enter)
        ImGui::SetKeyboardFocusHere(-1); // keep typing after Enter
    ImGui::SameLine();
    const bool send = ImGui::Button("Send", ImVec2(78.0f, 0.0f));
    // One at a time: a double click sends once.
    if ((enter || send) && compose[0] && g_app.flags.message_send.load() != SendRunning &&
        SendDirectMessage(std::string(compose)))
        g_ui.message_sent = compose;
    int32_t failed = SendFailed;
    g_app.flags.message_send.compare_exchange_strong(failed, SendIdle);
    std::lock_guard<std::mutex> hold(g_app.social.lock);
    if (!g_app.social.send_status.empty())
        TextWrappedColoured(ColGold, g_app.social.send_status.c_str());
}
