// The overlay's CPU cost without a renderer: first-frame set-up (context,
// fonts, atlas) and one overlay frame with the menu closed and open.
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/input_queue.h"
#include "ui/overlay_frame.h"
#include "ui/overlay_input.h"

#include <benchmark/benchmark.h>
#include <imgui.h>

namespace {

void OneFrame()
{
    ImGuiIO& io = ImGui::GetIO();
    io.DeltaTime = 1.0f / 60.0f;
    ApplyQueuedInput(io);
    UpdateVirtualCursor(false);
    ImGui::NewFrame();
    OverlayFrame();
    ImGui::EndFrame();
    ImGui::Render();
    PublishOverlayWants();
}

void StartContext()
{
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.DisplaySize = ImVec2(1920, 1080);
    AddOverlayFonts(*io.Fonts);
    unsigned char* pixels;
    int w, h;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h); // what a renderer uploads
}

void BM_OverlayFirstFrameSetUp(benchmark::State& state)
{
    for (auto _ : state) {
        StartContext();
        OneFrame();
        state.PauseTiming();
        ImGui::DestroyContext();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OverlayFirstFrameSetUp)->Unit(benchmark::kMillisecond);

void BM_OverlayFrame(benchmark::State& state)
{
    StartContext();
    g_app.overlay.overlay_open = state.range(0) != 0;
    g_app.overlay.virtual_cursor_placed = false;
    for (int i = 0; i < 10; i++)
        OneFrame();
    for (auto _ : state)
        OneFrame();
    g_app.overlay.overlay_open = false;
    ImGui::DestroyContext();
}
BENCHMARK(BM_OverlayFrame)->Arg(0)->Arg(1)->ArgName("menu_open")->Unit(benchmark::kMicrosecond);

} // namespace
