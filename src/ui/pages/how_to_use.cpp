// How to Use (page 9): the road to a co-op session in five steps.
#include "ui/pages/pages.h"

#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawHowToUsePage()
{
    PageHeader("GET STARTED", "How to Use");
    TextColoured(ColMuted, "Co-op in 5 easy steps.");
    ImGui::Dummy(ImVec2(0.0f, 16.0f));
    StepRow(1, "Make a room", "Type the chapter and stage you're on.");
    StepRow(2, "Invite your partner", "Share your room code with a friend.");
    StepRow(3, "Both ready up", "Each of you taps Ready.");
    StepRow(4, "Load your game", "Stand in the exact same spot in the game.");
    StepRow(5, "Play together!", "That's it - have fun.");
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
    AccentRule();
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
    if (AccentButton("Make a Room", ImVec2(-1.0f, 44.0f)) && g_app.shell.current_page != PageCreate)
        NavigateTo(PageCreate);
}
