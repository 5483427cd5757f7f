// What the player sees over the game. The hint, the bars and the toasts go to
// the foreground draw list, so the menu window never hides them; the button
// is a window of its own, so it takes clicks like any other.
//
// Index of this file:
// [SECTION] Co-op button
// [SECTION] Open-menu hint
// [SECTION] Connection bars
// [SECTION] Toasts
#include "ui/indicators.h"

#include "backend/click_sounds.h"
#include "link/peer_link.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/overlay_input.h"
#include "ui/pages/pages.h"
#include "ui/palette.h"
#include "ui/session_status.h"
#include "ui/ui_state.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

namespace {

const ImVec4 kWhite(1.0f, 1.0f, 1.0f, 1.0f);
const ImVec4 kBlack(0.0f, 0.0f, 0.0f, 1.0f);
constexpr float kMargin = 18.0f;      // from the display's top and right edges
constexpr float kButtonW = 134.0f;    // Co-op button at scale 1
constexpr float kButtonH = 47.0f;

float Smooth(float p)
{
    return p * p * (3.0f - 2.0f * p);
}

float FrameDt()
{
    const float dt = ImGui::GetIO().DeltaTime;
    return dt > 0.0f ? dt : 0.016f;
}

ImVec4 WithAlpha(ImVec4 col, float alpha)
{
    col.w = alpha;
    return col;
}

float TextWidth(ImFont* font, float size, const char* text)
{
    return std::ceil(font->CalcTextSizeA(size, FLT_MAX, 0.0f, text).x);
}

} // namespace

//-----------------------------------------------------------------------------
// [SECTION] Co-op button
//-----------------------------------------------------------------------------

void DrawCoopButton()
{
    const ImGuiIO& io = ImGui::GetIO();
    const SettingsRecord& st = g_app.settings;
    const float s = st.btn_scale_pct;
    const ImVec2 size(kButtonW * s, kButtonH * s);
    const ImVec2 pos(io.DisplaySize.x - size.x - kMargin, kMargin);
    g_ui.coop_min = pos;
    g_ui.coop_max = ImVec2(pos.x + size.x, pos.y + size.y);

    const ImVec2 pad = ImGui::GetStyle().TouchExtraPadding;
    const ImRect touch(pos.x - pad.x, pos.y - pad.y, pos.x + size.x + pad.x, pos.y + size.y + pad.y);
    const bool hovered = touch.Contains(io.MousePos);
    g_ui.coop_hover += (1.0f - std::exp(-14.0f * FrameDt())) * ((hovered ? 1.0f : 0.0f) - g_ui.coop_hover);
    const float a = st.btn_alpha_pct;
    const float o = a + (1.0f - a) * g_ui.coop_hover;

    ImGui::SetNextWindowPos(pos, ImGuiCond_Always);
    ImGui::SetNextWindowSize(size, ImGuiCond_Always);
    ImGui::SetNextWindowBgAlpha(0.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0.0f, 0.0f));
    // The smallest button (scale 0.6) is below Dear ImGui's minimum window size.
    ImGui::PushStyleVar(ImGuiStyleVar_WindowMinSize, ImVec2(1.0f, 1.0f));
    const ImGuiWindowFlags flags = ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize |
                                   ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoScrollbar |
                                   ImGuiWindowFlags_NoBackground | ImGuiWindowFlags_NoFocusOnAppearing |
                                   ImGuiWindowFlags_NoNav;
    ImGui::Begin("##mp_toggle", nullptr, flags);
    ImGui::SetWindowFontScale(1.4f * s);
    // The fill tells the session's state as every other surface does. The
    // label stays opaque once the button shows at all: dark text at the
    // button's own transparency turned grey and unreadable.
    const float label_alpha = ImMin(1.0f, o * 4.0f);
    ImGui::PushStyleColor(ImGuiCol_Button, WithAlpha(CurrentSessionStatus().button, o));
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, WithAlpha(ColAccentHover, o));
    ImGui::PushStyleColor(ImGuiCol_ButtonActive, WithAlpha(ColAccentHover, o));
    ImGui::PushStyleColor(ImGuiCol_Text, WithAlpha(ColOnAccent, label_alpha));
    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 12.0f);
    if (ImGui::Button("Co-op", ImVec2(-1.0f, -1.0f))) {
        ToggleOverlay();
        PlayClickSound(SoundTick);
    }
    ImGui::PopStyleVar();
    ImGui::PopStyleColor(4);
    ImGui::SetWindowFontScale(1.0f);
    ImGui::End();
    ImGui::PopStyleVar(2);
}

