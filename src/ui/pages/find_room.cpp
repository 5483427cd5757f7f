// Find a Room (page 3): the public room list and joining by code.
#include "ui/pages/pages.h"

#include "backend/room_list.h"
#include "backend/rooms.h"
#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/ui_state.h"
#include "state/utf8_text.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <string>
#include <vector>

namespace {

void JoinRoom(const std::string& code)
{
    StartRoomOp({.mode = RoomOpJoin, .code = code});
    GoToPage(PageMatchmaking);
}

void RoomRows(int32_t state)
{
    const int32_t status = g_app.room_list.status.load();
    std::vector<RoomListEntry> rooms;
    {
        std::lock_guard<std::mutex> hold(g_app.room_list.lock);
        rooms = g_app.room_list.rooms;
    }
    ImGui::BeginChild("allroomslist", ImVec2(0.0f, 168.0f), true);
    for (size_t i = 0; i < rooms.size(); i++) {
        const RoomListEntry& r = rooms[i];
        ImGui::PushID((int)i);
        TextColoured(ColText, r.name.empty() ? r.code.c_str() : r.name.c_str());
        char line[256];
        Utf8Format(line, sizeof(line), "Host: %s   %d/%d   Code: %s", r.host.empty() ? "-" : r.host.c_str(),
                       r.players, r.max, r.code.c_str());
        TextColoured(ColMuted, line);
        if (state != RoomBusy) {
            ImGui::SameLine();
            if (ImGui::SmallButton("Join"))
                JoinRoom(r.code);
        }
        ImGui::Separator();
        ImGui::PopID();
    }
    if (rooms.empty())
        TextColoured(ColMuted, status == RoomListFailed     ? "Couldn't reach the server. Tap Refresh."
                               : status == RoomListFetching ? "Loading rooms..."
                                                            : "No open rooms right now. Tap Refresh.");
    ImGui::EndChild();
}

} // namespace

void DrawFindRoomPage()
{
    PageHeader("SEARCH", "Find a Room");
    const int32_t state = g_app.flags.room_state.load();
    if (state == RoomIn) {
        TextWrappedColoured(ColMuted, "You're already in a room. Open the Matchmaking tab to see the lobby.");
        ImGui::Dummy(ImVec2(0.0f, 14.0f));
        if (AccentButton("Go to Lobby", ImVec2(-1.0f, 44.0f)))
            GoToPage(PageMatchmaking);
        return;
    }

    if (g_app.room_list.status.load() == RoomListNever)
        RefreshRoomList(); // the first visit fetches by itself
    FieldLabel("ALL ROOMS");
    ImGui::SameLine();
    const bool fetching = g_app.room_list.status.load() == RoomListFetching;
    if (ImGui::SmallButton(fetching ? "Refreshing..." : "Refresh") && !fetching)
        RefreshRoomList();
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
    RoomRows(state);

    ImGui::Dummy(ImVec2(0.0f, 18.0f));
    AccentRule();
    ImGui::Dummy(ImVec2(0.0f, 18.0f));

    FieldLabel("JOIN BY CODE");
    TextWrappedColoured(ColMuted, "Got a room code from a friend? Enter it to join their room.");
    ImGui::Dummy(ImVec2(0.0f, 8.0f));
    UiState& ui = g_ui;
    ImGui::SetNextItemWidth(180.0f);
    ImGui::InputTextWithHint("##joincode", "ABCDE", ui.join_code, sizeof(ui.join_code),
                             ImGuiInputTextFlags_CharsUppercase);
    ImGui::SameLine();
    const bool inert = ui.join_code[0] == 0 || state == RoomBusy;
    if (inert)
        ImGui::PushStyleColor(ImGuiCol_Text, ColMuted);
    const bool clicked = ImGui::Button("Join", ImVec2(110.0f, 30.0f));
    if (inert)
        ImGui::PopStyleColor();
    if (clicked && !inert)
        JoinRoom(ui.join_code);

    if (state == RoomFailed) {
        ImGui::Dummy(ImVec2(0.0f, 10.0f));
        DrawRoomError();
    }
}
