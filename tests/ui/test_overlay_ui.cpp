// The overlay as a user meets it, driven through the same input records the
// host queues. Until the overlay shell exists it is one placeholder window.
#include "overlay_driver.h"

#include "state/app_state.h"
#include "ui/overlay_input.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kVkEnd = 0x23;
constexpr uint32_t kVkTab = 0x09;
constexpr uint32_t kVkEscape = 0x1B;

class OverlayUi : public testing::Test
{
protected:
    void SetUp() override
    {
        g_app.overlay.overlay_open = false;
        g_app.overlay.virtual_cursor_placed = false;
        g_app.overlay.want_capture_mouse = false;
        g_app.overlay.want_capture_keyboard = false;
        g_app.overlay.want_text_input = false;
        DriverStart();
    }
    void TearDown() override
    {
        DriverStop();
        g_app.overlay.overlay_open = false;
        std::lock_guard<std::mutex> g(g_app.input.lock);
        g_app.input.frames.clear();
        g_app.input.buttons_down = 0;
    }
    static bool Shows(const std::string& text) { return DriverText().find(text) != std::string::npos; }
};

TEST_F(OverlayUi, EndOpensTheWindowAndEndClosesIt)
{
    DriverFrame(2);
    EXPECT_EQ(DriverText(), "") << "closed: nothing drawn";
    EXPECT_EQ(DriverFind("Ping"), nullptr);

    DriverKey(kVkEnd);
    DriverFrame(2);
    EXPECT_TRUE(Shows("Placeholder: the menu pages come with the overlay shell."));
    ASSERT_NE(DriverFind("Ping"), nullptr);
    EXPECT_EQ(DriverFind("Ping")->window, "Kestrel Multiplayer");

    DriverKey(kVkEnd);
    DriverFrame(2);
    EXPECT_EQ(DriverText(), "");
}

TEST_F(OverlayUi, ClickingByLabelPressesTheButtonOncePerClick)
{
    DriverKey(kVkEnd);
    DriverFrame(2);
    EXPECT_TRUE(Shows("Pings: 0"));
    ASSERT_TRUE(DriverClick("Ping"));
    EXPECT_TRUE(Shows("Pings: 1")) << DriverText();
    ASSERT_TRUE(DriverClick("Ping"));
    EXPECT_TRUE(Shows("Pings: 2"));
    EXPECT_TRUE(OverlayWantsMouse()) << "the cursor is over the overlay";
    EXPECT_FALSE(DriverClick("No such button"));
}

TEST_F(OverlayUi, TypedTextArrivesAndTheToggleKeyTypesInsteadOfClosing)
{
    DriverKey(kVkEnd);
    DriverFrame(2);
    ASSERT_TRUE(DriverClick("Note"));
    DriverType("co-op ready");
    DriverFrame(2);
    EXPECT_TRUE(Shows("Note: co-op ready")) << DriverText();
    EXPECT_TRUE(OverlayWantsKeyboard());

    DriverKey(kVkEnd); // the field has the keyboard: no toggle
    DriverFrame(2);
    EXPECT_TRUE(g_app.overlay.overlay_open.load());

    DriverKey(kVkEscape);
    DriverFrame(3);
    DriverKey(kVkEnd);
    DriverFrame();
    EXPECT_FALSE(g_app.overlay.overlay_open.load());
}

TEST_F(OverlayUi, TabReachesTheFieldWithoutTheMouse)
{
    DriverKey(kVkEnd);
    DriverFrame(2);
    DriverKey(kVkTab);
    DriverFrame(3);
    DriverType("abc");
    DriverFrame();
    EXPECT_TRUE(Shows("Note: abc")) << DriverText();
}

TEST_F(OverlayUi, TheCloseBoxClosesTheOverlay)
{
    DriverKey(kVkEnd);
    DriverFrame(2);
    const DriverItem* close = DriverFindCloseBox("Kestrel Multiplayer");
    ASSERT_NE(close, nullptr);
    DriverClickAt(close->rect.GetCenter());
    DriverFrame();
    EXPECT_FALSE(g_app.overlay.overlay_open.load());
    EXPECT_EQ(DriverText(), "");
}

} // namespace
