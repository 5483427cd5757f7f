// The font packer against Dear ImGui's own loader: what it packs must come
// back byte for byte, and the packed faces must rasterise as the raw ones.
#include "../../tools/fontpack/pack_compress.h"
#include "ui/fonts.h"

#include <gtest/gtest.h>
#include <imgui.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> ReadFile(const char* path)
{
    std::vector<uint8_t> out;
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// Unpacks through Dear ImGui's compressed-TTF loader (which keeps the
// unpacked bytes in the font's configuration until the atlas is cleared).
std::vector<uint8_t> UnpackWithImGui(const std::vector<uint8_t>& packed)
{
    ImFontAtlas atlas;
    atlas.AddFontFromMemoryCompressedTTF(packed.data(), (int)packed.size(), 13.0f);
    const ImFontConfig& cfg = atlas.ConfigData[0];
    const uint8_t* p = static_cast<const uint8_t*>(cfg.FontData);
    return std::vector<uint8_t>(p, p + cfg.FontDataSize);
}

void ExpectRoundTrip(const std::vector<uint8_t>& data, const char* what)
{
    const std::vector<uint8_t> packed = PackForImGui(data.data(), data.size());
    EXPECT_TRUE(UnpackWithImGui(packed) == data) << what << ": unpacked bytes differ";
}

TEST(FontPack, AdlerChecksumMatchesTheStandardValues)
{
    const char* text = "Wikipedia";
    EXPECT_EQ(PackAdler32((const uint8_t*)text, std::strlen(text)), 0x11E60398u);
    EXPECT_EQ(PackAdler32(nullptr, 0), 1u);
    // Long input: the modulo must be taken before the sums overflow.
    std::vector<uint8_t> ff(1 << 20, 0xFF);
    uint64_t s1 = 1, s2 = 0;
    for (uint8_t b : ff) {
        s1 = (s1 + b) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    EXPECT_EQ(PackAdler32(ff.data(), ff.size()), (uint32_t)(s2 << 16 | s1));
}

TEST(FontPack, EveryTokenKindRoundTripsThroughDearImGui)
{
    std::mt19937 rng(1234);
    auto random_bytes = [&](size_t n) {
        std::vector<uint8_t> v(n);
        for (auto& b : v)
            b = (uint8_t)rng();
        return v;
    };
    ExpectRoundTrip({0x42}, "one byte");
    ExpectRoundTrip({1, 2}, "two bytes");
    ExpectRoundTrip(random_bytes(100000), "incompressible (long literal runs)");
    ExpectRoundTrip(std::vector<uint8_t>(300000, 7), "one long run (overlapping matches, split lengths)");

    // Repeats at growing distances reach the 2-, 3-, 4-, 5- and 6-byte match tokens.
    std::vector<uint8_t> far;
    const std::vector<uint8_t> block = random_bytes(3000);
    for (size_t gap : {100u, 10000u, 200000u, 700000u}) {
        far.insert(far.end(), block.begin(), block.end());
        const std::vector<uint8_t> filler = random_bytes(gap);
        far.insert(far.end(), filler.begin(), filler.end());
        far.insert(far.end(), block.begin(), block.end());
    }
    const std::vector<uint8_t> tail = random_bytes(70000);
    far.insert(far.end(), tail.begin(), tail.end());
    far.insert(far.end(), tail.begin(), tail.end()); // a match longer than 65536
    ExpectRoundTrip(far, "far and long matches");
}

TEST(FontPack, RepetitiveDataShrinksAndNoiseGrowsOnlyByTheFraming)
{
    std::vector<uint8_t> text;
    for (int i = 0; i < 2000; i++) {
        const std::string line = "glyph " + std::to_string(i % 37) + " advance 12\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    EXPECT_LT(PackForImGui(text.data(), text.size()).size(), text.size() / 10);

    std::mt19937 rng(99);
    std::vector<uint8_t> noise(50000);
    for (auto& b : noise)
        b = (uint8_t)rng();
    // 16-byte header, 6-byte trailer, 3 bytes per 65536-byte literal run.
    EXPECT_LE(PackForImGui(noise.data(), noise.size()).size(), noise.size() + 16 + 6 + 3 * 2);
}

struct Face
{
    const char* path;
    float px;
};

// Loads one face raw and packed into two atlases and compares what Dear
// ImGui made of each: metrics of every glyph and the atlas pixels.
void ExpectSameRasterisation(const Face& face)
{
    SCOPED_TRACE(face.path);
    std::vector<uint8_t> raw = ReadFile(face.path);
    ASSERT_FALSE(raw.empty()) << "font face missing";
    const std::vector<uint8_t> packed = PackForImGui(raw.data(), raw.size());
    EXPECT_LT(packed.size(), raw.size());

    ImFontAtlas a, b;
    ImFontConfig cfg;
    cfg.FontDataOwnedByAtlas = false;
    ImFont* fa = a.AddFontFromMemoryTTF(raw.data(), (int)raw.size(), face.px, &cfg);
    ImFont* fb = b.AddFontFromMemoryCompressedTTF(packed.data(), (int)packed.size(), face.px);
    ASSERT_TRUE(fa && fb);
    ASSERT_TRUE(a.Build());
    ASSERT_TRUE(b.Build());

    EXPECT_EQ(fa->FontSize, fb->FontSize);
    EXPECT_EQ(fa->Ascent, fb->Ascent);
    EXPECT_EQ(fa->Descent, fb->Descent);
    ASSERT_EQ(fa->Glyphs.Size, fb->Glyphs.Size);
    EXPECT_GT(fa->Glyphs.Size, 150) << "Latin-1 glyphs loaded";
    for (int i = 0; i < fa->Glyphs.Size; i++) {
        const ImFontGlyph& ga = fa->Glyphs[i];
        const ImFontGlyph& gb = fb->Glyphs[i];
        ASSERT_EQ(ga.Codepoint, gb.Codepoint);
        EXPECT_EQ(ga.AdvanceX, gb.AdvanceX) << "U+" << ga.Codepoint;
        EXPECT_EQ(ga.X0, gb.X0);
        EXPECT_EQ(ga.Y0, gb.Y0);
        EXPECT_EQ(ga.X1, gb.X1);
        EXPECT_EQ(ga.Y1, gb.Y1);
    }
    EXPECT_EQ(fa->CalcTextSizeA(face.px, 1e9f, 0.0f, "Kestrel Multiplayer").x,
              fb->CalcTextSizeA(face.px, 1e9f, 0.0f, "Kestrel Multiplayer").x);
    unsigned char *pa, *pb;
    int wa, ha, wb, hb;
    a.GetTexDataAsAlpha8(&pa, &wa, &ha);
    b.GetTexDataAsAlpha8(&pb, &wb, &hb);
    ASSERT_EQ(wa, wb);
    ASSERT_EQ(ha, hb);
    EXPECT_EQ(std::memcmp(pa, pb, (size_t)wa * (size_t)ha), 0) << "atlas pixels differ";
}

TEST(FontPack, PackedFacesRasteriseExactlyAsTheRawFaces)
{
    ExpectSameRasterisation({KESTREL_FONT_FIRST_FACE, 18.0f});
    ExpectSameRasterisation({KESTREL_FONT_FIRST_FACE, 13.0f});
    ExpectSameRasterisation({KESTREL_FONT_SECOND_FACE, 34.0f});
}

TEST(FontPack, TheOverlayFontsAreTheEmbeddedFacesAtTheirSizes)
{
    ImFontAtlas atlas;
    ASSERT_TRUE(AddOverlayFonts(atlas));
    ASSERT_EQ(atlas.Fonts.Size, 3);
    EXPECT_EQ(atlas.Fonts[0], FontUi) << "FontUi is the default font";
    EXPECT_EQ(FontUi->FontSize, 18.0f);
    EXPECT_EQ(FontDisplay->FontSize, 34.0f);
    EXPECT_EQ(FontSmall->FontSize, 13.0f);
    // The faces are the raw files: same bytes once unpacked.
    const std::vector<uint8_t> first = ReadFile(KESTREL_FONT_FIRST_FACE);
    const std::vector<uint8_t> second = ReadFile(KESTREL_FONT_SECOND_FACE);
    ASSERT_EQ(atlas.ConfigData.Size, 3);
    auto same = [](const ImFontConfig& c, const std::vector<uint8_t>& file) {
        return (size_t)c.FontDataSize == file.size() && std::memcmp(c.FontData, file.data(), file.size()) == 0;
    };
    EXPECT_TRUE(same(atlas.ConfigData[0], first));
    EXPECT_TRUE(same(atlas.ConfigData[1], second));
    EXPECT_TRUE(same(atlas.ConfigData[2], first));
    FontUi = FontDisplay = FontSmall = nullptr; // the atlas goes away with this test
}

} // namespace
