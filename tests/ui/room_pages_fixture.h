// The room pages (Home, Create, Find, Lobby) driven like a player, in a
// fresh game folder and on a window tall enough to show the whole lobby.
#pragma once

#include "ui_fixture.h"

#include "link/channel_files.h"
#include "service_process.h"
#include "state/app_state.h"
#include "ui/ui_state.h"

#include <filesystem>
#include <string>

constexpr uint32_t kVkEnter = 0x0D;

class RoomPagesUi : public OverlayUi
{
protected:
    std::string dir, old_dir;

    void SetUp() override
    {
        old_dir = std::filesystem::current_path().string();
        dir = MakeTempDir("kestrel-rooms-ui");
        std::filesystem::create_directories(dir + "/reframework/data");
        std::filesystem::current_path(dir);
        OverlayUi::SetUp();
        DriverSetDisplay(ImVec2(1280.0f, 1500.0f));
        g_ui.main_window_h = 1440.0f;
    }
    void TearDown() override
    {
        OverlayUi::TearDown();
        g_app.flags.link_running = false;
        {
            std::lock_guard<std::mutex> hold(g_app.link.lock);
            g_app.link.rtt_ms = -1.0;
            g_app.link.pings.clear();
        }
        g_app.nameplate = NameplateSettings{};
        std::filesystem::current_path(old_dir);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

public:
    static void ShowPage(int32_t page)
    {
        g_app.shell.current_page = page;
        OpenMenu();
    }
    // The item with this shown label inside (or outside) a window whose name
    // holds `window_part`.
    static const DriverItem* FindIn(const std::string& label, const std::string& window_part, bool inside = true)
    {
        for (const DriverItem& item : DriverItems())
            if (item.label.substr(0, item.label.find("##")) == label &&
                (item.window.find(window_part) != std::string::npos) == inside)
                return &item;
        return nullptr;
    }
    static std::string ReadText(const std::string& path)
    {
        std::string text;
        ReadWholeFile(path, text, 1 << 20);
        return text;
    }
    static std::string RoomError()
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        return g_app.room.room_error;
    }
};
