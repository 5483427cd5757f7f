// The two font faces, compiled in as Dear ImGui compressed TTF images
// (generated at build time by tools/fontpack from the Debian font packages).
#pragma once

extern const unsigned char kInterRegularPacked[];
extern const unsigned int kInterRegularPackedSize;
extern const unsigned char kRobotoMediumPacked[];
extern const unsigned int kRobotoMediumPackedSize;
