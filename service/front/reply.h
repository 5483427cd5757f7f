// Replies of the HTTP ports. The client reads them with scanners that find the
// *first* occurrence of a quoted key anywhere in the text, so every reply is a
// flat object, "ok" comes first, and members whose values come from users are
// added after every fixed member (callers keep that order).
#pragma once

#include <string>

struct Reply
{
    std::string text = "{";
};

void AddBool(Reply& reply, const char* key, bool value);
void AddInt(Reply& reply, const char* key, long long value);
void AddString(Reply& reply, const char* key, const std::string& value);
// A value that is already JSON text (an array the caller built).
void AddRaw(Reply& reply, const char* key, const std::string& json);
std::string Finish(Reply& reply);

// {"ok":true}
std::string OkReply();
// {"ok":false,"error":"TEXT"}
std::string ErrorReply(const std::string& text);

// The JSON string form of `text`, quotes included: quote, backslash and
// control bytes escaped, everything else (UTF-8 included) as it is.
std::string JsonString(const std::string& text);
