// The widget kit as a page uses it: clicks, shared identities, sounds, and
// what the driver finds and reads. A plain window of widgets is drawn in each
// driver frame (with the overlay closed) and the mouse is placed directly.
#include "overlay_driver.h"

#include "backend/click_sounds.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/ui_state.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct Bench
{
    std::function<void()> draw; // the window's widgets; none: no window
    ImVec2 mouse{-FLT_MAX, -FLT_MAX};
    bool mouse_down = false;
};
Bench g_bench;

void BenchMouse(ImGuiContext* ctx, ImGuiContextHook*)
{
    ctx->IO.MousePos = g_bench.mouse;
    ctx->IO.MouseDown[0] = g_bench.mouse_down;
}

void BenchWindow(ImGuiContext*, ImGuiContextHook*)
{
    if (!g_bench.draw)
        return;
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(420, 700));
    ImGui::SetNextWindowFocus(); // above anything the overlay draws
    ImGui::Begin("kit bench"); // its title bar's collapse button starts the driver's log
    g_bench.draw();
    ImGui::End();
}

void Click(const std::string& label)
{
    const DriverItem* item = DriverFind(label);
    ASSERT_NE(item, nullptr) << label;
    g_bench.mouse = item->rect.GetCenter();
    DriverFrame(); // hover
    g_bench.mouse_down = true;
    DriverFrame();
    g_bench.mouse_down = false;
    DriverFrame();
    g_bench.mouse = ImVec2(-FLT_MAX, -FLT_MAX);
}

const uint8_t* OnlySound()
{
    const std::vector<RecordedSound> played = TakeRecordedSounds();
    return played.size() == 1 ? played[0].image : nullptr;
}

class Kit : public testing::Test
{
protected:
    void SetUp() override
    {
        DriverStart(); // the client and UI state at their start values, sounds built
        g_app.shell.current_page = PageHome;
        ImGuiContextHook hook;
        hook.Type = ImGuiContextHookType_NewFramePre;
        hook.Callback = BenchMouse;
        ImGui::AddContextHook(ImGui::GetCurrentContext(), &hook);
        hook.Type = ImGuiContextHookType_NewFramePost;
        hook.Callback = BenchWindow;
        ImGui::AddContextHook(ImGui::GetCurrentContext(), &hook);
    }
    void TearDown() override
    {
        DriverStop();
        g_bench = Bench();
    }
};

TEST_F(Kit, ButtonsAreFoundByTheirShownLabelAndClickWithTheirSound)
{
    int clicks[6] = {};
    g_bench.draw = [&] {
        clicks[0] += AccentButton("Create");
        clicks[1] += OutlineButton("Join", 40.0f);
        clicks[2] += GhostButton("Back", 30.0f);
        clicks[3] += ActionTile("Quick Match", "Find a partner now");
        clicks[4] += NavButton("  Home", PageHome);
        clicks[5] += NavButton("  Create", PageCreate);
    };
    DriverFrame(2);
    for (const char* shown : {"Join", "Back", "Quick Match"})
        EXPECT_NE(DriverFind(shown), nullptr) << shown;
    for (const char* text : {"Join", "Back", "Quick Match", "Find a partner now", ">"})
        EXPECT_NE(DriverText().find(text), std::string::npos) << text;

    const struct { const char* label; const std::vector<uint8_t>* sound; } cases[] = {
        {"Create", &SoundConfirm}, {"Join", &SoundTick},    {"Back", &SoundBack},
        {"Quick Match", &SoundConfirm}, {"  Home", &SoundTick}, {"  Create", &SoundTick},
    };
    for (int i = 0; i < 6; i++) {
        Click(cases[i].label);
        EXPECT_EQ(clicks[i], 1) << cases[i].label;
        EXPECT_EQ(OnlySound(), cases[i].sound->data()) << cases[i].label;
        // The current page's entry ticks but does not navigate again.
        EXPECT_EQ(g_app.shell.pending_page, i < 5 ? -1 : (int)PageCreate) << cases[i].label;
    }

    // Sound off, then volume 0: no click is heard, yet the click counts.
    g_app.settings.snd_en = false;
    Click("Join");
    g_app.settings.snd_en = true;
    g_app.settings.snd_vol_pct = 0.0f;
    Click("Back");
    EXPECT_EQ(clicks[1], 2);
    EXPECT_EQ(clicks[2], 2);
    EXPECT_TRUE(TakeRecordedSounds().empty());
}

TEST_F(Kit, OneOutlineLabelDrawnTwiceIsOneButton)
{
    int clicks = 0;
    g_bench.draw = [&] {
        clicks += OutlineButton("Ready", 40.0f);
        ImGui::Dummy(ImVec2(0, 60));
        clicks += OutlineButton("Ready", 40.0f);
    };
    DriverFrame(2);
    std::vector<ImGuiID> copies;
    for (const DriverItem& item : DriverItems())
        if (item.label == "Ready")
            copies.push_back(item.id);
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0], copies[1]);
    Click("Ready");
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(TakeRecordedSounds().size(), 1u);
}

TEST_F(Kit, SegmentedChoiceOutlivesItsPage)
{
    const char* const labels[2] = {"Public", "Private"};
    g_bench.draw = [&] { SegmentedPair(labels); };
    DriverFrame(2);
    EXPECT_EQ(g_ui.segmented_choice, 0);
    Click("Private");
    EXPECT_EQ(g_ui.segmented_choice, 1);
    EXPECT_TRUE(TakeRecordedSounds().empty());
    g_bench.draw = nullptr;
    DriverFrame(5);
    g_bench.draw = [&] { SegmentedPair(labels); };
    DriverFrame(2);
    EXPECT_EQ(g_ui.segmented_choice, 1);
    Click("Public");
    EXPECT_EQ(g_ui.segmented_choice, 0);
}

TEST_F(Kit, ServiceTextIsShownAsWrittenAndColoursFadeWithTheStyle)
{
    const std::string message = "Bad name 100% %s %n %d";
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        g_app.account.auth_message = message;
    }
    g_app.flags.auth_status = AuthFailed;
    g_bench.draw = [] {
        AuthStatusLine();
        StepRow(3, "Both ready up", "Each of you taps Ready.");
    };
    DriverFrame(2);
    EXPECT_NE(DriverText().find(message), std::string::npos) << DriverText();
    EXPECT_NE(DriverText().find("3\n"), std::string::npos) << "the step number is reported";
    g_app.flags.auth_status = AuthRunning;
    DriverFrame();
    EXPECT_NE(DriverText().find("Please wait..."), std::string::npos);
    EXPECT_EQ(DriverText().find(message), std::string::npos);

    ImGui::GetStyle().Alpha = 0.5f;
    EXPECT_EQ(PackCol(ColAccent, 0.5f) >> IM_COL32_A_SHIFT, 64u); // 0.25 of 255
    EXPECT_EQ(PackCol(ColAccent) & ~IM_COL32_A_MASK, ImGui::ColorConvertFloat4ToU32(ColAccent) & ~IM_COL32_A_MASK);
}

} // namespace
