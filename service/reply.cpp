#include "reply.h"

#include <nlohmann/json.hpp>

std::string JsonQuote(const std::string& text)
{
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void ReplyBool(FlatReply& r, const char* key, bool value)
{
    r.text += std::string(",\"") + key + "\":" + (value ? "true" : "false");
}

void ReplyInt(FlatReply& r, const char* key, int64_t value)
{
    r.text += std::string(",\"") + key + "\":" + std::to_string(value);
}

void ReplyString(FlatReply& r, const char* key, const std::string& value)
{
    r.text += std::string(",\"") + key + "\":" + JsonQuote(value);
}

void ReplyRaw(FlatReply& r, const char* key, const std::string& json)
{
    r.text += std::string(",\"") + key + "\":" + json;
}

std::string ReplyText(const FlatReply& r)
{
    return r.text + "}";
}

std::string RefusalText(const std::string& error)
{
    return "{\"ok\":false,\"error\":" + JsonQuote(error) + "}";
}
