#include "overlay_driver.h"

#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/input_queue.h"
#include "ui/overlay_frame.h"
#include "ui/overlay_input.h"

#include <imgui_internal.h>

#include <cstdio>
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

void ImGuiTestEngineHook_Log(ImGuiContext*, const char*, ...) {}

const char* ImGuiTestEngine_FindItemDebugLabel(ImGuiContext*, ImGuiID id)
{
    for (const DriverItem& item : g_rec.last)
        if (item.id == id)
            return item.label.c_str();
    return nullptr;
}

void DriverStart()
{
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.DisplaySize = ImVec2(1280, 720);
    io.KeyMap[ImGuiKey_Tab] = 0x09;
    io.KeyMap[ImGuiKey_Backspace] = 0x08;
    io.KeyMap[ImGuiKey_Enter] = 0x0D;
    io.KeyMap[ImGuiKey_Escape] = 0x1B;
    io.KeyMap[ImGuiKey_End] = 0x23;
    AddOverlayFonts(*io.Fonts);
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
}

void DriverFrame(int count)
{
    for (int i = 0; i < count; i++) {
        ImGuiIO& io = ImGui::GetIO();
        io.DeltaTime = 1.0f / 60.0f;
        ApplyQueuedInput(io);
        io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX); // no system cursor: only the overlay's own
        UpdateVirtualCursor(false);
        g_rec.building.clear();
        g_rec.log = open_memstream(&g_rec.log_data, &g_rec.log_size);
        ImGui::NewFrame();
        OverlayFrame();
        ImGui::LogFinish();
        std::fclose(g_rec.log);
        g_rec.log = nullptr;
        g_rec.text.assign(g_rec.log_data, g_rec.log_size);
        std::free(g_rec.log_data);
        g_rec.log_data = nullptr;
        ImGui::Render();
        PublishOverlayWants();
        g_rec.last.swap(g_rec.building);
    }
}

const std::vector<DriverItem>& DriverItems()
{
    return g_rec.last;
}

const DriverItem* DriverFind(const std::string& label)
{
    for (const DriverItem& item : g_rec.last) {
        const std::string shown = item.label.substr(0, item.label.find("##"));
        if (shown == label)
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
    AddVirtualCursorMotion(target.x - g_app.overlay.virtual_cursor_x.load(),
                           target.y - g_app.overlay.virtual_cursor_y.load());
    DriverFrame(); // hover
    QueueMouseButtonEvent(0, true);
    QueueMouseButtonEvent(0, false);
    DriverFrame(2); // press, then release
    return true;
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
