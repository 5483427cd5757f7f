// The overlay's CPU cost without a renderer: first-frame set-up (context,
// fonts, atlas, sounds) and one whole frame sequence with the menu closed and
// open on How to Use, and closed with every in-game indicator showing, with
// the heap allocations a frame makes; the lobby with a long chat in many
// scripts, and the cost of growing the atlas with CJK characters.
#include "state/app_state.h"
#include "state/toasts.h"
#include "ui/fonts.h"
#include "ui/frame_sequence.h"
#include "ui/ui_state.h"

#include <benchmark/benchmark.h>
#include <imgui.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cfloat>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <thread>
#include <vector>

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
    platform.fonts_rebuilt = [](void*) {
        unsigned char* pixels;
        int w, h;
        ImGui::GetIO().Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    };
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

void AtlasCounters(benchmark::State& state)
{
    const ImFontAtlas* atlas = ImGui::GetIO().Fonts;
    state.counters["atlas_w"] = atlas->TexWidth;
    state.counters["atlas_h"] = atlas->TexHeight;
    int glyphs = 0;
    for (const ImFont* f : atlas->Fonts)
        glyphs += f->Glyphs.Size;
    state.counters["glyphs"] = glyphs;
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

void BM_OverlayAtlasSize(benchmark::State& state)
{
    ResetFontGrowth();
    StartContext();
    for (auto _ : state)
        benchmark::DoNotOptimize(ImGui::GetIO().Fonts->TexHeight);
    AtlasCounters(state);
    ImGui::DestroyContext();
    ResetUiState();
}
BENCHMARK(BM_OverlayAtlasSize)->Iterations(1);

const char* const kChatNames[] = {"Zoë Łukasiewicz", "Дмитрий", "Νίκη", "Nguyễn Văn An", "佐藤花子", "김민준"};
const char* const kChatLines[] = {
    "Cześć! Gotowa na rozdział 3?",  "Привет, давай начнём с главы 2.", "Γεια σας! Έτοιμοι για το στάδιο 1-2;",
    "Chào bạn, mình sẵn sàng rồi.", "こんにちは、一緒に遊びましょう！",  "안녕하세요, 준비됐어요!",
};

void FillLobby(int lines)
{
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        g_app.room.room_code = "QX7K2P";
        g_app.room.room_role = 'A';
        g_app.room.room_partner = "佐藤花子";
    }
    g_app.room.partner_present = true;
    g_app.flags.room_state = RoomIn;
    std::lock_guard<std::mutex> hold(g_app.chat.lock);
    g_app.chat.chat_messages.clear();
    for (int i = 0; i < lines; i++) {
        ChatMessage m;
        m.id = i + 1;
        m.role = i % 2 ? "A" : "B";
        m.name = kChatNames[i % 6];
        m.body = kChatLines[i % 6];
        g_app.chat.chat_messages.push_back(m);
    }
}

void LeaveLobby()
{
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        g_app.room.room_code.clear();
        g_app.room.room_partner.clear();
        g_app.room.room_role = 0;
    }
    g_app.flags.room_state = RoomIdle;
    std::lock_guard<std::mutex> hold(g_app.chat.lock);
    g_app.chat.chat_messages.clear();
}

// The menu open on the lobby with 200 chat lines in six scripts, after the
// atlas grew with their CJK characters.
void BM_OverlayFrameLobbyChat(benchmark::State& state)
{
    ResetFontGrowth();
    StartContext();
    ResetUiState();
    FillLobby(200);
    g_app.shell.current_page = PageMatchmaking;
    g_app.overlay.overlay_open = true;
    g_app.overlay.virtual_cursor_placed = false;
    for (int i = 0; i < 120; i++)
        OneFrame();
    const long before = g_allocations.load();
    for (auto _ : state)
        OneFrame();
    state.counters["allocs_per_frame"] =
        benchmark::Counter((double)(g_allocations.load() - before) / (double)state.iterations());
    state.counters["atlas_builds"] = FontGrowthInfo().builds;
    AtlasCounters(state);
    g_app.overlay.overlay_open = false;
    LeaveLobby();
    ImGui::DestroyContext();
    ResetUiState();
}
BENCHMARK(BM_OverlayFrameLobbyChat)->Unit(benchmark::kMicrosecond);

