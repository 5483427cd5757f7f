// Create a Room (page 2): the room form and its request. The form lives for
// the whole process and is never validated here: the service decides.
#include "ui/pages/pages.h"

#include "backend/rooms.h"
#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/ui_state.h"

#include <imgui.h>

void DrawCreateRoomPage()
{
    PageHeader("NEW ROOM", "Create a Room");
    const int32_t state = g_app.flags.room_state.load();
    UiState& ui = g_ui;

    FieldLabel("ROOM NAME");
    ImGui::SetNextItemWidth(-FLT_MIN);
    ImGui::InputText("##rn", ui.room_name, sizeof(ui.room_name));
    ImGui::Dummy(ImVec2(0.0f, 12.0f));

    const float col_w = (ImGui::GetContentRegionAvail().x - 12.0f) * 0.5f;
    ImGui::BeginGroup();
    FieldLabel("CHAPTER");
    ImGui::SetNextItemWidth(col_w);
    ImGui::InputTextWithHint("##chap", "e.g. 3", ui.room_chapter, sizeof(ui.room_chapter));
    ImGui::EndGroup();
    ImGui::SameLine(0.0f, 12.0f);
    ImGui::BeginGroup();
    FieldLabel("STAGE");
    ImGui::SetNextItemWidth(col_w);
    ImGui::InputTextWithHint("##stage", "e.g. 1-2", ui.room_stage, sizeof(ui.room_stage));
    ImGui::EndGroup();
    ImGui::Dummy(ImVec2(0.0f, 12.0f));

    FieldLabel("VISIBILITY");
    static const char* const kVisibility[2] = {"Public", "Private"};
    SegmentedPair(kVisibility);
    TextWrappedColoured(ColMuted, ui.segmented_choice == 1 ? "Private: only people you give the room code can join."
                                                           : "Public: anyone can find this room in Matchmaking.");
    ImGui::Dummy(ImVec2(0.0f, 12.0f));

    FieldLabel("CURRENT MOD");
    ImGui::Checkbox("Show the mod I'm playing", &ui.room_show_mod);
    if (ui.room_show_mod) {
        ImGui::Dummy(ImVec2(0.0f, 4.0f));
        ImGui::SetNextItemWidth(-FLT_MIN);
        ImGui::InputTextWithHint("##mod", "e.g. Driftwood Overhaul", ui.room_mod, sizeof(ui.room_mod));
    }
    ImGui::Dummy(ImVec2(0.0f, 16.0f));

    if (state == RoomFailed) {
        DrawRoomError();
        ImGui::Dummy(ImVec2(0.0f, 8.0f));
    }

    if (state == RoomBusy) {
        AccentButton("Creating room...", ImVec2(240.0f, 42.0f));
    } else if (AccentButton("Create Room", ImVec2(240.0f, 42.0f))) {
        StartRoomOp({.mode = RoomOpCreate,
                     .name = ui.room_name,
                     .visibility = ui.segmented_choice == 1 ? 1u : 0u,
                     .chapter_text = ui.room_chapter,
                     .stage_text = ui.room_stage,
                     .mod_text = ui.room_mod,
                     .show_mod = ui.room_show_mod});
        GoToPage(PageMatchmaking);
    }
    ImGui::SameLine();
    if (ImGui::Button("Cancel", ImVec2(130.0f, 42.0f)))
        GoToPage(PageHome);
}
