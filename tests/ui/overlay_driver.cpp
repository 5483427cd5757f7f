#include "overlay_driver.h"

#include "../unit/app_reset.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/frame_sequence.h"
#include "ui/input_queue.h"
#include "ui/overlay_input.h"
#include "ui/ui_state.h"

#include <imgui_internal.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>
#include <cstdlib>

namespace {

struct Recorder
{
    std::vector<DriverItem> building; // this frame
    std::vector<DriverItem> last;     // the last finished frame
    std::string text;
    FILE* log = nullptr; // the frame's logged text (Dear ImGui writes it like a terminal)
    char* log_data = nullptr;
    size_t log_size = 0;
};
Recorder g_rec;
ImVec2 g_display(1280.0f, 720.0f);
float g_frame_time = 1.0f / 60.0f;
// The system cursor, used while the menu is closed (the Co-op button); off-screen until a click needs it.
ImVec2 g_system_mouse(-FLT_MAX, -FLT_MAX);

} // namespace

// The hooks Dear ImGui calls when built with IMGUI_ENABLE_TEST_ENGINE.
void ImGuiTestEngineHook_ItemAdd(ImGuiContext* ctx, const ImRect& bb, ImGuiID id)
{
    DriverItem item;
    item.id = id;
    item.rect = bb;
    if (ctx->CurrentWindow)
        item.window = ctx->CurrentWindow->Name;
    g_rec.building.push_back(item);
    // Dear ImGui stops logging at the end of every window, so logging starts
    // again with the first item of each window.
    if (g_rec.log && !ctx->LogEnabled && ctx->CurrentWindow && !ctx->CurrentWindow->IsFallbackWindow &&
        !(ctx->CurrentWindow->Flags & ImGuiWindowFlags_ChildWindow)) {
        ImGui::LogBegin(ImGuiLogType_TTY, -1);
        ctx->LogFile = g_rec.log;
    }
}

void ImGuiTestEngineHook_ItemInfo(ImGuiContext*, ImGuiID id, const char* label, ImGuiItemStatusFlags)
{
    for (auto it = g_rec.building.rbegin(); it != g_rec.building.rend(); ++it)
        if (it->id == id) {
            it->label = label ? label : "";
            return;
        }
}

// Kit widgets that lay out their own label report its box.
void KitTestHookLabelBox(ImGuiID id, const ImVec2&, const ImVec2&, const ImVec2& label_min, const ImVec2& label_max)
{
    for (auto it = g_rec.building.rbegin(); it != g_rec.building.rend(); ++it)
        if (it->id == id) {
            it->has_label_rect = true;
            it->label_rect = ImRect(label_min, label_max);
            return;
        }
}

// Draw-list text drawn outside any window (the kit reports it this way).
void ImGuiTestEngineHook_Log(ImGuiContext*, const char* fmt, ...)
{
    if (!g_rec.log)
        return;
    va_list args;
    va_start(args, fmt);
    vfprintf(g_rec.log, fmt, args);
    va_end(args);
    fputc('\n', g_rec.log);
}

const char* ImGuiTestEngine_FindItemDebugLabel(ImGuiContext*, ImGuiID id)
{
    for (const DriverItem& item : g_rec.last)
        if (item.id == id)
            return item.label.c_str();
    return nullptr;
}

void DriverResetState()
{
    ResetAccountAreas();
    ResetRoomAreas();
    ResetSocialAreas();
    // Most tests have no service: no client check worker outliving the test.
    // Tests of the check itself clear this.
    g_app.flags.client_check_started = true;
    ResetUiState();
    ResetInputQueue();
    ResetOverlayFlags();
    TakeRecordedSounds();
    TakeOpenedPages();
    ClearAsyncKeys();
    g_app.flags.link_running = false;
    {
        std::lock_guard<std::mutex> hold(g_app.link.lock);
        g_app.link.rtt_ms = -1.0;
        g_app.link.pings.clear();
    }
    g_system_mouse = ImVec2(-FLT_MAX, -FLT_MAX);
}

