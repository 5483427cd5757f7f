// The overlay's three fonts. Null until AddOverlayFonts ran (or when a face is
// missing); widgets skip the font switch then.
#pragma once

struct ImFont;
struct ImFontAtlas;

extern ImFont* FontUi;      // first face (Inter Regular), 18 px, the default font
extern ImFont* FontDisplay; // second face (Roboto Medium), 34 px
extern ImFont* FontSmall;   // first face, 13 px

// Adds the three fonts to the atlas (FontUi first, so it is the default) and
// builds it. Returns false when the atlas could not be built.
bool AddOverlayFonts(ImFontAtlas& atlas);
