// Replies of the HTTP ports: flat JSON objects with "ok" first and the fixed
// members before any user-written string, since the client finds a member by
// the first occurrence of its quoted key anywhere in the text.
#pragma once

#include <cstdint>
#include <string>

// A JSON string literal (quotes included); invalid UTF-8 is replaced, not refused.
std::string JsonQuote(const std::string& text);

struct FlatReply
{
    std::string text = "{\"ok\":true";
};

void ReplyBool(FlatReply& r, const char* key, bool value);
void ReplyInt(FlatReply& r, const char* key, int64_t value);
void ReplyString(FlatReply& r, const char* key, const std::string& value);
// Raw JSON text (an array built by the caller).
void ReplyRaw(FlatReply& r, const char* key, const std::string& json);
std::string ReplyText(const FlatReply& r);

// {"ok":false,"error":"..."}
std::string RefusalText(const std::string& error);
