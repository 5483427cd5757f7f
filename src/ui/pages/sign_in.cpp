// The pages before the menu: sign in (0), create account (6), reset password
// (10) and the welcome page (7). They fill the window by themselves.
//
// Index of this file:
// [SECTION] Card
// [SECTION] Sign in
// [SECTION] Create account
// [SECTION] Reset password
// [SECTION] Welcome
#include "ui/pages/pages.h"

#include "backend/account.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/ui_state.h"
#include "state/utf8_text.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

//-----------------------------------------------------------------------------
// [SECTION] Card
//-----------------------------------------------------------------------------

struct CardLayout
{
    int index; // into UiState::card_need_h
    const char* id;
    float width;
    float margin, min_h, max_h; // height = clamp(remaining height - margin, min_h, max_h)
    ImVec2 window_padding;
    ImVec2 item_spacing;
    ImVec2 frame_padding;
};

const CardLayout kSignInCard = {0, "signin", 452.0f, 16.0f, 320.0f, 500.0f, {34, 26}, {10, 8}, {14, 9}};
const CardLayout kSignUpCard = {1, "signup", 440.0f, 12.0f, 340.0f, 528.0f, {34, 22}, {10, 6}, {14, 8}};
const CardLayout kForgotCard = {2, "forgot", 440.0f, 12.0f, 280.0f, 360.0f, {34, 24}, {10, 8}, {14, 9}};

// The card centred in what is left of the window, over the backdrop; the
// page's contents go between BeginCard and EndCard. A status or result line
// can need more than the card's usual height: the card then grows (within
// the window) rather than cut off the buttons below it, which may be the
// page's only way out.
void BeginCard(const CardLayout& c)
{
    const ImVec2 origin = ImGui::GetCursorScreenPos();
    const ImVec2 avail = ImGui::GetContentRegionAvail();
    float h = ImClamp(avail.y - c.margin, c.min_h, c.max_h);
    h = ImMax(h, ImMin(g_ui.card_need_h[c.index], avail.y - c.margin));
    const ImVec2 card(origin.x + (avail.x - c.width) * 0.5f, ImMax(origin.y + 6.0f, origin.y + (avail.y - h) * 0.5f));
    Backdrop(origin, avail, ImVec2(card.x + c.width * 0.5f, card.y + h * 0.5f));
    AuthCard(card, ImVec2(c.width, h));
    ImGui::SetCursorScreenPos(card);
    ImGui::PushStyleColor(ImGuiCol_ChildBg, ImVec4(0, 0, 0, 0));
    ImGui::PushStyleColor(ImGuiCol_Border, ImVec4(0, 0, 0, 0));
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, c.window_padding);
    ImGui::PushStyleVar(ImGuiStyleVar_ItemSpacing, c.item_spacing);
    ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, c.frame_padding);
    ImGui::BeginChild(c.id, ImVec2(c.width, h), true,
                      ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
}

void EndCard(const CardLayout& c)
{
    g_ui.card_need_h[c.index] = ImGui::GetCursorPosY() - ImGui::GetStyle().ItemSpacing.y + c.window_padding.y;
    ImGui::EndChild();
    ImGui::PopStyleVar(3);
    ImGui::PopStyleColor(2);
}

void Space(float h)
{
    ImGui::Dummy(ImVec2(0.0f, h));
}

// A full-width text field under its label.
void Field(const char* label, const char* id, char* buf, size_t size, ImGuiInputTextFlags flags = 0)
{
    FieldLabel(label);
    ImGui::SetNextItemWidth(-1.0f);
    ImGui::InputText(id, buf, size, flags);
}

// The title with red letters at the given byte positions (ASCII titles).
void Title(const char* text, int red_a, int red_b = -1)
{
    unsigned char flags[32] = {};
    const int n = (int)strlen(text);
    IM_ASSERT(n <= (int)sizeof(flags));
    flags[red_a] = 1;
    if (red_b >= 0)
        flags[red_b] = 1;
    BrandTitle(text, flags, n);
}

