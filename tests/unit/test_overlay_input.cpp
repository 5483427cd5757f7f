// The toggle key and the overlay's own cursor.
#include "overlay_fixture.h"
#include "ui/overlay_input.h"

#include <cfloat>
#include <cmath>

namespace {

using OverlayToggle = OverlayTest;
using VirtualCursor = OverlayTest;

constexpr uint32_t kVkEnd = 0x23;

bool IsOpen()
{
    return g_app.overlay.overlay_open.load();
}

TEST_F(OverlayToggle, TheToggleKeyOpensAndClosesAndAutoRepeatIsIgnored)
{
    EXPECT_TRUE(ToggleOverlayOnKey(kVkEnd, false));
    EXPECT_TRUE(IsOpen());
    // Holding the key: the repeats change nothing.
    for (int i = 0; i < 5; i++)
        EXPECT_FALSE(ToggleOverlayOnKey(kVkEnd, true));
    EXPECT_TRUE(IsOpen());
    EXPECT_TRUE(ToggleOverlayOnKey(kVkEnd, false));
    EXPECT_FALSE(IsOpen());
    EXPECT_FALSE(ToggleOverlayOnKey('A', false));
    EXPECT_FALSE(IsOpen());
}

TEST_F(OverlayToggle, AnotherConfiguredKeyTogglesAndEndNoLonger)
{
    g_app.overlay.toggle_vk = 0x79; // F10
    EXPECT_FALSE(ToggleOverlayOnKey(kVkEnd, false));
    EXPECT_TRUE(ToggleOverlayOnKey(0x79, false));
    EXPECT_TRUE(IsOpen());
}

TEST_F(OverlayToggle, NothingWhileATextFieldHasTheKeyboardOrAKeyIsBeingCaptured)
{
    g_app.overlay.overlay_open = true;
    g_app.overlay.want_text_input = true;
    EXPECT_FALSE(ToggleOverlayOnKey(kVkEnd, false));
    EXPECT_TRUE(IsOpen());
    g_app.overlay.want_text_input = false;
    g_app.overlay.capturing_key = true;
    EXPECT_FALSE(ToggleOverlayOnKey(kVkEnd, false));
    EXPECT_TRUE(IsOpen());
    g_app.overlay.capturing_key = false;
    EXPECT_TRUE(ToggleOverlayOnKey(kVkEnd, false));
    EXPECT_FALSE(IsOpen());
}

TEST_F(OverlayToggle, PublishedWishesComeFromTheLastFrame)
{
    ImGuiIO& io = ImGui::GetIO();
    io.Fonts->Build();
    g_app.overlay.overlay_open = true;
    ImGui::NewFrame();
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(400, 300));
    ImGui::Begin("w");
    ImGui::End();
    io.MousePos = ImVec2(100, 100);
    ImGui::EndFrame();
    ImGui::NewFrame(); // hover is decided here
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(400, 300));
    ImGui::Begin("w");
    ImGui::End();
    ImGui::Render();
    PublishOverlayWants();
    EXPECT_TRUE(OverlayWantsMouse());
    EXPECT_TRUE(OverlayWantsInput());
    EXPECT_FALSE(OverlayWantsKeyboard());

    io.MousePos = ImVec2(900, 600); // off the window
    ImGui::NewFrame();
    ImGui::Render();
    PublishOverlayWants();
    EXPECT_FALSE(OverlayWantsInput());
}

TEST_F(VirtualCursor, ClosedItFollowsTheMouse)
{
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(12.0f, 34.0f);
    EXPECT_FALSE(UpdateVirtualCursor(false));
    EXPECT_EQ(g_app.overlay.virtual_cursor_x.load(), 12.0f);
    EXPECT_EQ(g_app.overlay.virtual_cursor_y.load(), 34.0f);
    EXPECT_FALSE(g_app.overlay.virtual_cursor_placed.load());
    EXPECT_EQ(io.MousePos.x, 12.0f) << "the mouse is left alone";
}

TEST_F(VirtualCursor, OpeningCentresItAndReopeningCentresItAgain)
{
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(5.0f, 5.0f);
    g_app.overlay.overlay_open = true;
    EXPECT_TRUE(UpdateVirtualCursor(false));
    EXPECT_EQ(io.MousePos.x, 640.0f);
    EXPECT_EQ(io.MousePos.y, 360.0f);

    AddVirtualCursorMotion(30.0f, -20.0f);
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX); // the platform frame found no system cursor
    UpdateVirtualCursor(false);
    EXPECT_EQ(io.MousePos.x, 670.0f) << "moves with relative motion, not the system cursor";
    EXPECT_EQ(io.MousePos.y, 340.0f);

    g_app.overlay.overlay_open = false;
    io.MousePos = ImVec2(5.0f, 5.0f);
    UpdateVirtualCursor(false);
    g_app.overlay.overlay_open = true;
    UpdateVirtualCursor(false);
    EXPECT_EQ(io.MousePos.x, 640.0f);
    EXPECT_EQ(io.MousePos.y, 360.0f);
}

TEST_F(VirtualCursor, StaysOnTheDisplay)
{
    ImGuiIO& io = ImGui::GetIO();
    g_app.overlay.overlay_open = true;
    UpdateVirtualCursor(false);
    AddVirtualCursorMotion(5000.0f, -5000.0f);
    UpdateVirtualCursor(false);
    EXPECT_EQ(io.MousePos.x, 1280.0f);
    EXPECT_EQ(io.MousePos.y, 0.0f);
    // Clamped values are stored back: moving back starts from the edge.
    AddVirtualCursorMotion(-10.0f, 10.0f);
    UpdateVirtualCursor(false);
    EXPECT_EQ(io.MousePos.x, 1270.0f);
    EXPECT_EQ(io.MousePos.y, 10.0f);
    AddVirtualCursorMotion(NAN, 0.0f);
    UpdateVirtualCursor(false);
    EXPECT_FALSE(std::isnan(io.MousePos.x));
}

TEST_F(VirtualCursor, FollowsTheHostsMenuWhileItIsShown)
{
    ImGuiIO& io = ImGui::GetIO();
    g_app.overlay.overlay_open = true;
    io.MousePos = ImVec2(100.0f, 200.0f);
    EXPECT_FALSE(UpdateVirtualCursor(true));
    EXPECT_EQ(io.MousePos.x, 100.0f) << "the system cursor drives the overlay";
    EXPECT_EQ(g_app.overlay.virtual_cursor_x.load(), 100.0f);
    EXPECT_EQ(g_app.overlay.virtual_cursor_y.load(), 200.0f);
    EXPECT_TRUE(g_app.overlay.virtual_cursor_placed.load());
    // The menu goes away: the cursor carries on from there, not from the centre.
    EXPECT_TRUE(UpdateVirtualCursor(false));
    EXPECT_EQ(io.MousePos.x, 100.0f);
    EXPECT_EQ(io.MousePos.y, 200.0f);
}

} // namespace
