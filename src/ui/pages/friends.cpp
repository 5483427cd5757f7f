// Friends (page 11) and the friends section it shares with Profile.
#include "ui/pages/pages.h"

#include "backend/account.h"
#include "backend/friends.h"
#include "backend/invites.h"
#include "backend/messages.h"
#include "backend/rooms.h"
#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/ui_state.h"
#include "state/utf8_text.h"

#include <imgui.h>

#include <algorithm>
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

void Join(const RoomInvite& target, bool invite)
{
    if (invite) {
        JoinInvite(target);
        return;
    }
    StartRoomOp({.mode = RoomOpJoin, .code = target.code});
    NavigateTo(PageMatchmaking);
}

// One click must not end a running session: while one runs, a Join waits
// for the player's word.
void AskToJoin(const RoomInvite& target, bool invite)
{
    if (!g_app.flags.link_running.load() && !g_app.flags.room_started.load()) {
        Join(target, invite);
        return;
    }
    g_ui.join_confirm_open = true;
    g_ui.join_confirm_invite = invite;
    g_ui.join_confirm = target;
}

void JoinConfirmation()
{
    static const char kTitle[] = "Leave your current session?";
    if (g_ui.join_confirm_open && !ImGui::IsPopupOpen(kTitle))
        ImGui::OpenPopup(kTitle);
    ImGui::SetNextWindowSize(ImVec2(440.0f, 0.0f));
    if (!ImGui::BeginPopupModal(kTitle, nullptr, ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove))
        return;
    TextWrappedColoured(ColMuted, "Joining another room ends the co-op session you are playing now.");
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
    const float w = (ImGui::GetContentRegionAvail().x - 12.0f) * 0.5f;
    bool close = false;
    if (AccentButton("Leave and join", ImVec2(w, 40.0f))) {
        Join(g_ui.join_confirm, g_ui.join_confirm_invite);
        close = true;
    }
    ImGui::SameLine(0.0f, 12.0f);
    if (ImGui::Button("Stay", ImVec2(w, 40.0f)))
        close = true;
    if (close) {
        g_ui.join_confirm_open = false;
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
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
        static const char* const kButtons[] = {"Accept", "Decline"};
        RowButtonsStart(kButtons, 2);
        PushRowId("ntf", tag);
        if (RowButton("Accept", RowAccent))
            StartFriendAction(L"/friends/respond", tag, true, true);
        if (RowButton("Decline", RowPlain))
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

void DrawRoomInvites(const std::vector<RoomInvite>& invites)
{
    TextColoured(ColMuted, "ROOM INVITES");
    Space(4);
    for (const RoomInvite& invite : invites) {
        ImGui::AlignTextToFramePadding();
        TextColoured(ColText, invite.from.c_str());
        ImGui::SameLine();
        TextColoured(ColMuted, invite.full ? "Room is full" : invite.room.c_str());
        static const char* const kButtons[] = {"Join", "Decline"};
        RowButtonsStart(kButtons, 2);
        PushRowId("inv", invite.from);
        if (RowButton("Join", RowAccent, !invite.full))
            AskToJoin(invite, true);
        if (RowButton("Decline", RowPlain))
            DeclineInvite(invite);
        PopRowId();
    }
    Space(10);
    AccentRule();
    Space(10);
}

struct FriendRow
{
    std::string tag;
    FriendPresence presence;
};

int PresenceRank(const std::string& p)
{
    return p == "online" || p == "in_room" || p == "playing" ? 0 : 1;
}

// A dot and a short word: what a friend is up to at a glance.
void PresenceMark(const std::string& p)
{
    const ImVec4& col = p == "online" ? ColGreen : p == "in_room" ? ColGold : p == "playing" ? ColAccent : ColDim;
    const ImVec2 at = ImGui::GetCursorScreenPos();
    const float h = ImGui::GetFrameHeight();
    ImGui::GetWindowDrawList()->AddCircleFilled(ImVec2(at.x + 5.0f, at.y + h * 0.5f), 4.5f, PackCol(col));
    ImGui::Dummy(ImVec2(14.0f, h));
    ImGui::SameLine();
}

const char* PresenceText(const std::string& p)
{
    return p == "online" ? "Online" : p == "in_room" ? "In a lobby" : p == "playing" ? "Playing" : nullptr;
}

// The room this player could bring a friend into: in one, with a seat free.
struct MyRoom
{
    std::string code;
    bool can_invite = false;
};

MyRoom CopyMyRoom()
{
    MyRoom r;
    if (g_app.flags.room_state.load() != RoomIn)
        return r;
    std::lock_guard<std::mutex> hold(g_app.room.lock);
    r.code = g_app.room.room_code;
    r.can_invite = !r.code.empty() && g_app.room.room_partner.empty();
    return r;
}

void DrawFriendsList(const std::vector<std::string>& friends, const std::vector<FriendPresence>& presence)
{
    TextColoured(ColMuted, "FRIENDS");
    Space(4);
    if (friends.empty()) {
        TextWrappedColoured(ColDim, "No friends yet. Add someone by their gamertag above.");
        return;
    }
    std::vector<FriendRow> rows;
    for (size_t i = 0; i < friends.size(); i++)
        rows.push_back(FriendRow{friends[i], i < presence.size() ? presence[i] : FriendPresence()});
    std::stable_sort(rows.begin(), rows.end(), [](const FriendRow& a, const FriendRow& b) {
        return PresenceRank(a.presence.presence) < PresenceRank(b.presence.presence);
    });
    const MyRoom mine = CopyMyRoom();
    for (const FriendRow& row : rows) {
        const FriendPresence& p = row.presence;
        ImGui::AlignTextToFramePadding();
        PresenceMark(p.presence);
        TextColoured(ColText, row.tag.c_str());
        if (const char* text = PresenceText(p.presence)) {
            ImGui::SameLine();
            TextColoured(ColMuted, text);
        }
        const bool away = PresenceRank(p.presence) != 0;
        const bool can_join = !p.room_code.empty() && p.room_code != mine.code;
        const bool can_invite = mine.can_invite && !away && !p.invited && p.room_code != mine.code;
        const bool shows_invited = mine.can_invite && p.invited;
        const char* first = can_join ? "Join" : can_invite ? "Invite" : shows_invited ? "Invited" : nullptr;
        const char* buttons[3] = {first, "Message", "Remove"};
        RowButtonsStart(first ? buttons : buttons + 1, first ? 3 : 2);
        PushRowId("fr", row.tag);
        if (can_join) {
            if (RowButton("Join", RowAccent))
                AskToJoin(RoomInvite{"", p.room_code, "", false}, false);
        } else if (can_invite) {
            if (RowButton("Invite", RowPlain))
                StartInvite(row.tag);
        } else if (shows_invited) {
            RowButton("Invited", RowPlain, false);
        }
        if (RowButton("Message", RowAccent))
            OpenConversation(row.tag);
        if (RowButton("Remove", RowPlain))
            StartFriendAction(L"/friends/remove", row.tag, false, false);
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
    std::vector<FriendPresence> presence;
    std::vector<RoomInvite> invites;
    {
        std::lock_guard<std::mutex> hold(g_app.social.lock);
        incoming = g_app.social.incoming_requests;
        friends = g_app.social.friends;
        outgoing = g_app.social.outgoing_requests;
        presence = g_app.social.friend_presence;
        invites = g_app.social.invites;
    }

    if (!invites.empty())
        DrawRoomInvites(invites);
    DrawIncomingRequests(incoming);
    Space(10);
    AccentRule();
    Space(10);
    DrawAddFriend();
    Space(10);
    AccentRule();
    Space(10);
    DrawFriendsList(friends, presence);

    JoinConfirmation();
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
