// The menu window around the pages.
//
// Index of this file:
// [SECTION] Animation and placement
// [SECTION] Sidebar
// [SECTION] Content area
// [SECTION] Menu window
#include "ui/shell.h"

#include "backend/account.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/overlay_input.h"
#include "ui/palette.h"
#include "ui/pages/pages.h"
#include "ui/ui_state.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr float kWindowTop = 48.0f;
constexpr float kSidebarWidth = 190.0f;

//-----------------------------------------------------------------------------
// [SECTION] Animation and placement
//-----------------------------------------------------------------------------

float Smooth(float a)
{
    return a * a * (3.0f - 2.0f * a);
}

// A page asked for fades the content out, switches, and fades it in again.
void StepPageTransition(float dt)
{
    ShellState& s = g_app.shell;
    if (s.pending_page >= 0) {
        s.page_fade -= 6.0f * dt;
        if (s.page_fade <= 0.0f) {
            s.current_page = s.pending_page;
            s.pending_page = -1;
            s.page_fade = 0.0f;
        }
    } else if (s.page_fade < 1.0f) {
        s.page_fade = std::min(1.0f, s.page_fade + 6.0f * dt);
    }
}

// The window's top: below the Co-op button where the centred window would
// reach under it (a narrow display), else the usual margin.
float WindowTop(float width)
{
    const float x1 = (ImGui::GetIO().DisplaySize.x + width) * 0.5f;
    const bool under_button = g_ui.coop_max.x > g_ui.coop_min.x && x1 > g_ui.coop_min.x;
    return under_button ? std::max(kWindowTop, g_ui.coop_max.y + 8.0f) : kWindowTop;
}

// On a display smaller than the window the applied size shrinks to fit below
// the top margin, so every button stays reachable; the remembered size is the
// player's and is left alone.
ImVec2 FitToDisplay(ImVec2 size)
{
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    size.x = std::max(1.0f, std::min(size.x, display.x));
    size.y = std::max(1.0f, std::min(size.y, display.y - WindowTop(size.x)));
    return size;
}

void PlaceWindow(ImVec2 size)
{
    const float x = std::max(0.0f, (ImGui::GetIO().DisplaySize.x - size.x) * 0.5f);
    ImGui::SetNextWindowPos(ImVec2(x, WindowTop(size.x)), ImGuiCond_Always);
    ImGui::SetNextWindowSize(size, ImGuiCond_Always);
    g_ui.applied_w = size.x;
    g_ui.applied_h = size.y;
}

// While animating the window scales from 96 % on every frame. Fully open it
// is placed once, on its first fully-open frame (again only if the display
// no longer fits it), and from then on a size the player drags is remembered.
// Returns true when the shell set the size this frame.
bool PlaceMenuWindow(float ease, bool fully_open)
{
    if (!fully_open) {
        const float s = 0.96f + 0.04f * ease;
        PlaceWindow(FitToDisplay(ImVec2(g_ui.main_window_w * s, g_ui.main_window_h * s)));
        return true;
    }
    const ImVec2 want = FitToDisplay(ImVec2(g_ui.main_window_w, g_ui.main_window_h));
    if (!g_ui.was_fully_open || want.x != g_ui.applied_w || want.y != g_ui.applied_h) {
        PlaceWindow(want);
        return true;
    }
    return false;
}

void RememberPlayerSize()
{
    const ImVec2 now = ImGui::GetWindowSize();
    if (now.x == g_ui.applied_w && now.y == g_ui.applied_h)
        return;
    g_ui.main_window_w = g_ui.applied_w = now.x;
    g_ui.main_window_h = g_ui.applied_h = now.y;
}

//-----------------------------------------------------------------------------
// [SECTION] Sidebar
//-----------------------------------------------------------------------------

