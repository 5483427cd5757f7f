// The lobby's "Nameplate" section: how this player's name shows over their
// character on the partner's screen (the file itself is the client frame's).
#include "ui/pages/pages.h"

#include "backend/player_name.h"
#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "state/utf8_text.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <string>

namespace {

// Ctrl+click lets a player type any number: clamped, so the scripts never
// read a value outside the table.
void ClampedSlider(const char* label, const char* id, int32_t* value, int32_t lo, int32_t hi, const char* format)
{
    ImGui::TextUnformatted(label);
    KitSliderInt(id, value, lo, hi, format);
    *value = ImClamp(*value, lo, hi);
}

} // namespace

void DrawNameplateSection()
{
    // The style's wide frame padding would set the label far from its arrow.
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(8.0f, ImGui::GetStyle().FramePadding.y));
    const bool open = ImGui::CollapsingHeader("Nameplate");
    ImGui::PopStyleVar();
    if (!open)
        return;
    NameplateSettings& np = g_app.nameplate;
    const std::string name = PlayerName();
    char intro[256];
    Utf8Format(intro, sizeof(intro),
                   "Your name (%s) floats over your character so your partner can see who you are. These control "
                   "how it looks on their screen.",
                   name.c_str());
    TextWrappedColoured(ColMuted, intro);
    ImGui::Dummy(ImVec2(0.0f, 6.0f));

    static const char* const kShow[] = {"Off", "Name only", "Character only", "Name + Character"};
    ImGui::TextUnformatted("Show");
    ImGui::SetNextItemWidth(-FLT_MIN);
    ImGui::Combo("##np_disp", &np.display, kShow, IM_ARRAYSIZE(kShow));
    np.display = ImClamp(np.display, 0, 3);
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    ClampedSlider("Visible within", "##np_dist", &np.max_dist, 5, 100, "%d m");
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    ClampedSlider("Height above character", "##np_height", &np.height, 50, 300, "%d cm");
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    ClampedSlider("Text size", "##np_text", &np.text_scale, 50, 250, "%d%%");
    ImGui::Dummy(ImVec2(0.0f, 8.0f));
}
