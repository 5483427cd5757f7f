// The Settings page as a player meets it: binding the menu key, the sliders,
// the notification and sound controls, and what reaches the account port.
#include "ui_fixture.h"

#include "backend/click_sounds.h"
#include "mini_http_server.h"
#include "ui/input_queue.h"
#include "ui/overlay_input.h"
#include "ui/pages/pages.h"
#include "ui/ui_state.h"

#include <chrono>

namespace {

constexpr uint32_t kVkEsc = 0x1B, kVkF12 = 0x7B, kVkCtrl = 0x11, kVkEnter = 0x0D;

class SettingsUi : public OverlayUi
{
protected:
    void SetUp() override
    {
        OverlayUi::SetUp();
        BeforeOpening();
        // Tall enough to show the whole page without scrolling.
        DriverSetDisplay(ImVec2(1280.0f, 2000.0f));
        g_ui.main_window_h = 1900.0f;
        g_app.shell.current_page = PageSettings;
        OpenMenu();
    }
    virtual void BeforeOpening() {}

public:
    // Ctrl+click turns a slider into a text field; the typed value is applied on Enter.
    // The page scrolls: a control below the fold is wheeled into view first,
    // as a player would.
    static void ScrollIntoView(const char* id)
    {
        for (int i = 0; i < 40; i++) {
            const DriverItem* item = DriverFind(id);
            ASSERT_NE(item, nullptr) << id;
            const float bottom = ImGui::GetIO().DisplaySize.y - 40.0f;
            if (item->rect.Max.y <= bottom && item->rect.Min.y >= 80.0f)
                return;
            DriverWheelAt(ImVec2(item->rect.GetCenter().x, 360.0f), item->rect.Max.y > bottom ? -2.0f : 2.0f);
        }
    }
    static void TypeIntoSlider(const char* id, const char* text)
    {
        ScrollIntoView(id);
        QueueKeyEvent(kVkCtrl, true);
        ASSERT_TRUE(DriverClick(id)) << id;
        QueueKeyEvent(kVkCtrl, false);
        DriverType(text);
        DriverKey(kVkEnter);
        DriverFrame(3);
    }
    static bool Capturing() { return g_app.overlay.capturing_key.load(); }
    // A key as the game's window gets it: held in the key state, and its
    // edge among the window's messages.
    static void Hold(uint32_t vk, bool down)
    {
        SetAsyncKeyDown((int32_t)vk, down);
        QueueKeyEvent(vk, down);
    }
};

TEST_F(SettingsUi, CaptureBindsTheLowestHeldKeyAndEndsOnlyWhenItIsReleased)
{
    EXPECT_TRUE(Shows("(currently END)")) << DriverText();
    ASSERT_TRUE(DriverClick("Change key"));
    DriverFrame();
    EXPECT_TRUE(Capturing());
    EXPECT_TRUE(Shows("Press any key...  (Esc cancels)"));

    // Mouse buttons and other codes below 8 are never bound.
    SetAsyncKeyDown(0x01, true);
    SetAsyncKeyDown(0x07, true);
    DriverFrame(3);
    EXPECT_EQ(g_app.settings.toggle_vk, 0x23);
    EXPECT_TRUE(Capturing());

    Hold(kVkF12, true);
    Hold(kVkF5, true);
    DriverFrame(2);
    EXPECT_EQ(g_app.settings.toggle_vk, 0x74) << "the lower of two held codes";
    EXPECT_TRUE(Shows("(currently F5)")) << DriverText();
    // F5's own key-down may reach the window thread only now: it must not toggle.
    DriverFrame();
    EXPECT_FALSE(ToggleOverlayOnKey(kVkF5, false));
    EXPECT_TRUE(g_app.overlay.overlay_open.load());
    Hold(kVkF5, false);
    Hold(kVkF12, false);
    DriverFrame();
    EXPECT_FALSE(Capturing()) << "released: capture over";
    EXPECT_TRUE(Shows("Change key"));

    DriverKey(kVkEnd);
    DriverFrame(2);
    EXPECT_TRUE(g_app.overlay.overlay_open.load()) << "End no longer toggles";
    DriverKey(kVkF5);
    DriverFrame(2);
    EXPECT_FALSE(g_app.overlay.overlay_open.load()) << "the new key does";

    // Esc cancels, even with another key held, and keeps the binding.
    DriverKey(kVkF5);
    DriverFrame(60);
    ASSERT_TRUE(g_app.overlay.overlay_open.load());
    ASSERT_TRUE(DriverClick("Change key"));
    SetAsyncKeyDown(kVkEsc, true);
    SetAsyncKeyDown('A', true);
    DriverFrame(2);
    EXPECT_EQ(g_app.settings.toggle_vk, 0x74);
    EXPECT_TRUE(Capturing()) << "until Esc is released";
    SetAsyncKeyDown(kVkEsc, false);
    SetAsyncKeyDown('A', false);
    DriverFrame();
    EXPECT_FALSE(Capturing());
    EXPECT_EQ(g_app.settings.toggle_vk, 0x74);
}

TEST_F(SettingsUi, CaptureTakesOnlyKeysPressedForItAndResetToEndAlwaysWorks)
{
    constexpr uint32_t kVkPrintScreen = 0x2C, kVkW = 'W', kVkD = 'D';
    Hold(kVkW, true); // walking when the player clicks
    DriverFrame();
    ASSERT_TRUE(DriverClick("Change key"));
    DriverFrame(3);
    QueueKeyEvent(kVkW, true); // the window's auto-repeat
    DriverFrame(2);
    EXPECT_TRUE(Capturing());
    EXPECT_EQ(g_app.settings.toggle_vk, 0x23) << "a key already held is not taken";
    SetAsyncKeyDown(kVkPrintScreen, true); // its key-down never reaches the window
    DriverFrame(3);
    EXPECT_EQ(g_app.settings.toggle_vk, 0x23) << "nor one the window never sees go down";
    SetAsyncKeyDown(kVkPrintScreen, false);
    Hold(kVkD, true);
    DriverFrame(2);
    EXPECT_EQ(g_app.settings.toggle_vk, (int32_t)kVkD);
    Hold(kVkD, false);
    Hold(kVkW, false);
    DriverFrame(2);
    EXPECT_FALSE(Capturing());

    // Let go and pressed again, the held key is a fair choice.
    ASSERT_TRUE(DriverClick("Change key"));
    DriverFrame();
    Hold(kVkW, true);
    DriverFrame(2);
    EXPECT_EQ(g_app.settings.toggle_vk, (int32_t)kVkW);
    Hold(kVkW, false);
    DriverFrame(2);
    ASSERT_TRUE(DriverClick("Reset to End"));
    DriverFrame();
    EXPECT_EQ(g_app.settings.toggle_vk, 0x23);
    EXPECT_TRUE(Shows("(currently END)"));
}

TEST_F(SettingsUi, ClosingTheMenuMidCaptureLeavesTheMenuKeyWorking)
{
    ASSERT_TRUE(DriverClick("Change key"));
    ASSERT_TRUE(Capturing());
    ASSERT_TRUE(DriverClick("Co-op"));
    EXPECT_FALSE(g_app.overlay.overlay_open.load());
    EXPECT_FALSE(Capturing()) << "the page is no longer shown";
    DriverFrame(60);
    DriverKey(kVkEnd);
    DriverFrame(2);
    EXPECT_TRUE(g_app.overlay.overlay_open.load());
}

TEST_F(SettingsUi, NotificationControlsAndThePreview)
{
    for (const char* id : {"##notifstyle", "##notifsize", "##notifalpha", "Preview notification"})
        EXPECT_NE(DriverFind(id), nullptr) << id;
    ASSERT_TRUE(DriverClick("Pop up a notification for new messages"));
    EXPECT_FALSE(g_app.settings.notif_en);
    for (const char* id : {"##notifstyle", "##notifsize", "##notifalpha", "Preview notification"})
        EXPECT_EQ(DriverFind(id), nullptr) << id;
    ASSERT_TRUE(DriverClick("Pop up a notification for new messages"));

    ASSERT_TRUE(DriverClick("Preview notification"));
    const std::vector<Toast> toasts = CopyToasts();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].title, "Preview");
    EXPECT_EQ(toasts[0].text, "This is how your message notifications will look.");
    EXPECT_EQ(toasts[0].duration, 4.8f);
    DriverFrame(30);
    EXPECT_TRUE(Shows("This is how your message notifications will look.")) << DriverText();
}

