// Settings (page 8): the settings record's controls and the menu key binding.
//
// Index of this file:
// [SECTION] Key names
// [SECTION] Key capture
// [SECTION] Page
#include "ui/pages/pages.h"

#include "backend/click_sounds.h"
#include "backend/settings.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/ui_state.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <cstdio>

//-----------------------------------------------------------------------------
// [SECTION] Key names
//-----------------------------------------------------------------------------

std::string KeyNameFor(int32_t vk)
{
    static const struct { int32_t vk; const char* name; } kNames[] = {
        {0x08, "BACKSPACE"}, {0x09, "TAB"},     {0x0D, "ENTER"},     {0x10, "SHIFT"},  {0x11, "CTRL"},
        {0x12, "ALT"},       {0x14, "CAPS LOCK"}, {0x1B, "ESC"},     {0x20, "SPACE"},  {0x21, "PAGE UP"},
        {0x22, "PAGE DOWN"}, {0x23, "END"},     {0x24, "HOME"},      {0x25, "LEFT"},   {0x26, "UP"},
        {0x27, "RIGHT"},     {0x28, "DOWN"},    {0x2D, "INSERT"},    {0x2E, "DELETE"}, {0xBA, ";"},
        {0xBB, "="},         {0xBC, ","},       {0xBD, "-"},         {0xBE, "."},      {0xBF, "/"},
        {0xC0, "`"},         {0xDB, "["},       {0xDC, "\\"},        {0xDD, "]"},      {0xDE, "'"},
    };
    for (const auto& k : kNames)
        if (k.vk == vk)
            return k.name;
    // Short enough for the string's own buffer: the hint asks every frame.
    char name[16];
    if (vk >= 0x70 && vk <= 0x7B)
        snprintf(name, sizeof(name), "F%d", (int)(vk - 0x6F));
    else if ((vk >= 0x30 && vk <= 0x39) || (vk >= 0x41 && vk <= 0x5A))
        snprintf(name, sizeof(name), "%c", (char)vk);
    else
        snprintf(name, sizeof(name), "KEY 0x%02X", (unsigned)vk & 0xFFu);
    return name;
}

std::string KeyName()
{
    return KeyNameFor(g_app.settings.toggle_vk);
}

//-----------------------------------------------------------------------------
// [SECTION] Key capture
//-----------------------------------------------------------------------------

namespace {

constexpr int32_t kVkEscape = 0x1B;

// First thing in each frame of the page. The key that ends a capture (the new
// one, or Esc) keeps the capture on until it is released: its key-down may
// reach the window thread only after this frame, and must not toggle the menu.
void KeyCaptureStep()
{
    if (!g_app.overlay.capturing_key.load() || g_ui.capture_release_vk != 0)
        return;
    if (AsyncKeyDown(kVkEscape)) {
        g_ui.capture_release_vk = kVkEscape;
        return;
    }
    // Lowest code first: a held Shift binds 0x10, never a mouse button (< 8).
    // Only a key the window saw go down counts (Print Screen arrives as a
    // key-up alone, and could never open the menu), and not one already held
    // when the capture began (W while walking) until it has been let go.
    const ImGuiIO& io = ImGui::GetIO();
    for (int32_t vk = 8; vk <= 254; vk++) {
        const bool down = AsyncKeyDown(vk);
        if (g_ui.capture_held_at_start[vk]) {
            if (!down && !io.KeysDown[vk])
                g_ui.capture_held_at_start[vk] = false;
            continue;
        }
        if (down && io.KeysDown[vk]) {
            g_app.settings.toggle_vk = vk;
            g_ui.capture_release_vk = vk;
            return;
        }
    }
}

void StartKeyCapture()
{
    g_ui.capture_release_vk = 0;
    for (int32_t vk = 0; vk < 256; vk++)
        g_ui.capture_held_at_start[vk] = AsyncKeyDown(vk);
    g_app.overlay.capturing_key.store(true);
}

} // namespace

void EndKeyCaptureStep()
{
    if (!g_app.overlay.capturing_key.load())
        return;
    // A capture left running behind a closed menu would keep the menu key dead.
    const bool shown =
        g_ui.settings_drawn_frame == ImGui::GetFrameCount() && g_app.overlay.overlay_open.load();
    const int32_t held = g_ui.capture_release_vk;
    if (!shown || (held != 0 && !AsyncKeyDown(held))) {
        g_app.overlay.capturing_key.store(false);
        g_ui.capture_release_vk = 0;
    }
}

//-----------------------------------------------------------------------------
// [SECTION] Page
//-----------------------------------------------------------------------------