//-----------------------------------------------------------------------------
// [SECTION] Open-menu hint
//-----------------------------------------------------------------------------

void DrawOpenMenuHint(float dt)
{
    // Shown after start-up and after every close; gone for good once opened.
    const bool open = g_app.overlay.overlay_open.load();
    g_ui.hint_bottom = 0.0f;
    if (open && !g_ui.hint_was_open)
        g_ui.hint_active = false;
    if (!open && g_ui.hint_was_open) {
        g_ui.hint_active = true;
        g_ui.hint_timer = 0.0f;
    }
    g_ui.hint_was_open = open;
    if (open || !g_ui.hint_active || !g_app.settings.hint)
        return;

    g_ui.hint_timer += dt;
    const float t = g_ui.hint_timer;
    float p = 1.0f;
    if (t < 0.45f)
        p = t / 0.45f;
    else if (t >= 5.45f) {
        g_ui.hint_active = false;
        return;
    } else if (t >= 4.6f)
        p = 1.0f - (t - 4.6f) / 0.85f;
    if (p <= 0.0f)
        return;
    const float e = Smooth(p);

    ImFont* font = FontUi ? FontUi : ImGui::GetFont();
    const float f = font->FontSize;
    // The cap names the key that really opens the menu, also after a rebind.
    const std::string key = KeyName();
    const float w_press = TextWidth(font, f, "Press"), w_key = TextWidth(font, f, key.c_str());
    const float w_or = TextWidth(font, f, "or click"), w_coop = TextWidth(font, f, "Co-op");
    const float w_to = TextWidth(font, f, "to open the menu");
    const float cap_w = w_key + 18.0f, cap_h = f + 7.0f;
    const float width = w_press + 8.0f + cap_w + 8.0f + w_or + 8.0f + w_coop + 8.0f + w_to + 36.0f;
    const float height = f + 31.0f;
    const float s = g_app.settings.btn_scale_pct;
    const float right = ImGui::GetIO().DisplaySize.x - kMargin, x0 = right - width;
    const float y0 = kMargin + kButtonH * s + 12.0f - (1.0f - e) * 8.0f;
    g_ui.hint_bottom = y0 + height + 9.0f; // its shadow included

    ImDrawList* dl = ImGui::GetForegroundDrawList();
    for (int k = 6; k >= 1; k--) {
        const float d = (float)k;
        dl->AddRectFilled(ImVec2(x0 - d, y0 - d + 3.0f), ImVec2(right + d, y0 + height + d + 3.0f),
                          PackCol(kBlack, d * 0.05f / 6.0f * e), 12.0f);
    }
    const ImU32 body = PackCol(ImVec4(0.078f, 0.086f, 0.104f, 1.0f), 0.97f * e);
    const float cx = right - 67.0f * s; // under the button's centre
    dl->AddTriangleFilled(ImVec2(cx - 8.0f, y0 + 1.0f), ImVec2(cx + 8.0f, y0 + 1.0f), ImVec2(cx, y0 - 9.0f), body);
    dl->AddRectFilled(ImVec2(x0, y0), ImVec2(right, y0 + height), body, 12.0f);
    const ImU32 clear = PackCol(ColAccent, 0.0f), accent = PackCol(ColAccent, 0.9f * e);
    dl->AddRectFilledMultiColor(ImVec2(x0 + 12.0f, y0), ImVec2(right - 12.0f, y0 + 2.0f), clear, accent, accent, clear);
    dl->AddRect(ImVec2(x0, y0), ImVec2(right, y0 + height), PackCol(kWhite, 0.08f * e), 12.0f, 0, 1.0f);

    const float ty = y0 + (height - f) * 0.5f;
    const ImU32 muted = PackCol(ColMuted, 0.95f * e);
    float x = x0 + 18.0f;
    KitDrawText(dl, font, f, ImVec2(x, ty), muted, "Press");
    x += w_press + 8.0f;
    const float cap_y0 = y0 + (height - cap_h) * 0.5f, cap_y1 = cap_y0 + cap_h;
    dl->AddRectFilled(ImVec2(x, cap_y0), ImVec2(x + cap_w, cap_y1), PackCol(ImVec4(0.17f, 0.19f, 0.22f, 1.0f), e), 5.0f);
    dl->AddRect(ImVec2(x, cap_y0), ImVec2(x + cap_w, cap_y1), PackCol(kWhite, 0.18f * e), 5.0f, 0, 1.0f);
    dl->AddLine(ImVec2(x + 3.0f, cap_y1 - 2.0f), ImVec2(x + cap_w - 3.0f, cap_y1 - 2.0f), PackCol(kBlack, 0.35f * e), 1.5f);
    KitDrawText(dl, font, f, ImVec2(x + (cap_w - w_key) * 0.5f, ty), PackCol(ColText, e), key.c_str());
    x += cap_w + 8.0f;
    KitDrawText(dl, font, f, ImVec2(x, ty), muted, "or click");
    x += w_or + 8.0f;
    KitDrawText(dl, font, f, ImVec2(x, ty), PackCol(ColAccentHover, e), "Co-op");
    x += w_coop + 8.0f;
    KitDrawText(dl, font, f, ImVec2(x, ty), muted, "to open the menu");
}

