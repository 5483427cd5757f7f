// One overlay frame from input to draw data, the same for the plugin, the
// desktop harness, the UI test driver and the benchmarks:
//   font atlas growth, queued input, platform step, virtual cursor, new frame, overlay frame,
//   end of frame and render, published wishes.
// The caller renders ImGui::GetDrawData() afterwards.
#pragma once

struct ImGuiIO;

struct FramePlatform
{
    // After the queued input is applied: display size, delta time, the system
    // mouse position and modifiers, as the platform knows them.
    void (*new_frame)(ImGuiIO& io, void* user) = nullptr;
    void* user = nullptr;
    // The font atlas was rebuilt between frames (characters added): the
    // renderer re-creates its font texture before it draws again.
    void (*fonts_rebuilt)(void* user) = nullptr;
    bool host_menu_shown = false; // the host's own menu is up: it keeps the cursor
};

// Once per context: the key map (Windows virtual-key codes, as the input
// queue carries them), the overlay's fonts and the click sounds. False when
// the font atlas could not be built.
bool SetUpOverlay(ImGuiIO& io);

// Returns true when the overlay owns the cursor this frame (open, host menu
// not shown). An exception from the overlay frame is caught and Dear ImGui is
// left balanced, so the next frame starts clean.
bool RunOverlayFrameSequence(const FramePlatform& platform);

// After an exception inside the frame: closes what it left open (windows,
// children, pushed colours, variables, IDs, groups, fonts) so that ending the
// frame and the next frame work.
void RecoverOverlayFrame();