// One growth: the frame that swaps in the atlas grown with the CJK characters
// of the chat (swap plus the upload a renderer makes, then the frame); the
// worker's time for the build beside it.
void BM_OverlayAtlasGrowth(benchmark::State& state)
{
    double rebuild_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ResetFontGrowth();
        StartContext();
        ResetUiState();
        FillLobby(200);
        g_app.shell.current_page = PageMatchmaking;
        g_app.overlay.overlay_open = true;
        g_app.overlay.virtual_cursor_placed = false;
        for (int i = 0; i < 30; i++)
            OneFrame(); // past the opening; the first frame noted the characters and grew
        // A new line of characters not seen yet: the next frame grows.
        {
            std::lock_guard<std::mutex> hold(g_app.chat.lock);
            ChatMessage m;
            m.id = 1000;
            m.role = "B";
            m.name = "김민준";
            m.body = "다음에 또 같이 해요. 红色的龙在天空飞翔";
            g_app.chat.chat_messages.push_back(m);
        }
        OneFrame(); // draws them as ? and notes them
        OneFrame(); // the build starts (the last one is long enough ago)
        while (!FontBuildReady())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int builds = FontGrowthInfo().builds;
        state.ResumeTiming();
        OneFrame();
        state.PauseTiming();
        if (FontGrowthInfo().builds == builds) // the interval had not passed yet: not a growth frame
            state.SkipWithError("no growth in the measured frame");
        rebuild_ms += FontGrowthInfo().last_build_ms;
        AtlasCounters(state);
        g_app.overlay.overlay_open = false;
        LeaveLobby();
        ImGui::DestroyContext();
        ResetUiState();
        state.ResumeTiming();
    }
    state.counters["rebuild_ms"] = rebuild_ms / (double)state.iterations();
}
BENCHMARK(BM_OverlayAtlasGrowth)->Unit(benchmark::kMillisecond)->Iterations(5);

// A partner chatting while the game runs at 60 Hz: four lines a second for 6
// s, on the lobby with the menu open. Arg 1: every line brings 8 ideographs
// the atlas lacks (it grows while the chat streams in); arg 0: lines the
// atlas has. Each frame's time includes the upload a renderer makes after a
// swap; the worst and the median frame are reported.
double ThreadCpuMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

void BM_OverlayFrameCjkChatStream(benchmark::State& state)
{
    const bool cjk = state.range(0) != 0;
    std::vector<double> frames, cpu;
    int builds = 0;
    for (auto _ : state) {
        ResetFontGrowth();
        StartContext();
        ResetUiState();
        FillLobby(20);
        g_app.shell.current_page = PageMatchmaking;
        g_app.overlay.overlay_open = true;
        g_app.overlay.virtual_cursor_placed = false;
        for (int i = 0; i < 120; i++) // past the opening and the first growth
            OneFrame();
        while (FontBuildInFlight())
            OneFrame();
        const int builds_before = FontGrowthInfo().builds;
        frames.clear();
        cpu.clear();
        auto next = std::chrono::steady_clock::now();
        for (int f = 0; f < 360; f++) {
            if (f % 15 == 0) {
                std::string body = "Line " + std::to_string(f / 15) + ": ";
                for (int j = 0; j < 8; j++) {
                    const unsigned cp = cjk ? 0x5000 + (unsigned)(f / 15) * 64 + (unsigned)j * 5 : 'a' + j;
                    if (cp < 0x80) {
                        body += (char)cp;
                    } else { // three bytes below U+10000
                        body += (char)(0xE0 | (cp >> 12));
                        body += (char)(0x80 | ((cp >> 6) & 0x3F));
                        body += (char)(0x80 | (cp & 0x3F));
                    }
                }
                std::lock_guard<std::mutex> hold(g_app.chat.lock);
                ChatMessage m;
                m.id = 1000 + f;
                m.role = "B";
                m.name = "佐藤花子";
                m.body = body;
                g_app.chat.chat_messages.push_back(m);
            }
            const auto t0 = std::chrono::steady_clock::now();
            const double c0 = ThreadCpuMs();
            OneFrame();
            cpu.push_back(ThreadCpuMs() - c0);
            frames.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            next += std::chrono::microseconds(16667);
            std::this_thread::sleep_until(next);
        }
        builds = FontGrowthInfo().builds - builds_before;
        g_app.overlay.overlay_open = false;
        LeaveLobby();
        ImGui::DestroyContext();
        ResetUiState();
    }
    std::sort(frames.begin(), frames.end());
    state.counters["worst_frame_ms"] = frames.back();
    state.counters["median_frame_ms"] = frames[frames.size() / 2];
    state.counters["atlas_swaps"] = builds;
    // The render thread's own CPU time: on a loaded machine the wall time
    // also holds the waits for a core.
    std::sort(cpu.begin(), cpu.end());
    state.counters["worst_frame_cpu_ms"] = cpu.back();
}
BENCHMARK(BM_OverlayFrameCjkChatStream)->Arg(0)->Arg(1)->ArgName("new_cjk")->Iterations(1)->Unit(benchmark::kMillisecond);

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
