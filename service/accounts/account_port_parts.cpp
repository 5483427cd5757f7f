#include "accounts/account_port_parts.h"

#include "accounts/account_pages.h"
#include "accounts/credentials.h"
#include "front/reply.h"

#include <chrono>

namespace {

const char* const kBadRequest = "Bad request.";
const char* const kTooLarge = "Request too large.";
const char* const kTooLong = "A field is too long.";
const char* const kServerFault = "Something went wrong. Try again.";

constexpr size_t kSoftBodyLimit = 8 * 1024;   // larger JSON bodies get kTooLarge
constexpr int64_t kSessionIdleS = 30 * 24 * 3600;

} // namespace

int64_t Now()
{
    return (int64_t)std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A string member: absent gives "", anything but a string or a text longer
// than `max` gives false with the refusal in `error`.
bool Text(const Json& body, const char* key, size_t max, std::string& out, std::string& error)
{
    const auto it = body.find(key);
    if (it == body.end() || it->is_null()) {
        out.clear();
        return true;
    }
    if (!it->is_string()) {
        error = ErrorReply(kBadRequest);
        return false;
    }
    out = it->get<std::string>();
    if (out.size() > max) {
        error = ErrorReply(kTooLong);
        return false;
    }
    return true;
}

// The account of a live session token, or false.
bool SessionAccount(AccountPort& port, const std::string& token, AccountRecord& a)
{
    if (!LooksLikeToken(token) || !FindSession(port.store, TokenHash(token), Now(), kSessionIdleS, a))
        return false;
    // Every request a signed-in client makes says it is there.
    MarkSeen(port.social, a.gamertag, SocialNowMs());
    return true;
}

namespace {

HttpAnswer Json200(std::string reply)
{
    HttpAnswer a;
    a.body = std::move(reply);
    return a;
}

// A failing store has no answer: a refusal would read as one (an expired
// session signs the player out and deletes its login), and an expired-link
// page would be wrong too. The fault is per thread, and a handler runs on one.
HttpAnswer StoreFaultAnswer(bool page)
{
    HttpAnswer a = page ? Page(DonePage("Something went wrong", kServerFault)) : Json200(ErrorReply(kServerFault));
    a.status = 503;
    return a;
}

} // namespace

HttpAnswer Page(std::string html)
{
    HttpAnswer a;
    a.content_type = "text/html; charset=utf-8";
    a.body = std::move(html);
    return a;
}

void Route(AccountPort& port, const char* path, AccountHandler handler, bool costly)
{
    HttpRoute r{"POST", path, [&port, handler](const HttpRequest& req) {
                    if (req.body.size() > kSoftBodyLimit)
                        return Json200(ErrorReply(kTooLarge));
                    TakeStoreFault(); // a fault left by another request on this thread is not ours
                    const Json body = Json::parse(req.body, nullptr, false);
                    HttpAnswer a = Json200(body.is_object() ? handler(port, body, req.remote_addr) : ErrorReply(kBadRequest));
                    return TakeStoreFault() ? StoreFaultAnswer(false) : a;
                },
                costly};
    port.routes.push_back(std::move(r));
}

void RoutePage(AccountPort& port, const char* method, const char* path, HttpHandler handler, bool costly)
{
    port.routes.push_back(HttpRoute{method, path, [handler](const HttpRequest& req) {
                                        TakeStoreFault();
                                        HttpAnswer a = handler(req);
                                        return TakeStoreFault() ? StoreFaultAnswer(true) : a;
                                    },
                                    costly});
}
