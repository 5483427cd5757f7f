// What the player sees over the game with the menu open or closed: the Co-op
// button, the open-menu hint, the connection bars and the toasts.
#include "ui_fixture.h"

#include "link/peer_link.h"
#include "ui/palette.h"
#include "ui/ui_state.h"
#include "state/toasts.h"

namespace {

class IndicatorsUi : public OverlayUi
{
public:
    static ImGuiWindow* Button() { return ImGui::FindWindowByName("##mp_toggle"); }
    static bool Same(const ImVec2& a, const ImVec2& b) { return a.x == b.x && a.y == b.y; }

    // The most opaque colour among the vertices of `list` inside the rectangle
    // (0 when none): the fill of a shape, not its anti-aliased fringe.
    static ImU32 ColourIn(const ImDrawList* list, const ImRect& r)
    {
        ImU32 best = 0;
        for (const ImDrawVert& v : list->VtxBuffer)
            if (r.Contains(v.pos) && (v.col >> IM_COL32_A_SHIFT) > (best >> IM_COL32_A_SHIFT))
                best = v.col;
        return best;
    }
    static ImU32 Rgb(ImU32 col) { return col & ~IM_COL32_A_MASK; }
    static ImU32 Rgb(const ImVec4& col) { return Rgb(ImGui::ColorConvertFloat4ToU32(col)); }
    static const ImDrawList* Foreground()
    {
        const ImDrawData* data = ImGui::GetDrawData();
        for (int i = 0; i < data->CmdListsCount; i++)
            if (strcmp(data->CmdLists[i]->_OwnerName, "##Foreground") == 0)
                return data->CmdLists[i];
        static const ImDrawList empty(nullptr);
        return &empty;
    }
    // Bars lit, counted by colour: lit bars have the status colour, unlit white.
    static int LitBars(const ImVec4& status)
    {
        int lit = 0;
        for (int i = 0; i < 4; i++) {
            const float x = 30.0f + 10.0f * (float)i;
            const ImU32 c = ColourIn(Foreground(), ImRect(x, 49.0f - (6.0f + 5.0f * (float)i), x + 6.0f, 49.0f));
            if (Rgb(c) == Rgb(status))
                lit++;
            else
                EXPECT_EQ(Rgb(c), Rgb(ImVec4(1, 1, 1, 1))) << "bar " << i;
        }
        return lit;
    }
    static void SetLink(double rtt, int pings, int lost)
    {
        std::lock_guard<std::mutex> hold(g_app.link.lock);
        g_app.link.rtt_ms = rtt;
        g_app.link.pings.clear();
        g_app.link.first_pong_ms = LinkClockMs() - 6000.0; // the partner answered before these
        for (int i = 0; i < pings; i++)
            g_app.link.pings.push_back({(uint32_t)i + 1, LinkClockMs() - 5000.0, i >= lost});
    }
};

TEST_F(IndicatorsUi, TheCoopButtonIsPlacedByScaleAndAClickTogglesAndTicks)
{
    for (float width : {1280.0f, 1000.0f}) {
        DriverSetDisplay(ImVec2(width, 720.0f));
        g_app.settings.btn_scale_pct = 1.0f;
        DriverFrame();
        ASSERT_NE(Button(), nullptr);
        EXPECT_TRUE(Same(Button()->Pos, ImVec2(width - 152.0f, 18.0f)));
        EXPECT_TRUE(Same(Button()->Size, ImVec2(134.0f, 47.0f)));
        g_app.settings.btn_scale_pct = 1.5f;
        DriverFrame();
        EXPECT_TRUE(Same(Button()->Pos, ImVec2(width - 219.0f, 18.0f)));
        // 201 x 70.5, which Dear ImGui floors to whole pixels as it does every window size.
        EXPECT_TRUE(Same(Button()->Size, ImVec2(201.0f, 70.0f)));
    }
    g_app.settings.btn_scale_pct = 0.6f;
    DriverFrame();
    EXPECT_TRUE(Same(Button()->Size, ImVec2(80.0f, 28.0f))) << "below Dear ImGui's minimum window size";

    Sounds();
    ASSERT_TRUE(DriverClick("Co-op")); // menu closed: the system cursor
    EXPECT_TRUE(g_app.overlay.overlay_open.load());
    EXPECT_EQ(Sounds(), std::vector<std::string>{"tick"});
    DriverFrame(60);
    ASSERT_TRUE(DriverClick("Co-op")); // menu open: the overlay's cursor
    EXPECT_FALSE(g_app.overlay.overlay_open.load());
    EXPECT_EQ(Sounds(), std::vector<std::string>{"tick"});

    // Resting (cursor moved away), green while the link runs.
    g_app.flags.link_running = true;
    DriverClickAt(ImVec2(5.0f, 700.0f));
    DriverFrame(60);
    // The fill, beside the label (which stays opaque and dark).
    const ImRect r = Button()->Rect();
    EXPECT_EQ(Rgb(ColourIn(Button()->DrawList, ImRect(r.Min, ImVec2(r.Min.x + 8.0f, r.Max.y)))), Rgb(ColGreen));
}

TEST_F(IndicatorsUi, WithNothingToShowNothingAtAllIsDrawn)
{
    g_app.settings.hint = false;
    g_app.settings.btn_alpha_pct = 0.0f;
    DriverFrame(3);
    EXPECT_EQ(ImGui::GetDrawData()->TotalVtxCount, 0);
    g_app.settings.btn_alpha_pct = 0.5f;
    DriverFrame();
    EXPECT_GT(ImGui::GetDrawData()->TotalVtxCount, 0);
    EXPECT_TRUE(OnlyIndicatorsDrawn());
}

TEST_F(IndicatorsUi, TheHintShowsAfterStartAndEveryCloseForItsTime)
{
    DriverSetFrameTime(0.05f);
    DriverFrame(10);
    EXPECT_TRUE(Shows("Press\nEND\nor click\nCo-op\nto open the menu")) << DriverText();
    DriverFrame(97); // 5.35 s: fading out
    EXPECT_TRUE(Shows("to open the menu"));
    DriverFrame(3); // 5.5 s
    EXPECT_FALSE(Shows("to open the menu"));
    EXPECT_TRUE(OnlyIndicatorsDrawn());

    OpenMenu();
    EXPECT_FALSE(Shows("to open the menu")) << "never while the menu is open";
    g_app.settings.toggle_vk = 0x74;
    DriverFrame();
    DriverKey(kVkF5);
    DriverFrame(10);
    EXPECT_TRUE(Shows("Press\nF5\nor click")) << "the cap names the bound key\n" << DriverText();

    g_app.settings.hint = false;
    DriverKey(kVkF5);
    DriverFrame(10);
    DriverKey(kVkF5);
    DriverFrame(10);
    EXPECT_FALSE(g_app.overlay.overlay_open.load());
    EXPECT_FALSE(Shows("to open the menu")) << "hint off";
}

TEST_F(IndicatorsUi, AToastWhileTheHintShowsStartsBelowIt)
{
    DriverFrame(40); // the hint has slid in
    ASSERT_TRUE(Shows("to open the menu"));
    PushToast("Partner Joined", "Kes joined your lobby.", 4.8f);
    DriverFrame(30);
    // Each by its own fill colour, among the foreground's vertices.
    ImRect hint(ImVec2(FLT_MAX, FLT_MAX), ImVec2(-FLT_MAX, -FLT_MAX)), toast = hint;
    const ImU32 hint_fill = Rgb(ImVec4(0.078f, 0.086f, 0.104f, 1.0f)), toast_fill = Rgb(ImVec4(0.075f, 0.083f, 0.099f, 1.0f));
    for (const ImDrawVert& v : Foreground()->VtxBuffer) {
        if (Rgb(v.col) == hint_fill)
            hint.Add(v.pos);
        if (Rgb(v.col) == toast_fill)
            toast.Add(v.pos);
    }
    ASSERT_TRUE(hint.Min.y < hint.Max.y && toast.Min.y < toast.Max.y);
    EXPECT_GE(toast.Min.y, hint.Max.y) << "the toast starts below the hint";
}

// Over the game the stack keeps below the button and the hint at any button
// size; with the menu open it keeps off every control of the window (in the
// title bar where the window stands under the stack, beside it where there
// is room), and comes back to the stack when the menu closes.
TEST_F(IndicatorsUi, ToastsNeverCoverTheHintTheButtonOrAControl)
{
    const auto overlaps = [](const ImVec4& t, const ImRect& r) {
        return t.x < r.Max.x && r.Min.x < t.z && t.y < r.Max.y && r.Min.y < t.w;
    };
    for (const float scale : {1.0f, 1.5f}) {
        g_app.settings.btn_scale_pct = scale;
        g_ui.hint_active = true, g_ui.hint_timer = 0.0f;
        DriverFrame(40); // the hint has slid in
        ASSERT_TRUE(Shows("to open the menu"));
        for (int i = 0; i < 3; i++)
            PushToast("Partner Spawned In", "Your partner is now in your game.", 4.8f);
        DriverFrame(30);
        ASSERT_EQ(g_ui.toast_rects.size(), 3u);
        for (size_t i = 0; i < g_ui.toast_rects.size(); i++) {
            const ImVec4& t = g_ui.toast_rects[i];
            EXPECT_GE(t.y, g_ui.hint_bottom) << "toast " << i << " at scale " << scale;
            EXPECT_FALSE(overlaps(t, Button()->Rect())) << "toast " << i;
            if (i > 0) {
                EXPECT_GE(t.y, g_ui.toast_rects[i - 1].w) << "toasts stack without overlap";
            }
        }
        TakeToasts();
    }
    g_app.settings.btn_scale_pct = 1.0f;

    for (const float width : {1280.0f, 1920.0f, 800.0f}) {
        DriverSetDisplay(ImVec2(width, width == 800.0f ? 600.0f : 720.0f));
        g_app.shell.current_page = PageSettings; // a page full of controls
        OpenMenu();
        PushToast("Invite from Kes", "Kes's den - open the menu, then View profile, to join.", 4.8f);
        DriverFrame(20);
        ASSERT_EQ(g_ui.toast_rects.size(), 1u) << width;
        const ImVec4 t = g_ui.toast_rects[0];
        EXPECT_TRUE(Shows("Invite from Kes")) << width;
        int items = 0;
        for (const DriverItem& item : DriverItems()) {
            if (item.rect.GetWidth() <= 0.0f || item.window.rfind("Kestrel Multiplayer", 0) != 0)
                continue;
            if (item.rect.Min.y == g_ui.menu_min.y && item.rect.GetHeight() == g_ui.menu_title_h &&
                item.rect.GetWidth() == g_ui.menu_max.x - g_ui.menu_min.x)
                continue; // the title bar's own drag handle: the strip meant for it

            items++;
            EXPECT_FALSE(overlaps(t, item.rect)) << "covers " << item.label << " id " << item.id << " in " << item.window << " " << item.rect.Min.x << "," << item.rect.Min.y << " " << item.rect.Max.x << "," << item.rect.Max.y << " toast " << t.x << "," << t.y << " " << t.z << "," << t.w << " at width " << width;
        }
        EXPECT_GT(items, 10);
        EXPECT_FALSE(overlaps(t, Button()->Rect()));
        CloseMenu();
        TakeToasts();
    }
}

TEST_F(IndicatorsUi, TheBarsRateTheLinkOnlyWhileItRunsAndConnIsOn)
{
    g_app.settings.hint = false;
    SetLink(59.0, 0, 0);
    DriverFrame();
    EXPECT_FALSE(Shows("Excellent")) << "no link";

    g_app.flags.link_running = true;
    const ImVec4 red(0.86f, 0.22f, 0.22f, 1.0f);
    const struct { double rtt; int pings, lost; const char* label; int lit; ImVec4 col; } kCases[] = {
        {-1.0, 0, 0, "Measuring", 0, ColMuted},  {59.0, 0, 0, "Excellent", 4, ColGreen},
        {59.0, 50, 1, "Good", 3, ColGreen},      {119.0, 25, 1, "Good", 3, ColGreen},
        {150.0, 50, 5, "Okay", 2, ColGold},      {150.0, 25, 3, "Poor", 1, red},
        {200.0, 0, 0, "Poor", 1, red},
    };
    for (const auto& c : kCases) {
        SetLink(c.rtt, c.pings, c.lost);
        DriverFrame();
        EXPECT_TRUE(Shows(c.label)) << c.rtt << " " << c.lost << "\n" << DriverText();
        EXPECT_EQ(LitBars(c.col), c.lit) << c.label;
        const std::string ms = std::to_string((int)c.rtt) + " ms";
        EXPECT_EQ(Shows(ms), c.rtt >= 0) << ms;
    }
    g_app.settings.conn = false;
    DriverFrame();
    EXPECT_FALSE(Shows("Poor"));
    EXPECT_EQ(ImGui::GetDrawData()->TotalVtxCount - (int)Button()->DrawList->VtxBuffer.Size, 0);
}

TEST_F(IndicatorsUi, TheToastQueueKeepsSixCutsLongTextsAndHonoursTheSwitch)
{
    for (int i = 1; i <= 7; i++)
        PushToast("t" + std::to_string(i), "body", 4.8f);
    std::vector<Toast> q = CopyToasts();
    ASSERT_EQ(q.size(), 6u);
    EXPECT_EQ(q.front().title, "t2") << "the oldest went";
    EXPECT_EQ(q.back().title, "t7");

    TakeToasts();
    const std::string e_acute = "\xC3\xA9";
    PushToast("", std::string(160, 'a'), 4.8f);
    PushToast("x", std::string(161, 'a'), 4.8f);
    PushToast("x", std::string(156, 'a') + e_acute + std::string(10, 'b'), 4.8f);
    q = CopyToasts();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].title, "Message");
    EXPECT_EQ(q[0].text, std::string(160, 'a'));
    EXPECT_EQ(q[1].text, std::string(157, 'a') + "...");
    EXPECT_EQ(q[2].text, std::string(156, 'a') + "...") << "never inside a character";

    TakeToasts();
    g_app.settings.notif_en = false;
    DriverFrame();
    PushToast("Partner Joined", "hello", 4.8f);
    EXPECT_TRUE(CopyToasts().empty());
}

