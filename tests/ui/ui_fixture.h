// A fresh overlay for each UI test: the driver's context and every piece of
// process-wide client and UI state back at its start value.
#pragma once

#include "overlay_driver.h"

#include "platform/platform.h"
#include "state/app_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

constexpr uint32_t kVkEnd = 0x23;
constexpr uint32_t kVkF5 = 0x74;

class OverlayUi : public testing::Test
{
protected:
    void SetUp() override // no room saved by an earlier case (or run) is offered
    {
        DriverStart(), g_app.saved_room.loaded = true, g_app.saved_room.room = SavedRoom{};
    }
    void TearDown() override { DriverStop(); }

public:
    static bool Shows(const std::string& text) { return DriverText().find(text) != std::string::npos; }
    // Opens the menu and lets the opening animation finish.
    static void OpenMenu()
    {
        if (!g_app.overlay.overlay_open.load())
            DriverKey(kVkEnd);
        DriverFrame(60);
    }
    static void CloseMenu()
    {
        if (g_app.overlay.overlay_open.load())
            DriverKey(kVkEnd);
        DriverFrame(60);
    }
    // With the menu closed only the indicators draw: every vertex of the last
    // frame is in the Co-op button's window or the foreground list (hint,
    // connection bars, toasts).
    static bool OnlyIndicatorsDrawn()
    {
        const ImDrawData* data = ImGui::GetDrawData();
        if (!data)
            return false;
        for (int i = 0; i < data->CmdListsCount; i++) {
            const ImDrawList* list = data->CmdLists[i];
            const char* owner = list->_OwnerName ? list->_OwnerName : "";
            if (list->VtxBuffer.Size > 0 && strcmp(owner, "##mp_toggle") != 0 && strcmp(owner, "##Foreground") != 0)
                return false;
        }
        return true;
    }
    // What the frames asked the platform to play, by name.
    static std::vector<std::string> Sounds();
};
