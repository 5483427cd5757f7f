#include "ui/overlay_frame.h"

#include "state/app_state.h"

#include <imgui.h>

namespace {

// Placeholder content: enough to see toggling, typing and clicking work.
struct PlaceholderState
{
    char note[64] = "";
    int pings = 0;
};
PlaceholderState g_placeholder;

void PlaceholderWindow()
{
    ImGuiIO& io = ImGui::GetIO();
    ImGui::SetNextWindowPos(ImVec2(io.DisplaySize.x * 0.5f, io.DisplaySize.y * 0.5f),
                            ImGuiCond_FirstUseEver, ImVec2(0.5f, 0.5f));
    ImGui::SetNextWindowSize(ImVec2(440.0f, 230.0f), ImGuiCond_FirstUseEver);
    bool open = true;
    if (ImGui::Begin("Kestrel Multiplayer", &open, ImGuiWindowFlags_NoCollapse)) {
        ImGui::TextUnformatted("Placeholder: the menu pages come with the overlay shell.");
        ImGui::Separator();
        ImGui::InputText("Note", g_placeholder.note, sizeof(g_placeholder.note));
        if (ImGui::Button("Ping"))
            g_placeholder.pings++;
        ImGui::SameLine();
        ImGui::Text("Pings: %d", g_placeholder.pings);
        ImGui::Text("Note: %s", g_placeholder.note);
    }
    ImGui::End();
    if (!open)
        g_app.overlay.overlay_open.store(false);
}

} // namespace

void OverlayFrame()
{
    // Gap: the per-frame steps of the client core (saved login, client check,
    // settings apply and upload, sign-in take-over, LinkStartStep, the role
    // file, the chat timer, PublishRenderStateForWorkers, requested sounds)
    // join here in their fixed order with the overlay shell; until then
    // kestrel-partner runs them in its own loop.
    const bool open = g_app.overlay.overlay_open.load();
    // The overlay draws its own cursor while open: the game may hide the system one.
    ImGui::GetIO().MouseDrawCursor = open;
    if (open)
        PlaceholderWindow();
}
