// What the account port's request handlers share: the port itself, the
// member reader, the session lookup and the routers, so the account, social
// and invite routes can live in files of their own.
#pragma once

#include "store/account_store.h"
#include "front/http_front.h"
#include "metrics/metrics.h"
#include "options/options.h"
#include "social/presence.h"
#include "accounts/sign_in_limit.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct AccountPort
{
    ServiceOptions options;
    std::string outbox;
    std::string public_url;
    std::string dummy_hash; // verified against for unknown names, so they take as long
    AccountStore* store = nullptr;
    SignInLimit limit;
    std::mutex mail_lock;
    std::map<std::pair<int64_t, std::string>, int64_t> last_mail;
    SocialBoard social;            // presence and room invites
    RoomDirectory rooms;           // the room port's seats; empty without one
    std::vector<HttpRoute> routes; // served once the port starts
    HttpFront* front = nullptr;
    HttpCounters counters;
};

using Json = nlohmann::json;

// Seconds since the epoch.
int64_t Now();

// A string member: absent gives "", anything but a string or a text longer
// than `max` gives false with the refusal reply in `error`.
bool Text(const Json& body, const char* key, size_t max, std::string& out, std::string& error);

// The account of a live session token, or false.
bool SessionAccount(AccountPort& port, const std::string& token, AccountRecord& a);

// Serves POST `path` with `handler` (JSON object in, reply text out).
// `costly`: the handler hashes a password, and runs on the front's small pool
// for that, so cheap requests never queue behind it.
using AccountHandler = std::string (*)(AccountPort&, const Json&, const std::string& address);
void Route(AccountPort& port, const char* path, AccountHandler handler, bool costly = false);
// Serves a page (the links in mails open them); a store fault answers 503.
void RoutePage(AccountPort& port, const char* method, const char* path, HttpHandler handler, bool costly = false);
// An HTML answer.
HttpAnswer Page(std::string html);
