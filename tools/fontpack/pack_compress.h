// Compression into the format Dear ImGui's compressed-TTF loader reads
// (stb_compress's stream: 16-byte header, literal and match tokens, an end
// mark and an Adler-32 of the original).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

std::vector<uint8_t> PackForImGui(const uint8_t* data, size_t size);

// Adler-32 as the stream's trailer carries it.
uint32_t PackAdler32(const uint8_t* data, size_t size);
