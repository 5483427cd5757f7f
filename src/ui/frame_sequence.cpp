#include "ui/frame_sequence.h"

#include "backend/click_sounds.h"
#include "platform/platform.h"
#include "ui/fonts.h"
#include "ui/input_queue.h"
#include "ui/overlay_frame.h"
#include "ui/overlay_input.h"

#include <imgui.h>
#include <imgui_internal.h>

// Dear ImGui's own recovery, and the font stack it does not cover.
void RecoverOverlayFrame()
{
    ImGui::ErrorCheckEndFrameRecover(nullptr);
    ImGuiContext& g = *GImGui;
    while (g.FontStack.Size > 0)
        ImGui::PopFont();
}

bool SetUpOverlay(ImGuiIO& io)
{
    static const struct { ImGuiKey_ key; int vk; } kKeys[] = {
        {ImGuiKey_Tab, 0x09},      {ImGuiKey_LeftArrow, 0x25}, {ImGuiKey_RightArrow, 0x27},
        {ImGuiKey_UpArrow, 0x26},  {ImGuiKey_DownArrow, 0x28}, {ImGuiKey_PageUp, 0x21},
        {ImGuiKey_PageDown, 0x22}, {ImGuiKey_Home, 0x24},      {ImGuiKey_End, 0x23},
        {ImGuiKey_Insert, 0x2D},   {ImGuiKey_Delete, 0x2E},    {ImGuiKey_Backspace, 0x08},
        {ImGuiKey_Space, 0x20},    {ImGuiKey_Enter, 0x0D},     {ImGuiKey_Escape, 0x1B},
        {ImGuiKey_KeyPadEnter, 0x0D}, {ImGuiKey_A, 'A'},       {ImGuiKey_C, 'C'},
        {ImGuiKey_V, 'V'},         {ImGuiKey_X, 'X'},          {ImGuiKey_Y, 'Y'},
        {ImGuiKey_Z, 'Z'},
    };
    for (const auto& k : kKeys)
        io.KeyMap[k.key] = k.vk;
    if (io.Fonts->Fonts.empty() && !AddOverlayFonts(*io.Fonts))
        return false;
    // Before the first frame, so the first click is heard with default settings.
    BuildClickSounds();
    return true;
}

bool RunOverlayFrameSequence(const FramePlatform& platform)
{
    ImGuiIO& io = ImGui::GetIO();
    // Never inside a frame: the atlas is only swapped while nothing draws from it.
    if (GrowFontAtlasIfDue(io, ImGui::GetTime()) && platform.fonts_rebuilt)
        platform.fonts_rebuilt(platform.user);
    ApplyQueuedInput(io);
    if (platform.new_frame)
        platform.new_frame(io, platform.user);
    const bool owns_cursor = UpdateVirtualCursor(platform.host_menu_shown);
    ImGui::NewFrame();
    try {
        OverlayFrame(platform.host_menu_shown);
        NoteActiveInputGlyphs();
    } catch (...) {
        RecoverOverlayFrame();
        DebugOutput("Overlay frame failed\n");
    }
    ImGui::EndFrame();
    ImGui::Render();
    PublishOverlayWants();
    return owns_cursor;
}