TEST_F(SettingsUi, SlidersClampTypedValuesTestIsSilentWithSoundOffAndTheVolumeRebuilds)
{
    Sounds();
    ASSERT_TRUE(DriverClick("Test"));
    EXPECT_EQ(Sounds(), std::vector<std::string>{"confirm"});
    ASSERT_TRUE(DriverClick("Click sound effects"));
    EXPECT_FALSE(g_app.settings.snd_en);
    ASSERT_TRUE(DriverClick("Test"));
    EXPECT_TRUE(Sounds().empty()) << "sound off";
    ASSERT_TRUE(DriverClick("Click sound effects"));

    // Typed values are clamped like dragged ones.
    TypeIntoSlider("##btnscale", "5000");
    EXPECT_EQ(g_app.settings.btn_scale_pct, 1.5f);
    TypeIntoSlider("##notifsize", "10");
    EXPECT_EQ(g_app.settings.notif_scale_pct, 0.75f);

    const std::vector<uint8_t> old_tick = SoundTick;
    Sounds();
    TypeIntoSlider("##sfxvol", "80");
    EXPECT_EQ(g_app.settings.snd_vol_pct, 0.8f);
    EXPECT_EQ(Sounds(), std::vector<std::string>{"stop"}) << "stopped before the buffers are replaced";
    ASSERT_EQ(SoundTick.size(), old_tick.size());
    EXPECT_NE(SoundTick, old_tick) << "rebuilt at the new volume";
}

