// Tells whether two screenshots show the same thing: pixels are compared
// with a tolerance for anti-aliasing and blending, and only blocks where
// several pixels moved count, so one-pixel rendering noise passes while a
// moved control, a changed word or a new colour does not.
//   kestrel-picture-diff OLD.png NEW.png [--ignore X0,Y0,X1,Y1]...
// Exit 0 when the pictures match, 1 when they differ (with where), 2 on errors.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kTile = 8;          // block size
constexpr int kChannelNoise = 40; // per-channel difference below this is noise
constexpr int kPixelsPerTile = 3; // fewer moved pixels in a block: noise

struct Box
{
    int x0, y0, x1, y1;
};

bool Inside(const std::vector<Box>& boxes, int x, int y)
{
    for (const Box& b : boxes)
        if (x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: kestrel-picture-diff OLD.png NEW.png [--ignore X0,Y0,X1,Y1]...\n");
        return 2;
    }
    std::vector<Box> ignore;
    for (int i = 3; i + 1 < argc; i += 2) {
        Box b{};
        if (std::sscanf(argv[i + 1], "%d,%d,%d,%d", &b.x0, &b.y0, &b.x1, &b.y1) != 4) {
            std::fprintf(stderr, "bad box %s\n", argv[i + 1]);
            return 2;
        }
        ignore.push_back(b);
    }
    int w0, h0, w1, h1, n;
    unsigned char* a = stbi_load(argv[1], &w0, &h0, &n, 4);
    unsigned char* b = stbi_load(argv[2], &w1, &h1, &n, 4);
    if (!a || !b) {
        std::fprintf(stderr, "cannot read %s\n", !a ? argv[1] : argv[2]);
        return 2;
    }
    if (w0 != w1 || h0 != h1) {
        std::printf("size %dx%d, now %dx%d\n", w0, h0, w1, h1);
        return 1;
    }
    const int tw = (w0 + kTile - 1) / kTile, th = (h0 + kTile - 1) / kTile;
    std::vector<int> moved((size_t)tw * th, 0);
    for (int y = 0; y < h0; y++)
        for (int x = 0; x < w0; x++) {
            const unsigned char* p = a + ((size_t)y * w0 + x) * 4;
            const unsigned char* q = b + ((size_t)y * w0 + x) * 4;
            const int d = std::max({std::abs(p[0] - q[0]), std::abs(p[1] - q[1]), std::abs(p[2] - q[2])});
            if (d > kChannelNoise && !Inside(ignore, x, y))
                moved[(size_t)(y / kTile) * tw + x / kTile]++;
        }
    int changed = 0;
    Box around{w0, h0, 0, 0};
    for (int ty = 0; ty < th; ty++)
        for (int tx = 0; tx < tw; tx++)
            if (moved[(size_t)ty * tw + tx] >= kPixelsPerTile) {
                changed++;
                around = {std::min(around.x0, tx * kTile), std::min(around.y0, ty * kTile),
                          std::max(around.x1, (tx + 1) * kTile), std::max(around.y1, (ty + 1) * kTile)};
            }
    stbi_image_free(a);
    stbi_image_free(b);
    if (changed == 0)
        return 0;
    std::printf("%d blocks of %dx%d differ, within %d,%d-%d,%d\n", changed, kTile, kTile, around.x0, around.y0,
                around.x1, around.y1);
    return 1;
}
