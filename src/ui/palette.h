// The overlay's colours and the style of its first frame.
#pragma once

#include <imgui.h>

// Palette (constant for the life of the process).
extern const ImVec4 ColText;        // primary text, hovered labels
extern const ImVec4 ColMuted;       // secondary text, field labels, hints
extern const ImVec4 ColDim;         // faint text
extern const ImVec4 ColAccent;      // primary buttons, kickers, rules
extern const ImVec4 ColAccentHover; // accent when hovered or pressed
extern const ImVec4 ColGold;        // warnings and error lines
extern const ImVec4 ColGreen;       // good state
extern const ImVec4 ColWarn;        // something the player should act on (versions, a plain link)
extern const ImVec4 ColPanel;       // dark panel fill
extern const ImVec4 ColOnAccent;    // text on an accent-filled button

// A colour packed for a draw list, its alpha (times `alpha`) multiplied by the
// current style alpha, so draw-list shapes fade with the widgets around them.
ImU32 PackCol(const ImVec4& col, float alpha = 1.0f);

// The overlay's style values and colours (first frame only).
void ApplyOverlayStyle(ImGuiStyle& style);
