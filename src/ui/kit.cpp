// The widget kit. Colours given with an alpha go through PackCol so every
// shape fades with the style alpha, as the widgets around it do.
//
// Index of this file:
// [SECTION] Text
// [SECTION] Buttons
// [SECTION] Row buttons
// [SECTION] Headings and rules
// [SECTION] Sign-in page decoration
// [SECTION] Shell

#include "ui/kit.h"

#include "backend/click_sounds.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/palette.h"
#include "ui/ui_state.h"

#include <imgui_internal.h>

#include <cmath>
#include <cstring>
#include <mutex>

namespace {

const ImVec4 kWhite(1.0f, 1.0f, 1.0f, 1.0f);
const ImVec4 kBlack(0.0f, 0.0f, 0.0f, 1.0f);

// Identifiers are built on the stack: an open menu draws many of them a frame.
constexpr int kIdCapacity = 256;

void PushFontIf(ImFont* font)
{
    if (font)
        ImGui::PushFont(font);
}

void PopFontIf(ImFont* font)
{
    if (font)
        ImGui::PopFont();
}

void TextRangeColoured(const ImVec4& col, const char* text, const char* text_end)
{
    NoteTextGlyphs(text, text_end);
    ImGui::PushStyleColor(ImGuiCol_Text, col);
    ImGui::TextUnformatted(text, text_end);
    ImGui::PopStyleColor();
}

} // namespace

//-----------------------------------------------------------------------------
// [SECTION] Text
//-----------------------------------------------------------------------------

void KitDrawText(ImDrawList* dl, const ImVec2& pos, ImU32 col, const char* text, const char* text_end)
{
    KitDrawText(dl, nullptr, 0.0f, pos, col, text, text_end);
}

void KitDrawText(ImDrawList* dl, ImFont* font, float size, const ImVec2& pos, ImU32 col, const char* text,
                 const char* text_end, float wrap_width)
{
    if ((col & IM_COL32_A_MASK) == 0 || !text)
        return;
    NoteTextGlyphs(text, text_end);
    dl->AddText(font, size, pos, col, text, text_end, wrap_width);
#ifdef IMGUI_ENABLE_TEST_ENGINE
    // Draw-list text never reaches Dear ImGui's log by itself; one line per call.
    // Outside any window (the foreground list) the log is off: the test
    // engine's own log entry carries it then.
    ImGuiContext& g = *GImGui;
    if (!text_end)
        text_end = text + strlen(text);
    if (g.LogEnabled) {
        if (!g.LogLineFirstItem)
            ImGui::LogText(IM_NEWLINE);
        ImGui::LogText("%.*s" IM_NEWLINE, (int)(text_end - text), text);
        g.LogLineFirstItem = true;
    } else {
        IMGUI_TEST_ENGINE_LOG("%.*s", (int)(text_end - text), text);
    }
#endif
}

void KitReportLabel(ImGuiID id, const char* shown_label)
{
#ifdef IMGUI_ENABLE_TEST_ENGINE
    ImGuiContext& g = *GImGui;
    IMGUI_TEST_ENGINE_ITEM_INFO(id, shown_label, 0);
#else
    (void)id;
    (void)shown_label;
#endif
}

void KitReportLabelBox(ImGuiID id, const ImVec2& box_min, const ImVec2& box_max, const ImVec2& label_min,
                       const ImVec2& label_max)
{
#ifdef IMGUI_ENABLE_TEST_ENGINE
    KitTestHookLabelBox(id, box_min, box_max, label_min, label_max);
#else
    (void)id, (void)box_min, (void)box_max, (void)label_min, (void)label_max;
#endif
}

void TextColoured(const ImVec4& col, const char* text)
{
    TextRangeColoured(col, text, nullptr);
}

void TextWrappedColoured(const ImVec4& col, const char* text)
{
    ImGui::PushTextWrapPos(0.0f);
    TextRangeColoured(col, text, nullptr);
    ImGui::PopTextWrapPos();
}

void FieldLabel(const char* text)
{
    TextColoured(ColMuted, text);
}

void TextInFont(ImFont* font, const ImVec4& col, const char* text)
{
    PushFontIf(font);
    TextColoured(col, text);
    PopFontIf(font);
}

//-----------------------------------------------------------------------------
// [SECTION] Buttons
//-----------------------------------------------------------------------------

