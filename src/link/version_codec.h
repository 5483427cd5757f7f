// zstd over whole channel-file versions, each compressed against a version
// the partner already holds (used as the frame's prefix). The content is
// opaque bytes: what goes in comes out byte for byte.
#pragma once

#include <cstddef>
#include <string>

struct VersionCodec; // a compression and a decompression context, reused

VersionCodec* VersionCodecOpen();
void VersionCodecClose(VersionCodec* codec);

// `base` may be nullptr or empty (then against nothing). False on failure.
bool CompressVersion(VersionCodec* codec, const std::string& content, const std::string* base, std::string& out);

// False when the frame is malformed, does not say its size, would exceed
// `max_bytes`, or does not decode against this base.
bool DecompressVersion(VersionCodec* codec, const std::string& frame, const std::string* base, size_t max_bytes,
                       std::string& out);
