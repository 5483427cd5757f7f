#include "backend/http.h"

#include "backend/json_text.h"
#include "platform/platform.h"
#include "state/app_state.h"

bool HttpPostJson(uint16_t port, const std::wstring& path, const std::string& body, std::string& reply)
{
    uint32_t status = 0;
    std::string response;
    if (!HttpPost(BackendHost().c_str(), port, path, body, status, response))
        return false;
    reply = std::move(response);
    return status == 200;
}

bool PostWithToken(const std::wstring& path, const std::string& fields, std::string& reply, std::string* token_used)
{
    std::string token;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        token = g_app.account.token;
    }
    if (token_used)
        *token_used = token;
    if (token.empty())
        return false;
    std::string body = "{\"token\":\"" + JsonEscape(token) + "\"";
    if (!fields.empty())
        body += "," + fields;
    body += "}";
    return HttpPostJson(kAccountPort, path, body, reply);
}
