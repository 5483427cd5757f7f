// PNG files of RGBA8 pixels (stb_image_write from Debian's libstb-dev).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// `pixels` is width * height RGBA quadruples, rows top to bottom, `stride`
// bytes apart (negative for bottom-up images, `pixels` then at the top row). Alpha is written as opaque: back buffers carry no meaning there.
bool WritePng(const std::string& path, int width, int height, const uint8_t* pixels, int stride);

// Reads a PNG as RGBA8 rows top to bottom; false when it cannot be read.
bool ReadPng(const std::string& path, int& width, int& height, std::vector<uint8_t>& rgba);