void ProfileBlock()
{
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const float w = std::max(1.0f, ImGui::GetContentRegionAvail().x);
    const bool clicked = ImGui::InvisibleButton("##profilebtn", ImVec2(w, 36.0f));
    KitReportLabel(GImGui->LastItemData.ID, "##profilebtn");
    const bool hovered = ImGui::IsItemHovered();
    ImDrawList* dl = ImGui::GetWindowDrawList();
    dl->AddCircleFilled(ImVec2(p.x + 14.0f, p.y + 14.0f), 12.0f, PackCol(hovered ? ColAccentHover : ColAccent));
    // display_name is written only on this thread.
    KitDrawText(dl, ImVec2(p.x + 34.0f, p.y), PackCol(ColText), g_app.account.display_name);
    KitDrawText(dl, ImVec2(p.x + 34.0f, p.y + 16.0f), PackCol(ColMuted), "View profile");
    if (clicked && g_app.shell.current_page != PageProfile)
        NavigateTo(PageProfile);
}

void DrawSidebar()
{
    // Scrolls (wheel or bar) only where the display is too short for it.
    ImGui::BeginChild("sidebar", ImVec2(kSidebarWidth, 0.0f), true);
    if (FontSmall)
        ImGui::PushFont(FontSmall);
    TextColoured(ColAccent, "KESTREL");
    TextColoured(ColAccent, "MULTIPLAYER");
    if (FontSmall)
        ImGui::PopFont();
    ImGui::Dummy(ImVec2(0.0f, 14.0f));
    NavButton("  Home", PageHome);
    NavButton("  Matchmaking", PageMatchmaking);
    NavButton("  Create", PageCreate);
    NavButton("  Search", PageSearch);
    NavButton("  How to Use", PageHowTo);
    NavButton("  Settings", PageSettings);
    // The block below sits at the bottom, by the height it took last frame:
    // a fixed guess left "Sign Out" below the edge, out of sight.
    const float spacing = ImGui::GetStyle().ItemSpacing.y;
    const float top = ImGui::GetCursorPosY();
    const float filler = ImGui::GetContentRegionAvail().y - spacing - g_ui.sidebar_foot_h;
    if (filler > 0.0f)
        ImGui::Dummy(ImVec2(0.0f, filler));
    const float foot_start = ImGui::GetCursorScreenPos().y;
    ImGui::Separator();
    ImGui::Dummy(ImVec2(0.0f, 8.0f));
    ProfileBlock();
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    if (ImGui::SmallButton("Sign Out"))
        SignOut();
    g_ui.sidebar_foot_h = ImGui::GetItemRectMax().y - foot_start;
    const float sidebar_h = ImGui::GetWindowHeight();
    const float need = top + g_ui.sidebar_foot_h + ImGui::GetStyle().WindowPadding.y;
    ImGui::EndChild();
    // The smallest window the shell allows still shows the whole sidebar.
    g_ui.min_window_h = need + (ImGui::GetWindowHeight() - sidebar_h);
}

//-----------------------------------------------------------------------------
// [SECTION] Content area
//-----------------------------------------------------------------------------

void DrawCurrentPage()
{
    switch (g_app.shell.current_page) {
    case PageHome: DrawHomePage(); break;
    case PageCreate: DrawCreateRoomPage(); break;
    case PageSearch: DrawFindRoomPage(); break;
    case PageMatchmaking: DrawMatchmakingPage(); break;
    case PageProfile: DrawProfilePage(); break;
    case PageSettings: DrawSettingsPage(); break;
    case PageHowTo: DrawHowToUsePage(); break;
    case PageFriends: DrawFriendsPage(); break;
    case PageMessages: DrawMessagesPage(); break;
    default: break;
    }
}

