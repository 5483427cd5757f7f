#include "png_file.h"

#include <cstddef>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>
#include <stb_image_write.h>

bool WritePng(const std::string& path, int width, int height, const uint8_t* pixels, int stride)
{
    std::vector<uint8_t> rows((size_t)width * (size_t)height * 4);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const uint8_t* src = pixels + (ptrdiff_t)y * stride + (ptrdiff_t)x * 4;
            uint8_t* dst = rows.data() + ((size_t)y * (size_t)width + (size_t)x) * 4;
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            dst[3] = 255;
        }
    return stbi_write_png(path.c_str(), width, height, 4, rows.data(), width * 4) != 0;
}

bool ReadPng(const std::string& path, int& width, int& height, std::vector<uint8_t>& rgba)
{
    int channels = 0;
    unsigned char* data = stbi_load(path.c_str(), &width, &height, &channels, 4);
    if (!data)
        return false;
    rgba.assign(data, data + (size_t)width * (size_t)height * 4);
    stbi_image_free(data);
    return true;
}
