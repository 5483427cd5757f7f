#include "pack_compress.h"

#include <algorithm>

namespace {

constexpr size_t kMaxDistance = (size_t)1 << 24; // longest reach of any match token
constexpr size_t kMaxMatch = 65536;
constexpr int kHashBits = 16;
constexpr int kMaxChain = 384;                   // candidates tried per position
constexpr uint32_t kNone = 0xFFFFFFFFu;

void Put(std::vector<uint8_t>& out, uint32_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--)
        out.push_back((uint8_t)(v >> (8 * i)));
}

// Bytes one match token takes for (len, dist), len within that token's limit;
// the token chosen is the cheapest that can carry the whole length.
int MatchCost(size_t len, size_t dist)
{
    if (dist <= 256 && len <= 128) return 2;
    if (dist <= 16384 && len <= 256) return 3;
    if (dist <= 0x80000 && len <= 256) return 4;
    if (dist <= 0x80000) return 5;
    if (len <= 256) return 5;
    return 6;
}

// Cost of a whole match, split into tokens when longer than one can carry.
int MatchCostSplit(size_t len, size_t dist)
{
    int cost = 0;
    while (len > kMaxMatch) {
        cost += MatchCost(kMaxMatch, dist);
        len -= kMaxMatch;
    }
    return cost + MatchCost(len, dist);
}

void EmitMatch(std::vector<uint8_t>& out, size_t len, size_t dist)
{
    while (len > 0) {
        const size_t n = std::min(len, kMaxMatch);
        const uint32_t d = (uint32_t)(dist - 1);
        const uint32_t l = (uint32_t)(n - 1);
        if (dist <= 256 && n <= 128) {
            Put(out, 0x80 + l, 1); Put(out, d, 1);
        } else if (dist <= 16384 && n <= 256) {
            Put(out, 0x4000 + d, 2); Put(out, l, 1);
        } else if (dist <= 0x80000 && n <= 256) {
            Put(out, 0x180000 + d, 3); Put(out, l, 1);
        } else if (dist <= 0x80000) {
            Put(out, 0x100000 + d, 3); Put(out, l, 2);
        } else if (n <= 256) {
            Put(out, 0x06, 1); Put(out, d, 3); Put(out, l, 1);
        } else {
            Put(out, 0x04, 1); Put(out, d, 3); Put(out, l, 2);
        }
        len -= n;
    }
}

void EmitLiterals(std::vector<uint8_t>& out, const uint8_t* p, size_t len)
{
    while (len > 0) {
        const size_t n = std::min<size_t>(len, 65536);
        if (n <= 32)
            Put(out, 0x20 + (uint32_t)(n - 1), 1);
        else if (n <= 2048)
            Put(out, 0x0800 + (uint32_t)(n - 1), 2);
        else {
            Put(out, 0x07, 1); Put(out, (uint32_t)(n - 1), 2);
        }
        out.insert(out.end(), p, p + n);
        p += n;
        len -= n;
    }
}

uint32_t Hash3(const uint8_t* p)
{
    const uint32_t v = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
    return (v * 2654435761u) >> (32 - kHashBits);
}

struct Match
{
    size_t len = 0;
    size_t dist = 0;
    int gain = 0; // bytes saved against sending the same bytes as literals
};

struct Finder
{
    const uint8_t* data;
    size_t size;
    std::vector<uint32_t> head;
    std::vector<uint32_t> prev;
    size_t inserted = 0; // positions below this are in the chains

    Finder(const uint8_t* d, size_t n) : data(d), size(n), head((size_t)1 << kHashBits, kNone), prev(n, kNone) {}

    void InsertUpTo(size_t pos)
    {
        for (; inserted < pos && inserted + 3 <= size; inserted++) {
            const uint32_t h = Hash3(data + inserted);
            prev[inserted] = head[h];
            head[h] = (uint32_t)inserted;
        }
    }

    Match Best(size_t pos)
    {
        Match best;
        if (pos + 3 > size)
            return best;
        InsertUpTo(pos);
        const size_t limit = std::min(size - pos, kMaxMatch * 4);
        uint32_t cand = head[Hash3(data + pos)];
        for (int steps = 0; cand != kNone && steps < kMaxChain; steps++, cand = prev[cand]) {
            const size_t dist = pos - cand;
            if (dist > kMaxDistance)
                break;
            if (best.len == limit)
                break;
            // Nearer candidates come first: a farther one must be longer to win.
            if (best.len > 0 && data[cand + best.len] != data[pos + best.len])
                continue;
            size_t len = 0;
            while (len < limit && data[cand + len] == data[pos + len])
                len++;
            if (len < 3)
                continue;
            const int gain = (int)len - MatchCostSplit(len, dist);
            if (gain > best.gain) {
                best.len = len;
                best.dist = dist;
                best.gain = gain;
            }
        }
        return best;
    }
};

} // namespace

uint32_t PackAdler32(const uint8_t* data, size_t size)
{
    uint32_t s1 = 1, s2 = 0;
    while (size > 0) {
        const size_t block = std::min<size_t>(size, 5552);
        for (size_t i = 0; i < block; i++) {
            s1 += data[i];
            s2 += s1;
        }
        s1 %= 65521;
        s2 %= 65521;
        data += block;
        size -= block;
    }
    return s2 << 16 | s1;
}

std::vector<uint8_t> PackForImGui(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> out;
    out.reserve(size / 2 + 64);
    Put(out, 0x57BC0000u, 4);
    Put(out, 0, 4); // high word of the length: inputs are below 4 GiB
    Put(out, (uint32_t)size, 4);
    Put(out, (uint32_t)std::min(size, kMaxDistance), 4); // window, not read by the loader

    Finder finder(data, size);
    size_t pos = 0, literal_start = 0;
    while (pos < size) {
        Match m = finder.Best(pos);
        if (m.gain <= 0) {
            pos++;
            continue;
        }
        // One step of lazy matching: a better match one byte on is worth a literal.
        const Match next = finder.Best(pos + 1);
        if (next.gain > m.gain + 1) {
            pos++;
            continue;
        }
        EmitLiterals(out, data + literal_start, pos - literal_start);
        EmitMatch(out, m.len, m.dist);
        pos += m.len;
        literal_start = pos;
    }
    EmitLiterals(out, data + literal_start, size - literal_start);
    // Short matches can cost more than they save by splitting literal runs;
    // never do worse than storing the data.
    std::vector<uint8_t> stored(out.begin(), out.begin() + 16);
    EmitLiterals(stored, data, size);
    if (stored.size() < out.size())
        out.swap(stored);
    Put(out, 0x05FA, 2);
    Put(out, PackAdler32(data, size), 4);
    return out;
}