namespace {

// The full-width button of OutlineButton and GhostButton: an invisible button
// whose identity is `prefix` + label (equal labels share one button) under a
// centred label, with the outline only when `outlined`.
bool LabelButton(const char* prefix, const char* label, float height, bool outlined, const ImVec4& idle_col,
                 const std::vector<uint8_t>& sound)
{
    char id_str[kIdCapacity];
    ImFormatString(id_str, sizeof(id_str), "%s%s", prefix, label);
    const float width = ImMax(1.0f, ImGui::GetContentRegionAvail().x);
    const ImVec2 min = ImGui::GetCursorScreenPos();
    const ImRect r(min, ImVec2(min.x + width, min.y + height));
    const ImGuiID id = ImGui::GetID(id_str);
    const bool clicked = ImGui::InvisibleButton(id_str, ImVec2(width, height));
    KitReportLabel(id, label);
    const bool hovered = ImGui::IsItemHovered();

    ImDrawList* dl = ImGui::GetWindowDrawList();
    if (outlined) {
        if (hovered)
            dl->AddRectFilled(r.Min, r.Max, PackCol(kWhite, 0.05f), 9.0f);
        dl->AddRect(r.Min, r.Max, hovered ? PackCol(ColAccentHover) : PackCol(kWhite, 0.16f), 9.0f, 0, 1.5f);
    }
    const ImVec2 size = ImGui::CalcTextSize(label);
    const ImVec2 pos(r.Min.x + (width - std::ceil(size.x)) * 0.5f, r.Min.y + (height - size.y) * 0.5f);
    KitDrawText(dl, pos, PackCol(hovered ? ColText : idle_col), label);
    if (clicked)
        PlayClickSound(sound);
    return clicked;
}

} // namespace

bool AccentButton(const char* label, const ImVec2& size)
{
    ImGui::PushStyleColor(ImGuiCol_Button, ColAccent);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ColAccentHover);
    ImGui::PushStyleColor(ImGuiCol_ButtonActive, ColAccentHover);
    ImGui::PushStyleColor(ImGuiCol_Text, ColOnAccent);
    const bool clicked = ImGui::Button(label, size);
    ImGui::PopStyleColor(4);
    if (clicked)
        PlayClickSound(SoundConfirm);
    return clicked;
}

bool OutlineButton(const char* label, float height)
{
    return LabelButton("##ob_", label, height, true, ColMuted, SoundTick);
}

bool GhostButton(const char* label, float height)
{
    return LabelButton("##gb_", label, height, false, ColDim, SoundBack);
}

void SegmentedPair(const char* const labels[2])
{
    ImGui::PushID("vis");
    const float width = ImMax(1.0f, (ImGui::GetContentRegionAvail().x - ImGui::GetStyle().ItemSpacing.x) * 0.5f);
    for (int i = 0; i < 2; i++) {
        if (i == 1)
            ImGui::SameLine();
        const bool selected = g_ui.segmented_choice == i;
        if (selected) {
            ImGui::PushStyleColor(ImGuiCol_Button, ColAccent);
            ImGui::PushStyleColor(ImGuiCol_Text, ColOnAccent);
        }
        if (ImGui::Button(labels[i], ImVec2(width, 0.0f)))
            g_ui.segmented_choice = i;
        if (selected)
            ImGui::PopStyleColor(2);
    }
    ImGui::PopID();
}

bool ActionTile(const char* title, const char* subtitle)
{
    char id_str[kIdCapacity];
    ImFormatString(id_str, sizeof(id_str), "##btn_%s", title);
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const ImVec2 size = ImGui::CalcItemSize(ImVec2(-1.0f, 64.0f), 0.0f, 0.0f);
    const ImGuiID id = ImGui::GetID(id_str);
    const bool clicked = ImGui::Button(id_str, size);
    KitReportLabel(id, title);
    const bool hovered = ImGui::IsItemHovered();
    ImDrawList* dl = ImGui::GetWindowDrawList();
    KitDrawText(dl, FontUi, 19.0f, ImVec2(p.x + 16.0f, p.y + 12.0f), PackCol(hovered ? ColAccentHover : ColText), title);
    KitDrawText(dl, ImVec2(p.x + 16.0f, p.y + 38.0f), PackCol(ColMuted), subtitle);
    KitDrawText(dl, ImVec2(p.x + size.x - 30.0f, p.y + 22.0f), PackCol(ColAccent), ">");
    if (clicked)
        PlayClickSound(SoundConfirm);
    return clicked;
}

//-----------------------------------------------------------------------------
// [SECTION] Row buttons
//-----------------------------------------------------------------------------

namespace {

// Padding around a row button's label, in proportion to the font, so the box
// grows with the label at every size.
ImVec2 RowButtonPadding()
{
    const float f = ImGui::GetFontSize();
    return ImVec2(std::round(0.6f * f), std::round(0.25f * f));
}

float RowButtonGap()
{
    return std::round(0.45f * ImGui::GetFontSize());
}

} // namespace