void DriverStart(ImVec2 display)
{
    DriverResetState();
    ResetFontGrowth();
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    g_display = display;
    g_frame_time = 1.0f / 60.0f;
    SetUpOverlay(io);
    TakeRecordedSounds();
    unsigned char* pixels;
    int w, h;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    ImGui::GetCurrentContext()->TestEngineHookItems = true;
    g_rec = Recorder();
}

void DriverStop()
{
    ImGui::DestroyContext();
    FontUi = FontDisplay = FontSmall = nullptr;
    DriverResetState();
}

void DriverSetDisplay(ImVec2 display)
{
    g_display = display;
}

void DriverSetFrameTime(float seconds)
{
    g_frame_time = seconds;
}

void DriverFrame(int count)
{
    FramePlatform platform;
    platform.new_frame = [](ImGuiIO& io, void*) {
        io.DisplaySize = g_display;
        io.DeltaTime = g_frame_time;
        io.MousePos = g_system_mouse; // the overlay's own cursor replaces it while open
        io.KeyCtrl = io.KeysDown[0x11]; // as the host's platform frame does
    };
    platform.fonts_rebuilt = [](void*) { // what a renderer uploads
        unsigned char* pixels;
        int w, h;
        ImGui::GetIO().Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    };
    for (int i = 0; i < count; i++) {
        g_rec.building.clear();
        g_rec.log = open_memstream(&g_rec.log_data, &g_rec.log_size);
        RunOverlayFrameSequence(platform);
        ImGui::LogFinish();
        std::fclose(g_rec.log);
        g_rec.log = nullptr;
        g_rec.text.assign(g_rec.log_data, g_rec.log_size);
        std::free(g_rec.log_data);
        g_rec.log_data = nullptr;
        g_rec.last.swap(g_rec.building);
    }
}

bool DriverFramesUntil(const std::function<bool()>& done, int max_frames)
{
    for (int i = 0; i < max_frames; i++) {
        DriverFrame();
        if (done())
            return true;
    }
    return false;
}

bool DriverRunUntil(const std::function<bool()>& done, double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        DriverFrame();
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

const std::vector<DriverItem>& DriverItems()
{
    return g_rec.last;
}

const DriverItem* DriverFind(const std::string& label)
{
    // By the shown label, or by the whole label for items that show none ("##profilebtn").
    for (const DriverItem& item : g_rec.last) {
        const std::string shown = item.label.substr(0, item.label.find("##"));
        if (shown == label || (shown.empty() && item.label == label))
            return &item;
    }
    return nullptr;
}

const DriverItem* DriverFindCloseBox(const std::string& window_name)
{
    const ImGuiWindow* window = ImGui::FindWindowByName(window_name.c_str());
    if (!window)
        return nullptr;
    const ImGuiID id = ImHashStr("#CLOSE", 0, window->ID); // as Begin() names its close box
    for (const DriverItem& item : g_rec.last)
        if (item.id == id)
            return &item;
    return nullptr;
}

bool DriverClickAt(const ImVec2& target)
{
    if (!g_app.overlay.overlay_open.load())
        g_system_mouse = target;
    AddVirtualCursorMotion(target.x - g_app.overlay.virtual_cursor_x.load(),
                           target.y - g_app.overlay.virtual_cursor_y.load());
    DriverFrame(); // hover
    QueueMouseButtonEvent(0, true);
    QueueMouseButtonEvent(0, false);
    DriverFrame(2); // press, then release
    return true;
}

void DriverWheelAt(const ImVec2& target, float steps)
{
    AddVirtualCursorMotion(target.x - g_app.overlay.virtual_cursor_x.load(),
                           target.y - g_app.overlay.virtual_cursor_y.load());
    DriverFrame(); // hover
    QueueWheel(steps, 0.0f);
    DriverFrame(2);
}

const std::string& DriverText()
{
    return g_rec.text;
}

bool DriverClick(const std::string& label)
{
    const DriverItem* item = DriverFind(label);
    if (!item)
        return false;
    return DriverClickAt(item->rect.GetCenter());
}

void DriverKey(uint32_t vk)
{
    QueueKeyEvent(vk, true);
    ToggleOverlayOnKey(vk, false);
    QueueKeyEvent(vk, false);
}

void DriverType(const std::string& text)
{
    for (unsigned char c : text)
        QueueCharEvent(c);
}