//-----------------------------------------------------------------------------
// [SECTION] Connection bars
//-----------------------------------------------------------------------------

void DrawConnectionBars()
{
    if (!g_app.settings.conn || !g_app.flags.link_running.load())
        return;
    const int32_t rtt = LinkRttMs();
    const int32_t loss = LinkLossPercent(); // -1 (nothing old enough) passes every test
    const char* label = "Poor";
    int lit = 1;
    ImVec4 col(0.86f, 0.22f, 0.22f, 1.0f);
    float w = 0.46f;
    if (rtt < 0) {
        label = "Measuring", lit = 0, col = ColMuted;
    } else if (rtt < 60 && loss <= 1) {
        label = "Excellent", lit = 4, col = ColGreen;
    } else if (rtt < 120 && loss < 5) {
        label = "Good", lit = 3, col = ColGreen;
    } else if (rtt < 200 && loss < 12) {
        label = "Okay", lit = 2, col = ColGold;
    } else {
        // A weak link brightens the whole readout and pulses.
        w = 0.62f + 0.3f * (0.5f + 0.5f * (float)std::sin(3.0 * ImGui::GetTime()));
    }
    const SessionStatus status = CurrentSessionStatus();
    const bool away = status.pill[0] != 0;
    if (away) {
        // Old figures would only mislead while one side is gone.
        label = status.pill;
        lit = 0, col = ColGold;
        w = 0.62f + 0.3f * (0.5f + 0.5f * (float)std::sin(3.0 * ImGui::GetTime()));
    }

    ImFont* font = FontSmall ? FontSmall : ImGui::GetFont();
    const float size = font->FontSize;
    // The pill grows for a long word, never shrinks below its usual size.
    const float right = ImMax(136.0f, 68.0f + std::ceil(font->CalcTextSizeA(size, FLT_MAX, 0.0f, label).x) + 12.0f);
    ImDrawList* dl = ImGui::GetForegroundDrawList();
    dl->AddRectFilled(ImVec2(18.0f, 18.0f), ImVec2(right, 62.0f),
                      PackCol(ImVec4(0.05f, 0.055f, 0.066f, 1.0f), 0.3f + 0.25f * w), 9.0f);
    dl->AddRect(ImVec2(18.0f, 18.0f), ImVec2(right, 62.0f), PackCol(col, 0.1f + 0.45f * w), 9.0f, 0, 1.0f);
    for (int i = 0; i < 4; i++) {
        const float x = 30.0f + 10.0f * (float)i, h = 6.0f + 5.0f * (float)i;
        dl->AddRectFilled(ImVec2(x, 49.0f - h), ImVec2(x + 6.0f, 49.0f),
                          i < lit ? PackCol(col, 0.15f + 0.85f * w) : PackCol(kWhite, 0.1f * w), 1.5f);
    }
    KitDrawText(dl, font, size, ImVec2(68.0f, 26.0f), PackCol(col, 0.15f + 0.85f * w), label);
    if (rtt >= 0 && !away) {
        char ms[24];
        ImFormatString(ms, sizeof(ms), "%d ms", (int)rtt);
        KitDrawText(dl, font, size, ImVec2(68.0f, 26.0f + size + 2.0f), PackCol(kWhite, 0.05f + 0.55f * w), ms);
    }
}