float RowButtonWidth(const char* label)
{
    const float f = ImGui::GetFontSize();
    const float text = std::ceil(ImGui::CalcTextSize(label, nullptr, true).x);
    return ImMax(std::round(3.6f * f), text + 2.0f * RowButtonPadding().x);
}

void RowButtonsStart(const char* const* labels, int count)
{
    float total = 0.0f;
    for (int i = 0; i < count; i++)
        total += RowButtonWidth(labels[i]) + (i > 0 ? RowButtonGap() : 0.0f);
    // The content region's right edge stops short of a scrollbar.
    const float right = ImGui::GetWindowContentRegionMax().x;
    ImGui::SameLine(ImMax(ImGui::GetCursorPosX(), right - total));
    g_ui.row_button_index = 0;
}

bool RowButton(const char* label, RowButtonStyle style, bool enabled)
{
    if (g_ui.row_button_index++ > 0)
        ImGui::SameLine(0.0f, RowButtonGap());
    ImGuiWindow* window = ImGui::GetCurrentWindow();
    const ImGuiID id = window->GetID(label);
    const ImVec2 pad = RowButtonPadding();
    const ImVec2 text = ImGui::CalcTextSize(label, nullptr, true);
    const ImVec2 size(RowButtonWidth(label), std::round(text.y + 2.0f * pad.y));
    // Centred on the row's line, which is one frame high (the row's text is
    // aligned to the frame padding).
    const float line_h = ImGui::GetFrameHeight();
    const ImVec2 at = window->DC.CursorPos;
    const ImVec2 min(at.x, std::round(at.y + ImMax(0.0f, (line_h - size.y) * 0.5f)));
    const ImRect box(min, ImVec2(min.x + size.x, min.y + size.y));
    ImGui::ItemSize(ImVec2(size.x, ImMax(line_h, size.y)));
    if (!enabled)
        ImGui::BeginDisabled();
    bool clicked = false;
    if (ImGui::ItemAdd(box, id)) {
        bool hovered = false, held = false;
        clicked = ImGui::ButtonBehavior(box, id, &hovered, &held);
        KitReportLabel(id, label);
        const bool accent = style == RowAccent;
        const ImVec4 fill = accent ? (hovered || held ? ColAccentHover : ColAccent)
                                   : ImGui::GetStyleColorVec4(held ? ImGuiCol_ButtonActive
                                                              : hovered ? ImGuiCol_ButtonHovered
                                                                        : ImGuiCol_Button);
        ImDrawList* dl = window->DrawList;
        dl->AddRectFilled(box.Min, box.Max, PackCol(fill), 6.0f);
        const char* end = ImGui::FindRenderedTextEnd(label);
        const ImVec2 label_min(std::round(box.Min.x + (size.x - text.x) * 0.5f),
                               std::round(box.Min.y + (size.y - text.y) * 0.5f));
        KitDrawText(dl, label_min, PackCol(accent ? ColOnAccent : ColText), label, end);
        KitReportLabelBox(id, box.Min, box.Max, label_min, ImVec2(label_min.x + text.x, label_min.y + text.y));
        if (clicked && accent)
            PlayClickSound(SoundConfirm);
    }
    if (!enabled)
        ImGui::EndDisabled();
    return clicked;
}

bool KitSliderInt(const char* id, int* value, int lo, int hi, const char* format)
{
    char shown[32], widest[32];
    ImFormatString(shown, sizeof(shown), format, *value);
    // As wide as the widest value, so the slider does not shift while dragged.
    ImFormatString(widest, sizeof(widest), format, ImAbs(lo) > ImAbs(hi) ? lo : hi);
    const float gap = ImGui::GetStyle().ItemInnerSpacing.x * 2.0f;
    const float value_w = std::ceil(ImGui::CalcTextSize(widest).x) + 8.0f;
    ImGui::SetNextItemWidth(ImMax(40.0f, ImGui::GetContentRegionAvail().x - value_w - gap));
    const bool typing = ImGui::TempInputIsActive(ImGui::GetID(id));
    if (!typing)
        ImGui::PushStyleColor(ImGuiCol_Text, ImVec4(0, 0, 0, 0));
    bool changed = ImGui::SliderInt(id, value, lo, hi, format, ImGuiSliderFlags_AlwaysClamp);
    if (!typing)
        ImGui::PopStyleColor();
    *value = ImClamp(*value, lo, hi);
    ImGui::SameLine(0.0f, gap);
    if (changed)
        ImFormatString(shown, sizeof(shown), format, *value);
    ImGui::AlignTextToFramePadding();
    TextColoured(ColText, shown);
    return changed;
}

