// The overlay's CPU cost without a renderer: first-frame set-up (context,
// fonts, atlas, sounds) and one whole frame sequence with the menu closed and
// open on How to Use, and closed with every in-game indicator showing, with
// the heap allocations a frame makes.
#include "state/app_state.h"
#include "state/toasts.h"
#include "ui/fonts.h"
#include "ui/frame_sequence.h"
#include "ui/ui_state.h"

#include <benchmark/benchmark.h>
#include <imgui.h>

#include <atomic>
#include <cfloat>
#include <cstdlib>
#include <new>

// Every heap allocation of this program, Dear ImGui's included. (gcc cannot
// see that the replaced new and delete pair malloc and free.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<long> g_allocations{0};

void* operator new(size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}

namespace {

void* CountedAlloc(size_t size, void*)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size);
}
void CountedFree(void* p, void*)
{
    std::free(p);
}

void NewFrame(ImGuiIO& io, void*)
{
    io.DisplaySize = ImVec2(1920, 1080);
    io.DeltaTime = 1.0f / 60.0f;
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
}

void OneFrame()
{
    FramePlatform platform;
    platform.new_frame = NewFrame;
    RunOverlayFrameSequence(platform);
}

void StartContext()
{
    ImGui::SetAllocatorFunctions(CountedAlloc, CountedFree);
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    SetUpOverlay(io);
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
        ResetUiState();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OverlayFirstFrameSetUp)->Unit(benchmark::kMillisecond);

// Arg 0: menu closed; 1: open on How to Use.
void BM_OverlayFrame(benchmark::State& state)
{
    StartContext();
    ResetUiState();
    g_app.shell.current_page = PageHowTo;
    g_app.overlay.overlay_open = state.range(0) != 0;
    g_app.overlay.virtual_cursor_placed = false;
    for (int i = 0; i < 120; i++) // past the opening animation and the first writes
        OneFrame();
    const long before = g_allocations.load();
    for (auto _ : state)
        OneFrame();
    state.counters["allocs_per_frame"] =
        benchmark::Counter((double)(g_allocations.load() - before) / (double)state.iterations());
    g_app.overlay.overlay_open = false;
    ImGui::DestroyContext();
    ResetUiState();
}
BENCHMARK(BM_OverlayFrame)->Arg(0)->Arg(1)->ArgName("menu_open")->Unit(benchmark::kMicrosecond);

// Menu closed with everything over the game: six toasts, the open-menu hint
// and the connection bars of a running link.
void BM_OverlayFrameIndicators(benchmark::State& state)
{
    StartContext();
    ResetUiState();
    g_app.overlay.overlay_open = false;
    g_app.flags.link_running = true;
    {
        std::lock_guard<std::mutex> hold(g_app.link.lock);
        g_app.link.rtt_ms = 45.0;
    }
    for (int i = 0; i < 6; i++)
        PushToast("Partner Joined", "Vesper joined your room and is getting ready to play.", 1.0e9f);
    for (int i = 0; i < 120; i++) // past the toasts' slide-in
        OneFrame();
    const long before = g_allocations.load();
    for (auto _ : state) {
        g_ui.hint_timer = 1.0f; // keep the hint fully shown
        OneFrame();
    }
    state.counters["allocs_per_frame"] =
        benchmark::Counter((double)(g_allocations.load() - before) / (double)state.iterations());
    g_app.flags.link_running = false;
    TakeToasts();
    ImGui::DestroyContext();
    ResetUiState();
}
BENCHMARK(BM_OverlayFrameIndicators)->Unit(benchmark::kMicrosecond);

} // namespace