// The page slides in from 26 px to the right while it fades in.
void DrawContent(float ease)
{
    const float f = Smooth(g_app.shell.page_fade);
    const float slide = (1.0f - f) * 26.0f;
    ImGui::PushStyleVar(ImGuiStyleVar_Alpha, f * ease);
    ImGui::BeginChild("content", ImVec2(0.0f, 0.0f), false);
    // One scroll area serves every page: a page opened starts at its top, not
    // where the last one was scrolled to (the switch frame draws at alpha 0).
    if (g_ui.content_page != g_app.shell.current_page) {
        g_ui.content_page = g_app.shell.current_page;
        ImGui::SetScrollY(0.0f);
    }
    ImGui::Indent(slide + 20.0f);
    DrawCurrentPage();
    ImGui::Unindent(slide + 20.0f);
    ImGui::EndChild();
    ImGui::PopStyleVar();
}

bool IsFullWindowPage(int32_t page)
{
    return page == PageSignIn || page == PageSignUp || page == PageForgotPassword || page == PageWelcome;
}

void DrawFullWindowPage(float dt)
{
    switch (g_app.shell.current_page) {
    case PageSignIn: DrawSignInPage(); break;
    case PageSignUp: DrawSignUpPage(); break;
    case PageForgotPassword: DrawForgotPasswordPage(); break;
    case PageWelcome: DrawWelcomePage(dt); break;
    default: break;
    }
}

} // namespace

//-----------------------------------------------------------------------------
// [SECTION] Menu window
//-----------------------------------------------------------------------------

void DrawMenuWindow(float dt)
{
    const bool open = g_app.overlay.overlay_open.load();
    g_ui.overlay_anim += ((open ? 1.0f : 0.0f) - g_ui.overlay_anim) * (1.0f - std::exp(-12.0f * dt));
    if (g_ui.overlay_anim < 0.01f) {
        g_ui.was_fully_open = false;
        g_ui.menu_max = g_ui.menu_min = ImVec2(0.0f, 0.0f);
        return;
    }
    StepPageTransition(dt);

    const float a = g_ui.overlay_anim;
    const float ease = Smooth(a);
    const bool fully_open = open && a >= 0.999f;
    const bool placed = PlaceMenuWindow(ease, fully_open);
    // The smallest size the player may drag to shows the whole sidebar, but
    // never more than the display holds: there the sidebar scrolls instead.
    if (g_ui.min_window_h > 0.0f) {
        const float room = ImGui::GetIO().DisplaySize.y - WindowTop(g_ui.applied_w);
        ImGui::SetNextWindowSizeConstraints(ImVec2(kSidebarWidth + 200.0f, std::max(1.0f, std::min(g_ui.min_window_h, room))),
                                            ImVec2(FLT_MAX, FLT_MAX));
    }
    ImGui::SetNextWindowBgAlpha(0.98f * ease);
    ImGui::PushStyleVar(ImGuiStyleVar_Alpha, ease);
    if (FontUi)
        ImGui::PushFont(FontUi);
    bool keep_open = true;
    const ImGuiWindowFlags flags =
        ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse | ImGuiWindowFlags_NoCollapse;
    const bool visible = ImGui::Begin("Kestrel Multiplayer", &keep_open, flags);
    // Where the window and its title bar are, for the toasts to keep clear of.
    {
        ImGuiWindow* w = ImGui::GetCurrentWindow();
        g_ui.menu_min = w->Pos;
        g_ui.menu_max = ImVec2(w->Pos.x + w->Size.x, w->Pos.y + w->Size.y);
        g_ui.menu_title_h = w->TitleBarHeight();
        g_ui.menu_title_w = ImGui::CalcTextSize("Kestrel Multiplayer").x;
    }
    if (visible) {
        if (fully_open && g_ui.was_fully_open && !placed)
            RememberPlayerSize();
        if (g_app.update_notice.update_required.load())
            DrawUpdateNotice();
        else if (IsFullWindowPage(g_app.shell.current_page))
            DrawFullWindowPage(dt);
        else {
            DrawSidebar();
            ImGui::SameLine();
            DrawContent(ease);
        }
    }
    ImGui::End();
    if (FontUi)
        ImGui::PopFont();
    ImGui::PopStyleVar();
    if (!keep_open)
        CloseOverlay();
    g_ui.was_fully_open = fully_open;
}
