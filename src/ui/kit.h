// The widget kit: the overlay's own buttons, headings and decorations. Free
// functions drawing at the cursor of the current window; the clickable ones
// return true on the frame they were clicked.
//
// Index of this file:
// [SECTION] Text
// [SECTION] Buttons
// [SECTION] Row buttons
// [SECTION] Headings and rules
// [SECTION] Sign-in page decoration
// [SECTION] Shell
#pragma once

#include <imgui.h>

#include <cstdint>

//-----------------------------------------------------------------------------
// [SECTION] Text
//-----------------------------------------------------------------------------

// Text drawn straight onto a draw list (skipped when fully transparent). Test
// builds also report it to the UI test driver's log, so tests can read it.
void KitDrawText(ImDrawList* dl, const ImVec2& pos, ImU32 col, const char* text, const char* text_end = nullptr);
void KitDrawText(ImDrawList* dl, ImFont* font, float size, const ImVec2& pos, ImU32 col, const char* text,
                 const char* text_end = nullptr, float wrap_width = 0.0f);
// A label for an item whose Dear ImGui label is hidden ("##..."): test builds
// tell the driver the shown text, so tests click it by what a player reads.
void KitReportLabel(ImGuiID id, const char* shown_label);
// A widget that lays out its own label tells test builds where its box and
// its label went, so a test can check the label sits inside.
void KitReportLabelBox(ImGuiID id, const ImVec2& box_min, const ImVec2& box_max, const ImVec2& label_min,
                       const ImVec2& label_max);
#ifdef IMGUI_ENABLE_TEST_ENGINE
// Defined by the UI test driver.
void KitTestHookLabelBox(ImGuiID id, const ImVec2& box_min, const ImVec2& box_max, const ImVec2& label_min,
                         const ImVec2& label_max);
#endif

// `text` in a colour, never treated as a format string.
void TextColoured(const ImVec4& col, const char* text);
void TextWrappedColoured(const ImVec4& col, const char* text);
void FieldLabel(const char* text);
// TextColoured in `font`; a missing font (null) keeps the current one.
void TextInFont(ImFont* font, const ImVec4& col, const char* text);

//-----------------------------------------------------------------------------
// [SECTION] Buttons
//-----------------------------------------------------------------------------

bool AccentButton(const char* label, const ImVec2& size = ImVec2(0, 0)); // SoundConfirm
bool OutlineButton(const char* label, float height);                     // "##ob_" + label, SoundTick
bool GhostButton(const char* label, float height);                       // "##gb_" + label, SoundBack
// Two equal buttons; the choice (0 or 1) lives in the UI state and survives
// leaving the page.
void SegmentedPair(const char* const labels[2]);
bool ActionTile(const char* title, const char* subtitle);                // "##btn_" + title, SoundConfirm

// A full-width integer slider whose value is written beside it, where the
// grab never covers it (typing a value with Ctrl+click shows it in the box).
// Clamped to lo..hi, typed values too. True on the frame the value changed.
bool KitSliderInt(const char* id, int* value, int lo, int hi, const char* format);

// A small inline text that acts as a button ("Show details"), SoundTick.
bool LinkButton(const char* label);

//-----------------------------------------------------------------------------
// [SECTION] Row buttons
//-----------------------------------------------------------------------------

// The small buttons at the end of a list row (Join, Message, Remove, Accept,
// Decline). A row's text is aligned to the frame padding; its buttons are
// centred on that line, their boxes sized from the font, so the label sits
// inside at every font size.
enum RowButtonStyle
{
    RowPlain,  // the style's button colours
    RowAccent  // accent fill, SoundConfirm on click
};
float RowButtonWidth(const char* label);
// Moves to the end of this line so that buttons with these labels, drawn
// next with RowButton, end at the content's right edge (clear of a scrollbar).
void RowButtonsStart(const char* const* labels, int count);
bool RowButton(const char* label, RowButtonStyle style, bool enabled = true);

//-----------------------------------------------------------------------------
// [SECTION] Headings and rules
//-----------------------------------------------------------------------------

void PageHeader(const char* kicker, const char* title);
void AccentRule();
void StepRow(int number, const char* title, const char* text);

//-----------------------------------------------------------------------------
// [SECTION] Sign-in page decoration
//-----------------------------------------------------------------------------

void AuthCard(const ImVec2& pos, const ImVec2& size);
void AuthStatusLine();
void BrandTitle(const char* text, const unsigned char* flags, int count);
void Backdrop(const ImVec2& pos, const ImVec2& size, const ImVec2& centre);

//-----------------------------------------------------------------------------
// [SECTION] Shell
//-----------------------------------------------------------------------------

// A sidebar entry: highlighted on its page, navigates elsewhere, ticks always.
bool NavButton(const char* label, int32_t page);