bool LinkButton(const char* label)
{
    const ImVec2 size = ImGui::CalcTextSize(label, nullptr, true);
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const ImGuiID id = ImGui::GetID(label);
    const bool clicked = ImGui::InvisibleButton(label, ImVec2(ImMax(1.0f, size.x), size.y));
    KitReportLabel(id, label);
    const bool hovered = ImGui::IsItemHovered();
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const ImU32 col = PackCol(hovered ? ColAccentHover : ColAccent);
    KitDrawText(dl, p, col, label, ImGui::FindRenderedTextEnd(label));
    if (hovered)
        dl->AddLine(ImVec2(p.x, p.y + size.y), ImVec2(p.x + size.x, p.y + size.y), col, 1.0f);
    if (clicked)
        PlayClickSound(SoundTick);
    return clicked;
}

//-----------------------------------------------------------------------------
// [SECTION] Headings and rules
//-----------------------------------------------------------------------------

void PageHeader(const char* kicker, const char* title)
{
    ImGui::Dummy(ImVec2(0.0f, 14.0f));
    PushFontIf(FontSmall);
    TextColoured(ColAccent, kicker);
    PopFontIf(FontSmall);
    PushFontIf(FontDisplay);
    TextColoured(ColText, title);
    PopFontIf(FontDisplay);
    ImGui::Dummy(ImVec2(0.0f, 8.0f));
    ImGui::Separator();
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
}

void AccentRule()
{
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const float w = ImGui::GetContentRegionAvail().x;
    const float y0 = p.y + 6.0f, y1 = y0 + 1.5f, mid = p.x + w * 0.5f;
    const ImU32 clear = PackCol(ColAccent, 0.0f);
    const ImU32 solid = PackCol(ColAccent, 0.5f);
    ImDrawList* dl = ImGui::GetWindowDrawList();
    dl->AddRectFilledMultiColor(ImVec2(p.x, y0), ImVec2(mid, y1), clear, solid, solid, clear);
    dl->AddRectFilledMultiColor(ImVec2(mid, y0), ImVec2(p.x + w, y1), solid, clear, clear, solid);
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
}

void StepRow(int number, const char* title, const char* text)
{
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const ImVec2 centre(p.x + 16.0f, p.y + 16.0f);
    ImDrawList* dl = ImGui::GetWindowDrawList();
    dl->AddCircleFilled(centre, 16.0f, PackCol(ColAccent));
    char digits[16];
    ImFormatString(digits, sizeof(digits), "%d", number);
    const ImVec2 ds = ImGui::CalcTextSize(digits);
    KitDrawText(dl, ImVec2(centre.x - ds.x * 0.5f, centre.y - ds.y * 0.5f), PackCol(ColOnAccent), digits);
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + 48.0f);
    ImGui::BeginGroup();
    TextColoured(ColText, title);
    TextWrappedColoured(ColMuted, text);
    ImGui::EndGroup();
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
}

//-----------------------------------------------------------------------------
// [SECTION] Sign-in page decoration
//-----------------------------------------------------------------------------

void AuthCard(const ImVec2& pos, const ImVec2& size)
{
    const float x = pos.x, y = pos.y, w = size.x, h = size.y;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    for (int i = 8; i >= 1; i--) {
        const float d = (float)i;
        dl->AddRectFilled(ImVec2(x - d, y - d + 6.0f), ImVec2(x + w + d, y + h + d + 6.0f),
                          PackCol(kBlack, d * 0.055f * 0.125f), 20.0f);
    }
    dl->AddRectFilled(pos, ImVec2(x + w, y + h), PackCol(ImVec4(0.09f, 0.097f, 0.114f, 1.0f)), 16.0f);
    const ImU32 sheen_top = PackCol(kWhite, 0.035f), sheen_bottom = PackCol(kWhite, 0.0f);
    dl->AddRectFilledMultiColor(pos, ImVec2(x + w, y + 0.34f * h), sheen_top, sheen_top, sheen_bottom, sheen_bottom);
    dl->AddRect(pos, ImVec2(x + w, y + h), PackCol(kWhite, 0.07f), 16.0f, 0, 1.0f);
    dl->AddRectFilled(ImVec2(x + 12.0f, y + 22.0f), ImVec2(x + 15.0f, y + h - 22.0f), PackCol(ColAccent, 0.9f), 2.0f);
}

