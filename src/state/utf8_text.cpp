#include "state/utf8_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

size_t Utf8Decode(const char* text, size_t len, size_t pos, unsigned& cp)
{
    const unsigned char* s = (const unsigned char*)text + pos;
    const size_t left = len - pos;
    const unsigned c = s[0];
    size_t n;
    unsigned min;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        n = 2, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, cp = c & 0x07, min = 0x10000;
    } else {
        cp = 0xFFFD;
        return 1;
    }
    if (left < n) {
        cp = 0xFFFD;
        return 1;
    }
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80) {
            cp = 0xFFFD;
            return 1;
        }
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        return 1;
    }
    return n;
}

namespace {

// Marks that draw on the character before them; parting them from it shows a
// bare accent. The blocks players meet, not the whole of Unicode's list.
bool IsCombining(unsigned cp)
{
    return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x0483 && cp <= 0x0489) || (cp >= 0x1AB0 && cp <= 0x1AFF) ||
           (cp >= 0x1DC0 && cp <= 0x1DFF) || (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0x3099 && cp <= 0x309A) ||
           (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xFE20 && cp <= 0xFE2F) || cp == 0x200D;
}

// How far a cut backs up over marks before it settles for a bare boundary.
constexpr size_t kMaxMarkRun = 32;

} // namespace

size_t Utf8CutLength(const char* text, size_t len, size_t budget)
{
    if (len <= budget)
        return len;
    // Character starts up to the budget; the last one at or below it is the cut.
    size_t pos = 0, cut = 0;
    unsigned cp = 0;
    while (pos < len) {
        const size_t n = Utf8Decode(text, len, pos, cp);
        if (pos + n > budget)
            break;
        pos += n;
        cut = pos;
    }
    // Back up while the character that would start the cut-off part is a
    // mark: the mark and its base go together.
    const size_t bare = cut;
    while (cut > 0 && cut < len) {
        Utf8Decode(text, len, cut, cp);
        if (!IsCombining(cp))
            break;
        if (bare - cut > kMaxMarkRun)
            return bare;
        // Step back one character: over continuation bytes to the lead.
        size_t back = cut - 1;
        while (back > 0 && back + 4 > cut && ((unsigned char)text[back] & 0xC0) == 0x80)
            back--;
        unsigned back_cp;
        if (Utf8Decode(text, len, back, back_cp) != cut - back)
            back = cut - 1; // a stray continuation byte is a character of its own
        cut = back;
    }
    return cut;
}

std::string Utf8Cut(const std::string& text, size_t budget)
{
    return text.substr(0, Utf8CutLength(text.data(), text.size(), budget));
}

std::string Utf8Ellipsize(const std::string& text, size_t budget)
{
    if (text.size() <= budget)
        return text;
    if (budget < 3)
        return Utf8Cut(text, budget);
    return Utf8Cut(text, budget - 3) + "...";
}

void Utf8CopyCut(char* out, size_t capacity, const char* text, size_t len)
{
    if (capacity == 0)
        return;
    const size_t n = Utf8CutLength(text, len, capacity - 1);
    memmove(out, text, n);
    out[n] = 0;
}

void Utf8CopyCut(char* out, size_t capacity, const char* text)
{
    Utf8CopyCut(out, capacity, text, strlen(text));
}

void Utf8Format(char* out, size_t capacity, const char* fmt, ...)
{
    if (capacity == 0)
        return;
    // A little past the capacity, so the cut can see whether a mark follows.
    char local[1024];
    const bool use_local = capacity + 8 <= sizeof(local);
    char* buf = use_local ? local : out;
    const size_t size = use_local ? capacity + 8 : capacity;
    va_list args;
    va_start(args, fmt);
    const int n = vsnprintf(buf, size, fmt, args);
    va_end(args);
    if (n < 0) {
        out[0] = 0;
        return;
    }
    const size_t have = (size_t)n < size ? (size_t)n : size - 1;
    Utf8CopyCut(out, capacity, buf, have);
}