//-----------------------------------------------------------------------------
// [SECTION] Toasts
//-----------------------------------------------------------------------------

namespace {

// Starts the clocks of toasts seen for the first time, drops the expired ones
// and copies the rest into the UI state's list, whose storage is reused.
void TakeToastsToDraw(double now)
{
    std::lock_guard<std::mutex> hold(g_app.toasts.lock);
    std::vector<Toast>& q = g_app.toasts.queue;
    for (Toast& t : q)
        if (t.start < 0.0)
            t.start = now;
    q.erase(std::remove_if(q.begin(), q.end(), [now](const Toast& t) { return now - t.start > t.duration; }),
            q.end());
    g_ui.toasts_drawn = q;
}

float ToastEase(const Toast& t, double now)
{
    const float age = (float)(now - t.start);
    float p = 1.0f;
    if (age < 0.25f)
        p = age * 4.0f;
    else if (age > t.duration - 0.55f)
        p = (t.duration - age) / 0.55f;
    return Smooth(ImClamp(p, 0.0f, 1.0f));
}

// `text` cut to fit `width` at `size`, with "..." where it was cut (at a
// character boundary).
const char* FitText(ImFont* font, float size, const char* text, float width, std::string& out)
{
    if (font->CalcTextSizeA(size, FLT_MAX, 0.0f, text).x <= width)
        return text;
    const float dots = font->CalcTextSizeA(size, FLT_MAX, 0.0f, "...").x;
    const char* end = nullptr;
    font->CalcTextSizeA(size, ImMax(0.0f, width - dots), 0.0f, text, nullptr, &end);
    out.assign(text, end);
    out += "...";
    return out.c_str();
}

// While the menu window stands where the stack would go, the newest toast
// shows as one line in the window's title bar, between the title and the
// close box: the one strip of the window that holds no control.
void DrawTitleBarToast(const Toast& t, double now, float opacity)
{
    ImFont* font = FontSmall ? FontSmall : ImGui::GetDefaultFont();
    const float size = font->FontSize;
    const float left = g_ui.menu_min.x + ImGui::GetStyle().FramePadding.x + g_ui.menu_title_w + 24.0f;
    // The close box is as wide as the bar is high, inside the frame padding.
    float right = g_ui.menu_max.x - ImGui::GetStyle().FramePadding.x - g_ui.menu_title_h - 12.0f;
    const float h = size + 12.0f;
    const float y0 = g_ui.menu_min.y + ImMax(2.0f, (g_ui.menu_title_h - h) * 0.5f);
    // On a narrow display the Co-op button reaches down over the title bar.
    const float s = g_app.settings.btn_scale_pct;
    const float button_x0 = ImGui::GetIO().DisplaySize.x - kMargin - kButtonW * s;
    if (kMargin + kButtonH * s > y0 && button_x0 < right)
        right = button_x0 - 12.0f;
    if (right - left < 120.0f)
        return;
    const float a = ToastEase(t, now) * opacity;
    const float title_w = std::ceil(font->CalcTextSizeA(size, FLT_MAX, 0.0f, t.title.c_str()).x);
    const float room = right - left - 24.0f - title_w - 10.0f;
    std::string cut;
    const char* body = room > 30.0f ? FitText(font, size, t.text.c_str(), room, cut) : "";
    const float body_w = std::ceil(font->CalcTextSizeA(size, FLT_MAX, 0.0f, body).x);
    const float w = ImMin(right - left, 24.0f + title_w + (body[0] ? 10.0f + body_w : 0.0f));
    const float x0 = right - w;
    ImDrawList* dl = ImGui::GetForegroundDrawList();
    dl->AddRectFilled(ImVec2(x0, y0), ImVec2(right, y0 + h), PackCol(ImVec4(0.075f, 0.083f, 0.099f, 1.0f), 0.97f * a),
                      h * 0.5f);
    dl->AddRect(ImVec2(x0, y0), ImVec2(right, y0 + h), PackCol(ColAccent, 0.6f * a), h * 0.5f, 0, 1.0f);
    dl->PushClipRect(ImVec2(x0, y0), ImVec2(right, y0 + h), true);
    KitDrawText(dl, font, size, ImVec2(x0 + 12.0f, y0 + 6.0f), PackCol(ColAccentHover, a), t.title.c_str());
    if (body[0])
        KitDrawText(dl, font, size, ImVec2(x0 + 22.0f + title_w, y0 + 6.0f), PackCol(ColText, 0.92f * a), body);
    dl->PopClipRect();
    g_ui.toast_rects.push_back(ImVec4(x0, y0, right, y0 + h));
}

} // namespace