void AuthStatusLine()
{
    const int32_t status = g_app.flags.auth_status.load();
    if (status == AuthRunning) {
        TextColoured(ColMuted, "Please wait...");
    } else if (status == AuthFailed) {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        TextColoured(ColGold, g_app.account.auth_message.c_str());
    }
}

void BrandTitle(const char* text, const unsigned char* flags, int count)
{
    const char* end = text + strlen(text);
    PushFontIf(FontDisplay);
    // Measured as drawn: one character at a time, each rounded up.
    float total = 0.0f;
    int n = 0;
    for (const char* s = text; s < end && n < count; n++) {
        unsigned int c;
        const char* next = s + ImTextCharFromUtf8(&c, s, end);
        total += std::ceil(ImGui::CalcTextSize(s, next).x);
        s = next;
    }
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + ImMax(0.0f, (ImGui::GetContentRegionAvail().x - total) * 0.5f));
    const ImVec4 red(0.82f, 0.18f, 0.20f, 1.0f), white(0.95f, 0.96f, 0.98f, 1.0f);
    n = 0;
    for (const char* s = text; s < end && n < count; n++) {
        unsigned int c;
        const char* next = s + ImTextCharFromUtf8(&c, s, end);
        if (n > 0)
            ImGui::SameLine(0.0f, 0.0f);
        TextRangeColoured(flags && flags[n] ? red : white, s, next);
        s = next;
    }
    PopFontIf(FontDisplay);
}

void Backdrop(const ImVec2& pos, const ImVec2& size, const ImVec2& centre)
{
    const float x = pos.x, y = pos.y, w = size.x, h = size.y, cx = centre.x, cy = centre.y;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    dl->PushClipRect(pos, ImVec2(x + w, y + h), true);

    const ImU32 dot = PackCol(kWhite, 0.02f);
    for (float row = y + 20.0f; row < y + h; row += 32.0f)
        for (float col = x + 20.0f; col < x + w; col += 32.0f)
            dl->AddRectFilled(ImVec2(col, row), ImVec2(col + 2.0f, row + 2.0f), dot);

    dl->AddCircle(centre, 360.0f, PackCol(ColAccent, 0.045f), 96, 1.5f);
    dl->AddCircle(centre, 250.0f, PackCol(ColAccent, 0.065f), 96, 1.5f);

    const ImU32 tick = PackCol(ColAccent, 0.1f);
    dl->AddLine(ImVec2(cx - 348.0f, cy), ImVec2(cx - 372.0f, cy), tick, 1.5f);
    dl->AddLine(ImVec2(cx + 372.0f, cy), ImVec2(cx + 348.0f, cy), tick, 1.5f);
    dl->AddLine(ImVec2(cx, cy - 348.0f), ImVec2(cx, cy - 372.0f), tick, 1.5f);
    dl->AddLine(ImVec2(cx, cy + 372.0f), ImVec2(cx, cy + 348.0f), tick, 1.5f);

    for (int i = 7; i >= 1; i--)
        dl->AddCircleFilled(centre, (float)i * 300.0f / 7.0f, PackCol(ColAccent, (float)(8 - i) * 0.016f / 7.0f), 64);

    const ImU32 shade = PackCol(kBlack, 0.3f), clear = PackCol(kBlack, 0.0f);
    dl->AddRectFilledMultiColor(pos, ImVec2(x + w, y + 0.32f * h), shade, shade, clear, clear);
    dl->AddRectFilledMultiColor(ImVec2(x, y + h - 0.32f * h), ImVec2(x + w, y + h), clear, clear, shade, shade);
    dl->AddRectFilledMultiColor(pos, ImVec2(x + 0.3f * w, y + h), shade, clear, clear, shade);
    dl->AddRectFilledMultiColor(ImVec2(x + w - 0.3f * w, y), ImVec2(x + w, y + h), clear, shade, shade, clear);

    dl->PopClipRect();
}

//-----------------------------------------------------------------------------
// [SECTION] Shell
//-----------------------------------------------------------------------------

bool NavButton(const char* label, int32_t page)
{
    const bool current = g_app.shell.current_page == page;
    ImGui::PushStyleColor(ImGuiCol_Button, current ? ColAccent : ImVec4(0.0f, 0.0f, 0.0f, 0.0f));
    ImGui::PushStyleColor(ImGuiCol_Text, current ? ColOnAccent : ColMuted);
    const bool clicked = ImGui::Button(label, ImVec2(-FLT_MIN, 40.0f));
    ImGui::PopStyleColor(2);
    if (clicked) {
        PlayClickSound(SoundTick);
        if (!current)
            NavigateTo(page);
    }
    return clicked;
}
