// The overlay shell as a player meets it: the menu window, its size and
// place, the sidebar and page changes, How to Use and the update notice.
#include "ui_fixture.h"

#include "backend/click_sounds.h"
#include "state/app_state.h"
#include "ui/frame_sequence.h"
#include "ui/overlay_input.h"
#include "ui/ui_state.h"

#include <imgui_internal.h>

#include <cmath>

std::vector<std::string> OverlayUi::Sounds()
{
    std::vector<std::string> out;
    for (const RecordedSound& s : TakeRecordedSounds()) {
        if (!s.image)
            out.push_back("stop");
        else if (s.image == SoundTick.data())
            out.push_back("tick");
        else if (s.image == SoundConfirm.data())
            out.push_back("confirm");
        else if (s.image == SoundBack.data())
            out.push_back("back");
        else
            out.push_back("other");
    }
    return out;
}

namespace {

ImGuiWindow* MenuWindow()
{
    return ImGui::FindWindowByName("Kestrel Multiplayer");
}

// Signed in as a guest, on Home, menu open.
void AsGuestOnHome()
{
    g_app.shell.current_page = PageHome;
    OverlayUi::OpenMenu();
}

} // namespace

TEST_F(OverlayUi, TheMenuOpensCentredAndKeepsThePlayersSize)
{
    DriverFrame(3);
    EXPECT_EQ(g_app.shell.current_page, PageSignIn);
    EXPECT_TRUE(OnlyIndicatorsDrawn()) << "closed: nothing of the menu is drawn";

    DriverKey(kVkEnd);
    DriverFrame(60);
    ImGuiWindow* w = MenuWindow();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->Size.x, 880.0f);
    EXPECT_EQ(w->Size.y, 640.0f);
    EXPECT_EQ(w->Pos.x, (1280.0f - 880.0f) / 2);
    EXPECT_EQ(w->Pos.y, 48.0f);
    EXPECT_EQ(Sounds(), std::vector<std::string>{"tick"}) << "the toggle key ticks";
    EXPECT_TRUE(ImGui::GetIO().MouseDrawCursor);

    // The player drags the window larger: kept over closing and reopening.
    ImGui::SetWindowSize(w, ImVec2(1000.0f, 600.0f));
    DriverFrame(2);
    CloseMenu();
    EXPECT_TRUE(OnlyIndicatorsDrawn());
    EXPECT_FALSE(ImGui::GetIO().MouseDrawCursor);
    OpenMenu();
    EXPECT_EQ(MenuWindow()->Size.x, 1000.0f);
    EXPECT_EQ(MenuWindow()->Size.y, 600.0f);
    EXPECT_EQ(MenuWindow()->Pos.x, 140.0f);

    // Ten more openings change nothing.
    ImGui::SetWindowSize(MenuWindow(), ImVec2(880.0f, 640.0f));
    DriverFrame(2);
    for (int i = 0; i < 10; i++) {
        CloseMenu();
        OpenMenu();
    }
    EXPECT_EQ(MenuWindow()->Size.x, 880.0f);
    EXPECT_EQ(MenuWindow()->Size.y, 640.0f);
}

TEST_F(OverlayUi, OnASmallDisplayTheWindowFitsAndThePlayersSizeIsKept)
{
    DriverSetDisplay(ImVec2(800.0f, 500.0f));
    AsGuestOnHome();
    ImGuiWindow* w = MenuWindow();
    ASSERT_NE(w, nullptr);
    EXPECT_LE(w->Size.x, 800.0f);
    EXPECT_LE(w->Pos.y + w->Size.y, 500.0f);
    EXPECT_GE(w->Pos.x, 0.0f);
    EXPECT_EQ(g_ui.main_window_w, 880.0f);
    EXPECT_EQ(g_ui.main_window_h, 640.0f);

    // Once the sidebar has measured what it needs (more than this display
    // holds), the window still fits, stays clear of the Co-op button, and
    // the sidebar scrolls to its foot.
    DriverFrame(5);
    w = MenuWindow();
    EXPECT_LE(w->Pos.y + w->Size.y, 500.0f) << "the whole sidebar's height is not forced on the display";
    EXPECT_GE(w->Pos.y, g_ui.coop_max.y) << "the Co-op button stays uncovered";
    const DriverItem* sign_out = DriverFind("Sign Out");
    ASSERT_NE(sign_out, nullptr);
    DriverWheelAt(DriverFind("  Home")->rect.GetCenter(), -10.0f);
    DriverFrame(2);
    sign_out = DriverFind("Sign Out");
    ASSERT_NE(sign_out, nullptr);
    EXPECT_LE(sign_out->rect.Max.y, w->Pos.y + w->Size.y) << "Sign Out scrolled into the window";

    DriverSetDisplay(ImVec2(1280.0f, 720.0f));
    DriverFrame(2);
    EXPECT_EQ(MenuWindow()->Size.x, 880.0f) << "a larger display gets the whole size back";
    // (or the whole sidebar's height, where that is more and the display holds it)
    EXPECT_EQ(MenuWindow()->Size.y, std::max(640.0f, g_ui.min_window_h));
    EXPECT_LE(g_ui.min_window_h, 720.0f - 48.0f);
}