// The service's refusals can be longer than the card is wide.
void StatusLine()
{
    ImGui::PushTextWrapPos(0.0f);
    AuthStatusLine();
    ImGui::PopTextWrapPos();
}

} // namespace

//-----------------------------------------------------------------------------
// [SECTION] Sign in
//-----------------------------------------------------------------------------

void DrawSignInPage()
{
    BeginCard(kSignInCard);
    Space(6);
    Title("KESTREL MULTIPLAYER", 0, 8);
    if (FontSmall)
        ImGui::PushFont(FontSmall);
    const char* subtitle = "KESTREL  \xC2\xB7  CO-OP";
    const float sw = ImGui::CalcTextSize(subtitle).x;
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + ImMax(0.0f, (ImGui::GetContentRegionAvail().x - sw) * 0.5f));
    TextColoured(ColMuted, subtitle);
    if (FontSmall)
        ImGui::PopFont();
    Space(6);
    AccentRule();

    Field("USERNAME", "##si_user", g_ui.username, sizeof(g_ui.username));
    Space(2);
    Field("PASSWORD", "##si_pass", g_ui.password, sizeof(g_ui.password), ImGuiInputTextFlags_Password);
    Space(10);

    const bool running = g_app.flags.auth_status.load() == AuthRunning;
    if (AccentButton(running ? "Signing in..." : "Sign In", ImVec2(-1.0f, 44.0f)) && !running)
        StartSignIn(false, g_ui.username, g_ui.password, "", "");
    Space(2);
    if (OutlineButton("Create Account", 40.0f)) {
        ClearSignInFailure();
        NavigateTo(PageSignUp);
    }
    if (GhostButton("Continue as Guest", 34.0f)) {
        // A guest keeps no password around, as a finished sign-in does not.
        memset(g_ui.password, 0, sizeof(g_ui.password));
        ContinueAsGuest();
    }
    if (GhostButton("Forgot password?", 30.0f)) {
        g_app.flags.request_status.store(RequestIdle);
        NavigateTo(PageForgotPassword);
    }
    StatusLine();
    EndCard(kSignInCard);
}

//-----------------------------------------------------------------------------
// [SECTION] Create account
//-----------------------------------------------------------------------------

// Only enough to catch a slip: something before the "@", a dot after it, and
// no dot at the very end.
static bool EmailLooksValid(const char* text)
{
    const char* at = strchr(text, '@');
    const size_t n = strlen(text);
    return n > 0 && at && at != text && strchr(at, '.') && text[n - 1] != '.';
}

void DrawSignUpPage()
{
    BeginCard(kSignUpCard);
    Space(4);
    Title("CREATE ACCOUNT", 0, 7);
    Space(4);
    AccentRule();

    Field("USERNAME (for login)", "##su_user", g_ui.username, sizeof(g_ui.username));
    Field("GAMERTAG (shown to others)", "##su_tag", g_ui.gamertag, sizeof(g_ui.gamertag));
    Field("PASSWORD", "##su_pass", g_ui.password, sizeof(g_ui.password), ImGuiInputTextFlags_Password);
    TextInFont(FontSmall, ColDim, "8+ chars, one capital letter, one special character.");
    Field("EMAIL (for password recovery)", "##su_email", g_ui.signup_email, sizeof(g_ui.signup_email));
    Space(10);

    const bool running = g_app.flags.auth_status.load() == AuthRunning;
    if (AccentButton(running ? "Creating..." : "Create Account", ImVec2(-1.0f, 44.0f)) && !running) {
        if (EmailLooksValid(g_ui.signup_email)) {
            StartSignIn(true, g_ui.username, g_ui.password, g_ui.gamertag, g_ui.signup_email);
        } else {
            std::lock_guard<std::mutex> hold(g_app.account.lock);
            g_app.account.auth_message = "Please enter a valid email - it's needed to recover your password.";
            g_app.flags.auth_status.store(AuthFailed);
        }
    }
    if (GhostButton("Back to Sign In", 34.0f)) {
        ClearSignInFailure();
        NavigateTo(PageSignIn);
    }
    StatusLine();
    EndCard(kSignUpCard);
}

