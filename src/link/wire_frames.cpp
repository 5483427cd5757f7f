#include "link/wire_frames.h"

#include <cstring>

const char kFramingToken[] = "kz1";

bool PingAnnouncesFraming(const std::string& body)
{
    // "seq time" then words; the token is one of the words after the time.
    size_t at = body.find(' ');
    while (at != std::string::npos) {
        const size_t start = at + 1;
        at = body.find(' ', start);
        const size_t len = (at == std::string::npos ? body.size() : at) - start;
        if (len == sizeof(kFramingToken) - 1 && body.compare(start, len, kFramingToken) == 0)
            return true;
    }
    return false;
}

static void PutU16(std::string& out, uint16_t v)
{
    out.push_back((char)(v & 0xFF));
    out.push_back((char)(v >> 8));
}

static void PutU32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        out.push_back((char)((v >> (8 * i)) & 0xFF));
}

static uint16_t GetU16(const char* p)
{
    return (uint16_t)((unsigned char)p[0] | ((unsigned char)p[1] << 8));
}

static uint32_t GetU32(const char* p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | (unsigned char)p[i];
    return v;
}

char FrameKind(const char* data, size_t size)
{
    if (size < 4 || memcmp(data, "KZ1", 3) != 0)
        return 0;
    return data[3] == 'V' || data[3] == 'A' ? data[3] : 0;
}

std::vector<std::string> EncodeVersion(uint32_t epoch, uint8_t channel, uint32_t version, uint32_t base,
                                       const std::string& compressed)
{
    std::vector<std::string> out;
    const size_t parts = compressed.empty() ? 1 : (compressed.size() + kFramePayload - 1) / kFramePayload;
    if (parts > 0xFFFF)
        return out;
    for (size_t part = 0; part < parts; part++) {
        std::string d = "KZ1V";
        d.reserve(kVersionHeaderBytes + kFramePayload);
        PutU32(d, epoch);
        d.push_back((char)channel);
        d.push_back(0);
        PutU32(d, version);
        PutU32(d, base);
        PutU16(d, (uint16_t)part);
        PutU16(d, (uint16_t)parts);
        if (!compressed.empty())
            d.append(compressed, part * kFramePayload, kFramePayload);
        out.push_back(std::move(d));
    }
    return out;
}

bool DecodeVersion(const char* data, size_t size, VersionPart& out)
{
    if (FrameKind(data, size) != 'V' || size < kVersionHeaderBytes || size - kVersionHeaderBytes > kFramePayload)
        return false;
    out.epoch = GetU32(data + 4);
    out.channel = (uint8_t)data[8];
    out.flags = (uint8_t)data[9];
    out.version = GetU32(data + 10);
    out.base = GetU32(data + 14);
    out.part = GetU16(data + 18);
    out.parts = GetU16(data + 20);
    if (out.channel >= kFrameChannels || out.parts == 0 || out.part >= out.parts || out.version == 0 ||
        out.base >= out.version)
        return false;
    out.payload.assign(data + kVersionHeaderBytes, size - kVersionHeaderBytes);
    return true;
}

std::string EncodeAck(const AckFrame& ack)
{
    std::string d = "KZ1A";
    PutU32(d, ack.epoch);
    for (uint32_t v : ack.written)
        PutU32(d, v);
    return d;
}

bool DecodeAck(const char* data, size_t size, AckFrame& out)
{
    if (FrameKind(data, size) != 'A' || size < kAckBytes)
        return false; // longer is fine: a later client may say more
    out.epoch = GetU32(data + 4);
    for (size_t i = 0; i < kFrameChannels; i++)
        out.written[i] = GetU32(data + 8 + 4 * i);
    return true;
}
