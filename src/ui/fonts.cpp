#include "ui/fonts.h"

#include "assets/font_faces.h"

#include <imgui.h>

ImFont* FontUi = nullptr;
ImFont* FontDisplay = nullptr;
ImFont* FontSmall = nullptr;

namespace {

ImFont* AddPacked(ImFontAtlas& atlas, const unsigned char* data, unsigned int size, float px)
{
    if (size == 0)
        return nullptr;
    return atlas.AddFontFromMemoryCompressedTTF(data, (int)size, px);
}

} // namespace

bool AddOverlayFonts(ImFontAtlas& atlas)
{
    FontUi = AddPacked(atlas, kInterRegularPacked, kInterRegularPackedSize, 18.0f);
    FontDisplay = AddPacked(atlas, kRobotoMediumPacked, kRobotoMediumPackedSize, 34.0f);
    FontSmall = AddPacked(atlas, kInterRegularPacked, kInterRegularPackedSize, 13.0f);
    return atlas.Build();
}
