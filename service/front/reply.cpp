#include "front/reply.h"

#include <cstdio>

namespace {

void Key(Reply& reply, const char* key)
{
    if (reply.text.size() > 1)
        reply.text += ',';
    reply.text += JsonString(key);
    reply.text += ':';
}

} // namespace

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char u[8];
                snprintf(u, sizeof(u), "\\u%04x", c);
                out += u;
            } else {
                out += (char)c;
            }
        }
    }
    out += '"';
    return out;
}

void AddBool(Reply& reply, const char* key, bool value)
{
    Key(reply, key);
    reply.text += value ? "true" : "false";
}

void AddInt(Reply& reply, const char* key, long long value)
{
    Key(reply, key);
    reply.text += std::to_string(value);
}

void AddString(Reply& reply, const char* key, const std::string& value)
{
    Key(reply, key);
    reply.text += JsonString(value);
}

void AddRaw(Reply& reply, const char* key, const std::string& json)
{
    Key(reply, key);
    reply.text += json;
}

std::string Finish(Reply& reply)
{
    reply.text += '}';
    return reply.text;
}

std::string OkReply()
{
    Reply r;
    AddBool(r, "ok", true);
    return Finish(r);
}

std::string ErrorReply(const std::string& text)
{
    Reply r;
    AddBool(r, "ok", false);
    AddString(r, "error", text);
    return Finish(r);
}