// Against a scripted account port, signed in from the start.
class SettingsUploadUi : public SettingsUi
{
protected:
    MiniHttpServer* account = nullptr;
    void SetUp() override
    {
        account = StartMiniHttpServer(39001);
        ASSERT_NE(account, nullptr);
        SettingsUi::SetUp();
    }
    void BeforeOpening() override
    {
        {
            std::lock_guard<std::mutex> hold(g_app.account.lock);
            g_app.account.token = "T1";
        }
        g_app.account.is_guest = false;
    }
    void TearDown() override
    {
        SettingsUi::TearDown();
        StopMiniHttpServer(account);
    }
    std::vector<MiniHttpRequest> Uploads()
    {
        std::vector<MiniHttpRequest> out;
        for (const MiniHttpRequest& r : MiniHttpRequests(account))
            if (r.target == "/settings/set")
                out.push_back(r);
        return out;
    }
    static void Wait(double seconds) { DriverRunUntil([] { return false; }, seconds); }
};

TEST_F(SettingsUploadUi, OneUploadASecondAfterTheLastChangeAndNoneForOpeningOrForAGuest)
{
    Wait(1.3);
    EXPECT_TRUE(Uploads().empty()) << "opening the page uploads nothing";

    g_app.account.is_guest = true;
    TypeIntoSlider("##btnalpha", "80");
    // "Transparency" says what it does: 80 % transparent is 20 % opaque.
    EXPECT_EQ(g_app.settings.btn_alpha_pct, 0.2f) << "a guest's change applies";
    TypeIntoSlider("##btnalpha", "50");
    EXPECT_FALSE(g_app.flags.settings_dirty.load());
    Wait(1.3);
    EXPECT_TRUE(Uploads().empty()) << "but is never uploaded";

    // Signed in: 50 % -> 80 % -> 50 % within a second, one upload.
    g_app.account.is_guest = false;
    TypeIntoSlider("##btnalpha", "80");
    // Stamped before the last change: the upload is at least a second after it.
    const auto last_change = std::chrono::steady_clock::now();
    TypeIntoSlider("##btnalpha", "50");
    ASSERT_TRUE(DriverRunUntil([&] { return !Uploads().empty(); }, 5.0));
    EXPECT_GE(std::chrono::steady_clock::now() - last_change, std::chrono::seconds(1));
    Wait(1.3);
    const std::vector<MiniHttpRequest> uploads = Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_NE(uploads[0].body.find("\"token\":\"T1\""), std::string::npos);
    EXPECT_NE(uploads[0].body.find("{\\\"btn_alpha_pct\\\":50,"), std::string::npos) << uploads[0].body;
}

TEST(KeyName, EveryRowOfTheTableAndTheEndsOfEachRange)
{
    const struct { int32_t vk; const char* name; } kRows[] = {
        {0x08, "BACKSPACE"}, {0x09, "TAB"},     {0x0D, "ENTER"},     {0x10, "SHIFT"},  {0x11, "CTRL"},
        {0x12, "ALT"},       {0x14, "CAPS LOCK"}, {0x1B, "ESC"},     {0x20, "SPACE"},  {0x21, "PAGE UP"},
        {0x22, "PAGE DOWN"}, {0x23, "END"},     {0x24, "HOME"},      {0x25, "LEFT"},   {0x26, "UP"},
        {0x27, "RIGHT"},     {0x28, "DOWN"},    {0x2D, "INSERT"},    {0x2E, "DELETE"}, {0xBA, ";"},
        {0xBB, "="},         {0xBC, ","},       {0xBD, "-"},         {0xBE, "."},      {0xBF, "/"},
        {0xC0, "`"},         {0xDB, "["},       {0xDC, "\\"},        {0xDD, "]"},      {0xDE, "'"},
        {0x70, "F1"},        {0x7B, "F12"},     {0x30, "0"},         {0x39, "9"},      {0x41, "A"},
        {0x5A, "Z"},         {0x07, "KEY 0x07"}, {0x6F, "KEY 0x6F"}, {0x7C, "KEY 0x7C"}, {0x2F, "KEY 0x2F"},
        {0x3A, "KEY 0x3A"},  {0x40, "KEY 0x40"}, {0x5B, "KEY 0x5B"}, {0xFE, "KEY 0xFE"},
    };
    for (const auto& row : kRows)
        EXPECT_EQ(KeyNameFor(row.vk), row.name) << row.vk;
    g_app.settings.toggle_vk = 0x74;
    EXPECT_EQ(KeyName(), "F5");
    g_app.settings.toggle_vk = 0x23;
    EXPECT_EQ(KeyName(), "END");
}

} // namespace