namespace {

void SectionTitle(const char* title)
{
    TextColoured(ColMuted, title);
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
}

void SectionEnd()
{
    ImGui::Dummy(ImVec2(0.0f, 16.0f));
    ImGui::Separator();
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
}

// A full-width whole-percent slider over a fraction. Typed values (Ctrl+click)
// are clamped too, so no out-of-range scale reaches the drawing or the server.
// True on the frame the value changed.
bool PercentSlider(const char* id, float& fraction, int lo, int hi)
{
    int pct = (int)((double)fraction * 100.0 + 0.5);
    if (!KitSliderInt(id, &pct, lo, hi, "%d%%"))
        return false;
    fraction = (float)ImClamp(pct, lo, hi) / 100.0f;
    return true;
}

// A "Transparency" slider over an opacity fraction: 0 % is fully opaque, so
// the control says what it does. The setting keeps its opacity meaning.
bool TransparencySlider(const char* id, float& opacity, int lo_opacity, int hi_opacity)
{
    int pct = 100 - (int)((double)opacity * 100.0 + 0.5);
    if (!KitSliderInt(id, &pct, 100 - hi_opacity, 100 - lo_opacity, "%d%%"))
        return false;
    opacity = (float)(100 - ImClamp(pct, 100 - hi_opacity, 100 - lo_opacity)) / 100.0f;
    return true;
}

void ControlsSection()
{
    SectionTitle("CONTROLS");
    ImGui::TextUnformatted("Open / close menu");
    ImGui::SameLine();
    char line[48];
    ImFormatString(line, sizeof(line), "(currently %s)", KeyName().c_str());
    TextColoured(ColMuted, line);
    const bool listening = g_app.overlay.capturing_key.load() && g_ui.capture_release_vk == 0;
    if (listening) {
        if (AccentButton("Press any key...  (Esc cancels)", ImVec2(-FLT_MIN, 40.0f)))
            g_app.overlay.capturing_key.store(false);
    } else {
        if (ImGui::Button("Change key", ImVec2(ImGui::GetContentRegionAvail().x - 150.0f, 40.0f)))
            StartKeyCapture();
        // A way back whatever the bound key does (or fails to do).
        ImGui::SameLine();
        if (ImGui::Button("Reset to End", ImVec2(-FLT_MIN, 40.0f)))
            g_app.settings.toggle_vk = SettingsRecord{}.toggle_vk;
    }
    SectionEnd();
}

void NotificationsSection(SettingsRecord& s)
{
    SectionTitle("NOTIFICATIONS");
    ImGui::Checkbox("Show the \"open menu\" hint when the menu is closed", &s.hint);
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
    ImGui::Checkbox("Pop up a notification for new messages", &s.notif_en);
    if (s.notif_en) {
        ImGui::Dummy(ImVec2(0.0f, 4.0f));
        ImGui::TextUnformatted("Style");
        ImGui::SetNextItemWidth(-FLT_MIN);
        ImGui::Combo("##notifstyle", &s.notif_style, "Accent\0Minimal\0Bold\0");
        KitReportLabel(GImGui->LastItemData.ID, "##notifstyle"); // Dear ImGui's combo names no item
        ImGui::Dummy(ImVec2(0.0f, 4.0f));
        ImGui::TextUnformatted("Size");
        PercentSlider("##notifsize", s.notif_scale_pct, 75, 140);
        ImGui::Dummy(ImVec2(0.0f, 4.0f));
        ImGui::TextUnformatted("Transparency");
        TransparencySlider("##notifalpha", s.notif_alpha_pct, 30, 100);
        ImGui::Dummy(ImVec2(0.0f, 6.0f));
        if (ImGui::Button("Preview notification", ImVec2(-FLT_MIN, 32.0f)))
            PushToast("Preview", "This is how your message notifications will look.", 4.8f);
    }
    SectionEnd();
}

void SoundSection(SettingsRecord& s)
{
    SectionTitle("SOUND");
    ImGui::Checkbox("Click sound effects", &s.snd_en);
    ImGui::SameLine();
    if (ImGui::SmallButton("Test"))
        PlayClickSound(SoundConfirm);
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
    ImGui::TextUnformatted("Volume");
    if (PercentSlider("##sfxvol", s.snd_vol_pct, 0, 100)) {
        // Asynchronous playback reads the buffer about to be replaced.
        PlayWavImage(nullptr);
        BuildClickSounds();
    }
}

// The first look only remembers the text, so opening the page uploads nothing;
// a guest's changes stay in memory.
void DetectChange()
{
    std::string text = BuildSettingsJson();
    if (g_ui.settings_seen.empty()) {
        g_ui.settings_seen.swap(text);
        return;
    }
    if (text == g_ui.settings_seen)
        return;
    g_ui.settings_seen.swap(text);
    if (!g_app.account.is_guest)
        MarkSettingsChanged(SteadyNowNs());
}

} // namespace

void DrawSettingsPage()
{
    g_ui.settings_drawn_frame = ImGui::GetFrameCount();
    KeyCaptureStep();
    SettingsRecord& s = g_app.settings;

    PageHeader("CONFIGURE", "Settings");

    SectionTitle("CO-OP BUTTON (top-right)");
    ImGui::TextUnformatted("Transparency");
    TransparencySlider("##btnalpha", s.btn_alpha_pct, 0, 100);
    TextColoured(ColDim, "At 100% the button is hidden until you point at it.");
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
    ImGui::TextUnformatted("Size");
    PercentSlider("##btnscale", s.btn_scale_pct, 60, 150);
    SectionEnd();

    ControlsSection();
    NotificationsSection(s);

    SectionTitle("IN-GAME");
    ImGui::Checkbox("Show the connection bars while playing", &s.conn);
    TextWrappedColoured(ColDim, "A small signal readout in the top-left. It brightens if your connection gets weak.");
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
    ImGui::Checkbox("Only play over an encrypted link", &s.sealed_only);
    TextWrappedColoured(ColDim, "Your game's data is always encrypted between two players of this version. On, "
                                "a partner whose Kestrel is older cannot connect to you.");
    SectionEnd();

    SoundSection(s);
    DetectChange();
}