void DrawToasts()
{
    const double now = ImGui::GetTime();
    TakeToastsToDraw(now);
    g_ui.toast_rects.clear();
    if (g_ui.toasts_drawn.empty())
        return;

    const SettingsRecord& st = g_app.settings;
    const float s = st.notif_scale_pct, opacity = st.notif_alpha_pct;
    const int style = st.notif_style;
    ImFont* title_font = FontUi ? FontUi : ImGui::GetDefaultFont();
    ImFont* body_font = FontSmall ? FontSmall : ImGui::GetDefaultFont();
    const float tsize = s * title_font->FontSize, bsize = s * body_font->FontSize;
    const float width = 296.0f * s;
    const float bar = style == 0 ? 6.0f : 0.0f; // the accent bar moves the text right
    const float wrap = width - 28.0f * s - bar;
    const ImVec4 fill = style == 1 ? ImVec4(0.06f, 0.066f, 0.078f, 1.0f) : ImVec4(0.075f, 0.083f, 0.099f, 1.0f);
    const float fill_alpha = style == 1 ? 0.86f : 0.97f;

    const float display_w = ImGui::GetIO().DisplaySize.x;
    const float stack_x0 = display_w - kMargin - width;
    const bool menu_shown = g_ui.menu_max.x > g_ui.menu_min.x;
    if (menu_shown && stack_x0 < g_ui.menu_max.x + 8.0f && display_w - kMargin > g_ui.menu_min.x) {
        DrawTitleBarToast(g_ui.toasts_drawn.back(), now, opacity);
        return;
    }

    ImDrawList* dl = ImGui::GetForegroundDrawList();
    // Under the Co-op button, and under the hint while it shows (drawn just
    // before), so neither hides the other.
    float y = ImMax(kMargin + kButtonH * st.btn_scale_pct + 14.0f, g_ui.hint_bottom + 6.0f);
    for (const Toast& t : g_ui.toasts_drawn) {
        const float e = ToastEase(t, now);
        const float a = e * opacity;

        const float body_h = body_font->CalcTextSizeA(bsize, FLT_MAX, wrap, t.text.c_str()).y;
        const float h = 20.0f * s + tsize + 4.0f + body_h;
        const float x0 = ImGui::GetIO().DisplaySize.x - kMargin - width + (1.0f - e) * 34.0f;
        const float y0 = y, x1 = x0 + width, y1 = y0 + h;
        for (int k = 5; k >= 1; k--) {
            const float d = (float)k;
            dl->AddRectFilled(ImVec2(x0 - d, y0 - d + 2.0f), ImVec2(x1 + d, y1 + d + 2.0f),
                              PackCol(kBlack, d * 0.05f / 5.0f * a), 10.0f);
        }
        dl->AddRectFilled(ImVec2(x0, y0), ImVec2(x1, y1), PackCol(fill, fill_alpha * a), 10.0f);
        if (style == 0)
            dl->AddRectFilled(ImVec2(x0, y0), ImVec2(x0 + 4.0f, y1), PackCol(ColAccent, a), 10.0f);
        else if (style == 2)
            dl->AddRectFilled(ImVec2(x0, y0), ImVec2(x1, y0 + tsize + 8.0f * s), PackCol(ColAccent, 0.3f * a), 10.0f);
        dl->AddRect(ImVec2(x0, y0), ImVec2(x1, y1), PackCol(kWhite, 0.08f * a), 10.0f, 0, 1.0f);

        const float tx = x0 + 14.0f * s + bar;
        KitDrawText(dl, title_font, tsize, ImVec2(tx, y0 + 10.0f * s), PackCol(ColAccentHover, a), t.title.c_str());
        KitDrawText(dl, body_font, bsize, ImVec2(tx, y0 + 10.0f * s + tsize + 3.0f), PackCol(ColText, 0.92f * a),
                    t.text.c_str(), nullptr, wrap);
        g_ui.toast_rects.push_back(ImVec4(x0, y0, x1, y1));
        y += h + 10.0f;
    }
}
