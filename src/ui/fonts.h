// The overlay's three fonts and their atlas. Null until AddOverlayFonts ran (or
// when a face is missing); widgets skip the font switch then.
//
// The shipped faces cover the Latin, Greek and Cyrillic scripts players write
// in. Chinese, Japanese and Korean come from the system's own fonts, on
// demand: text drawn with characters the atlas lacks is noted, and between
// frames, at most every kGrowIntervalSeconds, the atlas is rebuilt with those
// characters merged in. The renderer then re-creates its font texture.
#pragma once

#include "platform/platform.h"

#include <imgui.h>

#include <cstddef>
#include <vector>

extern ImFont* FontUi;      // first face (Inter Regular), 18 px, the default font
extern ImFont* FontDisplay; // second face (Roboto Medium), 34 px
extern ImFont* FontSmall;   // first face, 13 px

// The shipped faces' ranges: Latin with its extensions (Vietnamese included),
// Greek, Cyrillic, general punctuation and currency signs.
const ImWchar* OverlayGlyphRanges();

// Adds the three fonts to the atlas (FontUi first, so it is the default), with
// the characters grown so far merged in, and builds it. False when the atlas
// could not be built.
bool AddOverlayFonts(ImFontAtlas& atlas);

//-----------------------------------------------------------------------------
// [SECTION] Growth
//-----------------------------------------------------------------------------

const double kGrowIntervalSeconds = 0.25;
// Beyond this many grown characters the atlas stops growing (the rest stay
// "?"), so it always fits one texture a game's device accepts.
const int kMaxGrownGlyphs = 3000;

struct FontGrowthStats
{
    int builds = 0;          // rebuilds that added characters
    int grown = 0;           // characters asked of the system's fonts so far
    int pending = 0;         // noted, waiting for the next rebuild
    bool built_in_frame = false; // a rebuild ever ran between NewFrame and EndFrame
    double last_build_ms = 0.0;  // CPU time of the last rebuild
};

// Notes characters of `text` the atlas lacks. Cheap for text it has: one
// lookup per non-ASCII character.
void NoteTextGlyphs(const char* text, const char* text_end = nullptr);

// Between frames: when characters are waiting and the last rebuild is at
// least kGrowIntervalSeconds old (`now` in Dear ImGui's seconds), rebuilds the
// atlas with them. True when it did: the renderer must re-create its font
// texture before the next frame is drawn. With no system font for them the
// characters are dropped and nothing changes.
bool GrowFontAtlasIfDue(ImFontAtlas& atlas, double now);

FontGrowthStats FontGrowthInfo();

// Forgets what was grown and noted (a new context starts from the shipped
// faces), and chooses where system fonts are looked for (nullptr: the
// platform's own finder).
void ResetFontGrowth(std::vector<SystemFontFile> (*find)(CjkScript) = nullptr);
