// Friends (page 11) and the friends section it shares with Profile.
#include "ui/pages/pages.h"

#include "backend/account.h"
#include "backend/friends.h"
#include "backend/messages.h"
#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/ui_state.h"
#include "state/utf8_text.h"

#include <imgui.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

void Space(float h)
{
    ImGui::Dummy(ImVec2(0.0f, h));
}

// Buttons of one row live in an ID scope named after its whole gamertag, so
// two names alike in their first bytes never share a button.
void PushRowId(const char* scope, const std::string& gamertag)
{
    ImGui::PushID(scope);
    ImGui::PushID(gamertag.data(), gamertag.data() + gamertag.size());
}

void PopRowId()
{
    ImGui::PopID();
    ImGui::PopID();
}

void DrawIncomingRequests(const std::vector<std::string>& incoming)
{
    char heading[48];
    snprintf(heading, sizeof(heading), "NOTIFICATIONS (%d)", (int)incoming.size());
    TextColoured(ColMuted, heading);
    Space(4);
    if (incoming.empty()) {
        TextWrappedColoured(ColDim, "No new notifications. Friend requests show up here.");
        return;
    }
    for (const std::string& tag : incoming) {
        ImGui::AlignTextToFramePadding();
        TextColoured(ColText, tag.c_str());
        ImGui::SameLine();
        TextColoured(ColMuted, "wants to be friends");
        ImGui::SameLine(ImGui::GetWindowWidth() - 176.0f);
        PushRowId("ntf", tag);
        if (AccentButton("Accept", ImVec2(80.0f, 26.0f)))
            StartFriendAction(L"/friends/respond", tag, true, true);
        ImGui::SameLine();
        if (ImGui::Button("Decline", ImVec2(80.0f, 26.0f)))
            StartFriendAction(L"/friends/respond", tag, false, true);
        PopRowId();
    }
}

void DrawAddFriend()
{
    TextColoured(ColMuted, "ADD A FRIEND BY GAMERTAG");
    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x - 110.0f);
    ImGui::InputTextWithHint("##addf", "Gamertag", g_ui.add_friend, sizeof(g_ui.add_friend));
    ImGui::SameLine();
    if (ImGui::Button("Add", ImVec2(96.0f, 0.0f)) && g_ui.add_friend[0]) {
        StartFriendAction(L"/friends/add", g_ui.add_friend, false, false);
        g_ui.add_friend[0] = 0;
    }
    std::lock_guard<std::mutex> hold(g_app.social.lock);
    if (!g_app.social.friend_status.empty())
        TextWrappedColoured(ColGold, g_app.social.friend_status.c_str());
}

void DrawFriendsList(const std::vector<std::string>& friends)
{
    TextColoured(ColMuted, "FRIENDS");
    Space(4);
    if (friends.empty()) {
        TextWrappedColoured(ColDim, "No friends yet. Add someone by their gamertag above.");
        return;
    }
    for (const std::string& tag : friends) {
        ImGui::AlignTextToFramePadding();
        TextColoured(ColText, tag.c_str());
        ImGui::SameLine(ImGui::GetWindowWidth() - 186.0f);
        PushRowId("fr", tag);
        if (AccentButton("Message", ImVec2(90.0f, 26.0f)))
            OpenConversation(tag);
        ImGui::SameLine();
        if (ImGui::Button("Remove", ImVec2(80.0f, 26.0f)))
            StartFriendAction(L"/friends/remove", tag, false, false);
        PopRowId();
    }
}

} // namespace

void DrawFriendsPage()
{
    PageHeader("SOCIAL", "Friends");
    bool signed_out = g_app.account.is_guest;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        signed_out = signed_out || g_app.account.token.empty();
    }
    if (!signed_out) {
        DrawFriendsSection();
        return;
    }
    TextWrappedColoured(ColMuted, "Sign in to add friends and send messages.");
    Space(12);
    if (AccentButton("Go to Sign In", ImVec2(-1.0f, 42.0f))) {
        ClearSignInFailure();
        if (g_app.shell.current_page != PageSignIn)
            NavigateTo(PageSignIn);
    }
}

void DrawFriendsSection()
{
    const double now = ImGui::GetTime();
    if (now - g_ui.last_friends_refresh > 4.0) {
        g_ui.last_friends_refresh = now;
        RefreshFriends();
    }
    std::vector<std::string> incoming, friends, outgoing;
    {
        std::lock_guard<std::mutex> hold(g_app.social.lock);
        incoming = g_app.social.incoming_requests;
        friends = g_app.social.friends;
        outgoing = g_app.social.outgoing_requests;
    }

    DrawIncomingRequests(incoming);
    Space(10);
    AccentRule();
    Space(10);
    DrawAddFriend();
    Space(10);
    AccentRule();
    Space(10);
    DrawFriendsList(friends);

    if (!outgoing.empty()) {
        Space(12);
        TextColoured(ColMuted, "PENDING (SENT)");
        Space(4);
        char line[96];
        for (const std::string& tag : outgoing) {
            Utf8Format(line, sizeof(line), "%s  -  waiting", tag.c_str());
            TextColoured(ColMuted, line);
        }
    }
}