TEST_F(IndicatorsUi, AToastLivesItsTimeFromItsFirstDrawnFrameInEachStyle)
{
    g_app.settings.hint = false;
    DriverSetFrameTime(0.1f);
    DriverFrame(5);
    // Pushed while no frame is drawn: they wait with their clocks unstarted.
    PushToast("One", "first", 4.8f);
    PushToast("Two", "second", 4.8f);
    for (const Toast& t : CopyToasts())
        EXPECT_EQ(t.start, -1.0);
    DriverFrame();
    const double first_drawn = ImGui::GetTime();
    for (const Toast& t : CopyToasts())
        EXPECT_EQ(t.start, first_drawn);

    for (int style : {0, 1, 2}) {
        g_app.settings.notif_style = style;
        DriverFrame(5);
        EXPECT_TRUE(Shows("One\nfirst\nTwo\nsecond")) << style << "\n" << DriverText();
        EXPECT_TRUE(OnlyIndicatorsDrawn());
    }
    DriverFrame(31); // 4.6 s after the first drawn frame
    EXPECT_EQ(CopyToasts().size(), 2u);
    DriverFrame(3); // 4.9 s
    EXPECT_TRUE(CopyToasts().empty());
    EXPECT_FALSE(Shows("first"));
}

} // namespace
