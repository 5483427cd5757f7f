// The overlay's three fonts and their atlas. Null until AddOverlayFonts ran (or
// when a face is missing); widgets skip the font switch then.
//
// The shipped faces cover the Latin, Greek and Cyrillic scripts players write
// in. Chinese, Japanese and Korean come from the system's own fonts, on
// demand: text drawn with characters the atlas lacks is noted; at most every
// kGrowIntervalSeconds a worker reads the fonts and builds a second atlas
// with them merged in, which is swapped in between two frames. The render
// thread then only uploads its texture.
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
    int builds = 0;          // rebuilt atlases swapped in
    int grown = 0;           // characters asked of the system's fonts so far
    int pending = 0;         // noted, waiting for the next rebuild
    bool built_in_frame = false; // a rebuild ever ran between NewFrame and EndFrame
    double last_build_ms = 0.0;  // the worker's time for the last build (fonts read, atlas, RGBA)
};

// Notes characters of `text` the atlas lacks. Cheap for text it has: one
// lookup per non-ASCII character.
void NoteTextGlyphs(const char* text, const char* text_end = nullptr);

// Inside a frame, after the widgets: notes the characters of the text field
// being edited, which Dear ImGui draws itself (typed or pasted text would
// otherwise stay "?" until drawn elsewhere).
void NoteActiveInputGlyphs();

// Render thread, between frames. A finished build replaces io.Fonts (and
// the three fonts): true then, and the renderer must re-create its font
// texture before the next frame is drawn (the new atlas's RGBA pixels are
// ready). Then, when characters are waiting, no build is in flight and the
// last one started at least kGrowIntervalSeconds ago (`now` in Dear ImGui's
// seconds), starts a build of them on a worker. Characters no system font
// has are dropped there and change nothing.
bool GrowFontAtlasIfDue(ImGuiIO& io, double now);

// A build is running (its atlas is swapped in by a later call).
bool FontBuildInFlight();
// The build in flight has finished: the next call swaps its atlas in.
bool FontBuildReady();

FontGrowthStats FontGrowthInfo();

// Forgets what was grown and noted (a new context starts from the shipped
// faces; a build in flight is waited for and dropped), and chooses where
// system fonts are looked for (nullptr: the platform's own finder).
void ResetFontGrowth(std::vector<SystemFontFile> (*find)(CjkScript) = nullptr);