//-----------------------------------------------------------------------------
// [SECTION] Reset password
//-----------------------------------------------------------------------------

void DrawForgotPasswordPage()
{
    BeginCard(kForgotCard);
    Space(4);
    Title("RESET PASSWORD", 0);
    Space(4);
    AccentRule();
    TextWrappedColoured(ColMuted, "Enter your email and we'll send you a link to set a new password.");
    Space(8);
    FieldLabel("EMAIL");
    ImGui::SetNextItemWidth(-1.0f);
    ImGui::InputTextWithHint("##fp_email", "you@example.com", g_ui.reset_email, sizeof(g_ui.reset_email));
    Space(10);

    const int32_t status = g_app.flags.request_status.load();
    if (AccentButton(status == RequestSending ? "Sending..." : "Send reset link", ImVec2(-1.0f, 44.0f)) &&
        status != RequestSending) {
        if (g_ui.reset_email[0]) {
            StartAccountRequest(L"/request-reset", g_ui.reset_email, kResetDoneText);
        } else {
            std::lock_guard<std::mutex> hold(g_app.account_request.lock);
            g_app.account_request.request_message = "Please enter your email.";
            g_app.flags.request_status.store(RequestDone);
        }
    }
    if (g_app.flags.request_status.load() == RequestDone) {
        Space(4);
        std::lock_guard<std::mutex> hold(g_app.account_request.lock);
        TextWrappedColoured(ColGreen, g_app.account_request.request_message.c_str());
    }
    Space(2);
    if (GhostButton("Back to Sign In", 34.0f)) {
        g_app.flags.request_status.store(RequestIdle);
        NavigateTo(PageSignIn);
    }
    EndCard(kForgotCard);
}

//-----------------------------------------------------------------------------
// [SECTION] Welcome
//-----------------------------------------------------------------------------

void DrawWelcomePage(float dt)
{
    float& t = g_app.shell.welcome_timer;
    if (t < 0.0f)
        t = 0.0f;
    t += dt > 0.0f ? dt : 0.016f;
    const float a = ImSaturate(t < 0.6f ? t / 0.6f : t <= 2.2f ? 1.0f : 1.0f - (t - 2.2f) / 0.6f);

    Space(ImGui::GetContentRegionAvail().y * 0.42f);
    if (FontDisplay)
        ImGui::PushFont(FontDisplay);
    const char* const pieces[] = {"Welcome to ", "K", "estrel ", "M", "ultiplayer"};
    float total = 0.0f;
    for (const char* p : pieces)
        total += std::ceil(ImGui::CalcTextSize(p).x);
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + ImMax(0.0f, (ImGui::GetContentRegionAvail().x - total) * 0.5f));
    const ImVec4 red(0.86f, 0.22f, 0.22f, a), white(0.95f, 0.96f, 0.98f, a);
    for (int i = 0; i < IM_ARRAYSIZE(pieces); i++) {
        if (i > 0)
            ImGui::SameLine(0.0f, 0.0f);
        TextColoured(i == 1 || i == 3 ? red : white, pieces[i]);
    }
    if (FontDisplay)
        ImGui::PopFont();

    char line[96] = "";
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        if (!g_app.account.gamertag.empty())
            Utf8Format(line, sizeof(line), "Signed in as %s", g_app.account.gamertag.c_str());
    }
    if (line[0]) {
        Space(12);
        const float lw = ImGui::CalcTextSize(line).x;
        ImGui::SetCursorPosX(ImGui::GetCursorPosX() + ImMax(0.0f, (ImGui::GetContentRegionAvail().x - lw) * 0.5f));
        TextColoured(ImVec4(ColMuted.x, ColMuted.y, ColMuted.z, ColMuted.w * a), line);
    }

    ShellState& s = g_app.shell;
    if (t >= 2.8f && s.pending_page < 0 && s.current_page == PageWelcome) {
        g_app.flags.request_status.store(RequestIdle);
        s.pending_page = PageHome;
    }
}
