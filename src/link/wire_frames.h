// The compact framing two clients use once both announce it: binary
// datagrams that an older client ignores (they do not begin with "FILE:")
// and the relay forwards as opaque bytes. Each datagram stands alone, so a
// later layer can wrap whole datagrams without looking inside.
//
//   version part: "KZ1V" epoch:u32 channel:u8 flags:u8 version:u32 base:u32
//                 part:u16 parts:u16, then up to 1200 payload bytes
//   ack:          "KZ1A" epoch:u32 then six latest-written versions (u32),
//                 one per channel in channel order
//
// Numbers are little-endian. The payload of a version's parts, joined in
// order, is one zstd frame of the file content compressed against the
// version `base` of that channel (0: against nothing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

const size_t kFrameChannels = 6;
const size_t kFramePayload = 1200;
const size_t kVersionHeaderBytes = 22;
const size_t kAckBytes = 4 + 4 + 4 * kFrameChannels;

// The token a client adds to its ping body to say it speaks this framing.
extern const char kFramingToken[];

// True when a ping body ("seq time ..."), as sent by the partner, carries the token.
bool PingAnnouncesFraming(const std::string& body);

struct VersionPart
{
    uint32_t epoch = 0;   // the sender's link session
    uint8_t channel = 0;
    uint8_t flags = 0;    // none defined yet; receivers ignore unknown bits
    uint32_t version = 0; // per channel, from 1, growing
    uint32_t base = 0;    // the version the payload was compressed against; 0: none
    uint16_t part = 0;
    uint16_t parts = 1;
    std::string payload;
};

struct AckFrame
{
    uint32_t epoch = 0; // the epoch of the versions acknowledged
    uint32_t written[kFrameChannels] = {};
};

// What kind of compact datagram this is: 'V', 'A', or 0 (not one of ours).
char FrameKind(const char* data, size_t size);

// The datagrams of one compressed version: its bytes cut into parts of at
// most kFramePayload. Empty when it would need more than 65535 parts.
std::vector<std::string> EncodeVersion(uint32_t epoch, uint8_t channel, uint32_t version, uint32_t base,
                                       const std::string& compressed);

// False for anything malformed: short, a bad channel, part >= parts, parts 0,
// a payload over kFramePayload.
bool DecodeVersion(const char* data, size_t size, VersionPart& out);

std::string EncodeAck(const AckFrame& ack);
bool DecodeAck(const char* data, size_t size, AckFrame& out);
