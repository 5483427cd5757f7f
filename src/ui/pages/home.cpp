// Home (page 1): the greeting, the room status card and the ways into a room.
#include "ui/pages/pages.h"

#include "backend/player_name.h"
#include "backend/rooms.h"
#include "backend/saved_room.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/session_status.h"

#include <imgui.h>

#include <string>

void DrawHomePage()
{
    const std::string name = PlayerName();
    const int32_t state = g_app.flags.room_state.load();
    const bool linked = g_app.flags.link_running.load();

    ImGui::Dummy(ImVec2(0.0f, 14.0f));
    // A guest is new each time: only a signed-in player is welcomed back.
    TextInFont(FontSmall, ColAccent, g_app.account.is_guest ? "WELCOME" : "WELCOME BACK");
    TextInFont(FontDisplay, ColText, name.empty() ? "Player" : name.c_str());
    ImGui::Dummy(ImVec2(0.0f, 10.0f));

    const SessionStatus status = CurrentSessionStatus();
    ImGui::BeginChild("homestat", ImVec2(0.0f, 52.0f), true, ImGuiWindowFlags_NoScrollbar);
    ImGui::SetCursorPos(ImVec2(14.0f, 16.0f));
    TextColoured(ColMuted, "STATUS");
    ImGui::SameLine(0.0f, 12.0f);
    TextColoured(status.colour, status.home);
    ImGui::EndChild();

    ImGui::Dummy(ImVec2(0.0f, 16.0f));
    FieldLabel("QUICK ACTIONS");
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
    std::string rejoin;
    if (state == RoomBusy || state == RoomIn || linked) {
        if (ActionTile("Return to Lobby", "You're in a room - jump back to the lobby."))
            GoToPage(PageMatchmaking);
    } else if (RejoinOffer(rejoin)) {
        // After a restart: the same room, as the same member, while the service keeps the place.
        if (ActionTile(("Rejoin Room " + rejoin).c_str(), "Your place is kept - jump back into your room.")) {
            RejoinSavedRoom();
            GoToPage(PageMatchmaking);
        }
    } else if (ActionTile("Quickmatch", "Instantly find a partner and jump into a lobby.")) {
        StartRoomOp({.mode = RoomOpQuickmatch});
        GoToPage(PageMatchmaking);
    }
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
    if (ActionTile("Create a Room", "Make a room and get a code to invite a friend."))
        GoToPage(PageCreate);
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
    if (ActionTile("Join by Code", "Enter a friend's room code to join them."))
        GoToPage(PageSearch);

    ImGui::Dummy(ImVec2(0.0f, 16.0f));
    AccentRule();
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
    const float w = (ImGui::GetContentRegionAvail().x - 12.0f) * 0.5f;
    if (ImGui::Button("Profile", ImVec2(w, 38.0f)))
        GoToPage(PageProfile);
    ImGui::SameLine(0.0f, 12.0f);
    if (ImGui::Button("Settings", ImVec2(w, 38.0f)))
        GoToPage(PageSettings);
}
