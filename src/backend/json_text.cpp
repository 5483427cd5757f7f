#include "backend/json_text.h"

#include <cstdio>

// ---------------------------------------------------------------------------
// Escaping
// ---------------------------------------------------------------------------

std::string JsonEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (char ch : text) {
        const unsigned char c = (unsigned char)ch;
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '"':  out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                snprintf(buf, sizeof(buf), "\\u%04x", (unsigned)c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Member lookup
// ---------------------------------------------------------------------------

// Position of the first `mark` after the first occurrence of the quoted key,
// or npos. That occurrence governs at any depth, even inside a string, and
// nothing between the key and the mark is checked.
static size_t FindAfterKey(const std::string& json, const char* key, char mark)
{
    const std::string needle = std::string("\"") + key + "\"";
    if (needle.size() > json.size())
        return std::string::npos;
    const size_t at = json.find(needle);
    return at == std::string::npos ? std::string::npos : json.find(mark, at + needle.size());
}

// Position of the first byte of the member's value, or npos.
static size_t FindValue(const std::string& json, const char* key)
{
    size_t p = FindAfterKey(json, key, ':');
    if (p == std::string::npos)
        return std::string::npos;
    p++;
    while (p < json.size() && (json[p] == ' ' || json[p] == '\t'))
        p++;
    return p < json.size() ? p : std::string::npos;
}

std::string JsonGetString(const std::string& json, const char* key)
{
    size_t p = FindValue(json, key);
    if (p == std::string::npos || json[p] != '"')
        return std::string();
    std::string out;
    for (p++; p < json.size(); p++) {
        const char c = json[p];
        if (c == '"')
            break;
        if (c == '\\' && p + 1 < json.size()) {
            const char e = json[++p];
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            continue;
        }
        out += c;
    }
    return out;
}

bool JsonGetBool(const std::string& json, const char* key, bool& out)
{
    const size_t p = FindValue(json, key);
    if (p == std::string::npos)
        return false;
    if (json.compare(p, 4, "true") == 0) {
        out = true;
        return true;
    }
    if (json.compare(p, 5, "false") == 0) {
        out = false;
        return true;
    }
    return false;
}

bool JsonGetInt(const std::string& json, const char* key, int32_t& out)
{
    size_t p = FindValue(json, key);
    if (p == std::string::npos)
        return false;
    bool negative = false;
    if (json[p] == '-') {
        negative = true;
        if (++p >= json.size())
            return false;
    }
    if (json[p] < '0' || json[p] > '9')
        return false;
    // Unsigned arithmetic wraps modulo 2^32 without undefined behaviour.
    uint32_t value = 0;
    for (; p < json.size() && json[p] >= '0' && json[p] <= '9'; p++)
        value = value * 10u + (uint32_t)(json[p] - '0');
    if (negative)
        value = 0u - value;
    out = (int32_t)value;
    return true;
}

// ---------------------------------------------------------------------------
// Arrays of objects
// ---------------------------------------------------------------------------

std::vector<std::string> JsonGetObjectArray(const std::string& json, const char* key)
{
    std::vector<std::string> result;
    const size_t open = FindAfterKey(json, key, '[');
    if (open == std::string::npos)
        return result;

    bool in_string = false;
    unsigned depth = 0;
    size_t start = 0;
    for (size_t p = open + 1; p < json.size(); p++) {
        const char c = json[p];
        if (in_string) {
            if (c == '\\')
                p++;
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '{') {
            if (depth == 0)
                start = p;
            depth++;
        } else if (c == '}') {
            if (depth == 0)
                continue; // a stray '}' closes nothing
            depth--;
            if (depth == 0)
                result.push_back(json.substr(start, p - start + 1));
        } else if (c == ']' && depth == 0) {
            break;
        }
    }
    return result;
}
