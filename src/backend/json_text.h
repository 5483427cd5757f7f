// JSON text helpers: request bodies are built by concatenating literal
// fragments around escaped values; replies are read by five small scanners that
// find a member by its first quoted key anywhere in the text. There is no parser.
// All strings are byte strings; nothing is decoded beyond the escapes below.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The escaped form of `text`, for use between the quotes of a JSON string.
std::string JsonEscape(const std::string& text);

// The member's string value, unescaped; "" when not found or not a string.
std::string JsonGetString(const std::string& json, const char* key);

// True when found; `out` is written only then.
bool JsonGetBool(const std::string& json, const char* key, bool& out);

// True when found; `out` is written only then. Digits wrap in 32 bits.
bool JsonGetInt(const std::string& json, const char* key, int32_t& out);

// The raw text of each object element of the array member, in order.
std::vector<std::string> JsonGetObjectArray(const std::string& json, const char* key);
