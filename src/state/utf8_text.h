// Cutting UTF-8 text to a byte budget on a character boundary. Every place
// that shortens text a player, the service or a file wrote goes through here,
// so no cut leaves half a character (drawn as "?") or a mark without its base.
#pragma once

#include <cstddef>
#include <string>

// The longest prefix of text[0, len) of at most `budget` bytes that ends on a
// character boundary and does not part a combining mark from the character
// before it. Bytes that are not valid UTF-8 count as characters of one byte,
// so they stay as they were but are never the start of a longer cut.
size_t Utf8CutLength(const char* text, size_t len, size_t budget);

// `text` cut to at most `budget` bytes.
std::string Utf8Cut(const std::string& text, size_t budget);

// `text` when it fits `budget` bytes, else its cut to budget - 3 bytes plus
// "..." (at most `budget` bytes in all).
std::string Utf8Ellipsize(const std::string& text, size_t budget);

// Copies the cut of `text` into a buffer of `capacity` bytes, zero-terminated.
void Utf8CopyCut(char* out, size_t capacity, const char* text, size_t len);
void Utf8CopyCut(char* out, size_t capacity, const char* text);

// printf into a fixed buffer, cut on a character boundary when it overflows.
void Utf8Format(char* out, size_t capacity, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// One code point read from text[pos, len): returns its length in bytes (1 for
// an invalid byte, with `cp` set to 0xFFFD). `len` must exceed `pos`.
size_t Utf8Decode(const char* text, size_t len, size_t pos, unsigned& cp);