TEST_F(OverlayUi, TheCloseBoxClosesAndTheSamePageShowsOnReopening)
{
    AsGuestOnHome();
    g_app.shell.current_page = PageHowTo;
    DriverFrame(2);
    const DriverItem* close = DriverFindCloseBox("Kestrel Multiplayer");
    ASSERT_NE(close, nullptr);
    DriverClickAt(close->rect.GetCenter());
    EXPECT_FALSE(g_app.overlay.overlay_open.load());
    DriverFrame(60);
    EXPECT_TRUE(OnlyIndicatorsDrawn());
    OpenMenu();
    EXPECT_TRUE(Shows("How to Use"));
}

TEST_F(OverlayUi, TheSidebarNavigatesAndTicksEvenOnTheCurrentPage)
{
    AsGuestOnHome();
    const struct { const char* label; int32_t page; const char* shows; } kButtons[] = {
        {"  Matchmaking", PageMatchmaking, "Matchmaking"}, {"  Create", PageCreate, "Create a Room"},
        {"  Search", PageSearch, "Find a Room"},          {"  How to Use", PageHowTo, "Co-op in 5 easy steps."},
        {"  Settings", PageSettings, "Settings"},         {"  Home", PageHome, "Home"},
    };
    TakeRecordedSounds();
    for (const auto& b : kButtons) {
        ASSERT_TRUE(DriverClick(b.label)) << b.label;
        // Out in 1/6 s and in again in 1/6 s.
        DriverFrame(21);
        EXPECT_EQ(g_app.shell.current_page, b.page) << b.label;
        EXPECT_EQ(g_app.shell.page_fade, 1.0f) << b.label;
        EXPECT_TRUE(Shows(b.shows)) << b.label << "\n" << DriverText();
        EXPECT_EQ(Sounds(), std::vector<std::string>{"tick"}) << b.label;
    }
    ASSERT_TRUE(DriverClick("  Home"));
    EXPECT_EQ(g_app.shell.pending_page, -1) << "the current page is not asked for again";
    EXPECT_EQ(Sounds(), std::vector<std::string>{"tick"});

    ASSERT_TRUE(DriverClick("##profilebtn"));
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageProfile);
    EXPECT_TRUE(Shows("Guest")) << "the profile block shows the player's name";
    EXPECT_TRUE(Shows("View profile"));
}

TEST_F(OverlayUi, TwoPagesAskedForInOneFrameTheLastWins)
{
    AsGuestOnHome();
    NavigateTo(PageSearch);
    NavigateTo(PageHowTo);
    DriverFrame(5);
    const float fading = g_app.shell.page_fade;
    EXPECT_LT(fading, 1.0f);
    NavigateTo(PageSettings); // mid-fade: the fade goes on, it does not start over
    DriverFrame();
    EXPECT_LT(g_app.shell.page_fade, fading);
    DriverFrame(20);
    EXPECT_EQ(g_app.shell.current_page, PageSettings);
}

TEST_F(OverlayUi, HowToUseLeadsToCreateARoom)
{
    AsGuestOnHome();
    g_app.shell.current_page = PageHowTo;
    DriverFrame(2);
    for (const char* line : {"GET STARTED", "Co-op in 5 easy steps.", "Make a room", "Invite your partner",
                             "Both ready up", "Load your game", "Play together!", "That's it - have fun."})
        EXPECT_TRUE(Shows(line)) << line << "\n" << DriverText();
    TakeRecordedSounds();
    // The page is taller than the window: the content scrolls, the sidebar stays.
    const ImVec2 beside_sidebar = DriverFind("  Home")->rect.GetCenter();
    DriverWheelAt(ImVec2(beside_sidebar.x + 300.0f, beside_sidebar.y), -20.0f);
    const DriverItem* button = DriverFind("Make a Room");
    ASSERT_NE(button, nullptr);
    EXPECT_LE(button->rect.Max.y, MenuWindow()->Pos.y + MenuWindow()->Size.y);
    EXPECT_NE(DriverFind("  Home"), nullptr);
    ASSERT_TRUE(DriverClick("Make a Room"));
    DriverFrame(21);
    EXPECT_EQ(g_app.shell.current_page, PageCreate);
    EXPECT_EQ(Sounds(), std::vector<std::string>{"confirm"});
}

TEST_F(OverlayUi, TheUpdateNoticeReplacesEveryPage)
{
    {
        std::lock_guard<std::mutex> hold(g_app.update_notice.lock);
        g_app.update_notice.update_message = "Version 0.9 is over: %s %n";
    }
    g_app.update_notice.update_required = true;
    for (int32_t page : {PageSignIn, PageWelcome, PageHome, PageHowTo}) {
        g_app.shell.current_page = page;
        OpenMenu();
        EXPECT_TRUE(Shows("Update Required")) << page;
        EXPECT_TRUE(Shows("Version 0.9 is over: %s %n")) << "shown as written\n" << DriverText();
        EXPECT_EQ(DriverFind("  Home"), nullptr) << "no sidebar";
    }
    TakeOpenedPages();
    ASSERT_TRUE(DriverClick("Download Latest Version"));
    EXPECT_EQ(TakeOpenedPages(), std::vector<std::string>{KESTREL_DOWNLOAD_URL});

    {
        std::lock_guard<std::mutex> hold(g_app.update_notice.lock);
        g_app.update_notice.update_message.clear();
    }
    DriverFrame();
    EXPECT_TRUE(Shows("This version is no longer supported. Please download the latest version."));
}

TEST_F(OverlayUi, ASyncedToggleKeyOpensTheMenuAndTheOldOneNoLonger)
{
    {
        std::lock_guard<std::mutex> hold(g_app.settings_sync.lock);
        g_app.settings_sync.pending = "{\"toggle_vk\":116}";
    }
    g_app.flags.settings_arrived = true;
    DriverFrame(2);
    DriverKey(kVkEnd);
    DriverFrame(2);
    EXPECT_FALSE(g_app.overlay.overlay_open.load());
    DriverKey(kVkF5);
    DriverFrame(2);
    EXPECT_TRUE(g_app.overlay.overlay_open.load());
    EXPECT_EQ(Sounds(), std::vector<std::string>{"tick"});
}

TEST_F(OverlayUi, AToggleBetweenTheRenderThreadsReadsIsNeverLost)
{
    // Window thread and close box at once: whichever runs second sees the first.
    g_app.overlay.overlay_open = true;
    CloseOverlay();
    EXPECT_FALSE(g_app.overlay.overlay_open.load());
    CloseOverlay();
    EXPECT_FALSE(g_app.overlay.overlay_open.load()) << "closing a closed menu does not open it";
    EXPECT_TRUE(ToggleOverlay());
    EXPECT_FALSE(ToggleOverlay());
}

TEST_F(OverlayUi, AFrameLeftHalfwayByAnExceptionIsClosedAndTheNextOneDraws)
{
    g_app.shell.current_page = PageHowTo;
    OpenMenu();
    ImGuiContext& g = *GImGui;
    ImGui::NewFrame();
    ImGui::PushStyleVar(ImGuiStyleVar_Alpha, 0.5f);
    ImGui::PushFont(ImGui::GetIO().Fonts->Fonts[0]);
    ImGui::Begin("Kestrel Multiplayer");
    ImGui::BeginChild("content");
    ImGui::PushStyleColor(ImGuiCol_Text, 0u);
    ImGui::PushID("row");
    ImGui::BeginGroup();
    // ...and here a page threw.
    RecoverOverlayFrame();
    EXPECT_EQ(g.CurrentWindowStack.Size, 1) << "only Dear ImGui's fallback window is left";
    EXPECT_EQ(g.StyleVarStack.Size, 0);
    EXPECT_EQ(g.ColorStack.Size, 0);
    EXPECT_EQ(g.FontStack.Size, 0);
    EXPECT_EQ(g.GroupStack.Size, 0);
    ImGui::EndFrame();
    ImGui::Render();
    DriverFrame(2);
    EXPECT_TRUE(Shows("Co-op in 5 easy steps.")) << "the next frame draws as before";
    EXPECT_EQ(ImGui::GetStyle().Alpha, 1.0f);
}

namespace {

// The sidebar's own "Sign Out" is in sight, and works, at the default size
// and at the smallest window the shell lets the player drag it to.
TEST_F(OverlayUi, TheSidebarSignOutShowsAtTheDefaultAndTheSmallestWindow)
{
    g_app.shell.current_page = PageHome;
    for (float height : {640.0f, 120.0f}) {
        g_ui.main_window_w = 880.0f;
        g_ui.main_window_h = height;
        g_ui.was_fully_open = false; // placed anew, as on opening
        OpenMenu();
        DriverFrame(2);
        const DriverItem* button = nullptr;
        for (const DriverItem& item : DriverItems())
            if (item.label == "Sign Out" && item.window.find("sidebar") != std::string::npos)
                button = &item;
        ASSERT_NE(button, nullptr) << height;
        const ImGuiWindow* sidebar = ImGui::FindWindowByName(button->window.c_str());
        ASSERT_NE(sidebar, nullptr);
        EXPECT_LE(button->rect.Max.y, sidebar->InnerClipRect.Max.y) << "window height " << height;
        EXPECT_GE(button->rect.Min.y, sidebar->InnerClipRect.Min.y);
        EXPECT_EQ(sidebar->Scroll.y, 0.0f);
        DriverClickAt(button->rect.GetCenter());
        DriverFrame(21);
        EXPECT_EQ(g_app.shell.current_page, PageSignIn) << "window height " << height;
        g_app.shell.current_page = PageHome;
        CloseMenu();
    }
}

} // namespace
