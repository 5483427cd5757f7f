// What the account port's request handlers share: the port itself, the
// member reader, the session lookup and the router (account_port.cpp), so
// the social routes can live in a file of their own.
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
using AccountHandler = std::string (*)(AccountPort&, const Json&, const std::string& address);
void Route(AccountPort& port, const char* path, AccountHandler handler);

// "/friends/..." and "/messages/..." (social_routes.cpp).
void RouteSocial(AccountPort& port);
// "/invites/..." (invite_routes.cpp).
void RouteInvites(AccountPort& port);
// The "invites" array of the threads reply: the live invites to `me`; an
// invite whose room closed is reported once as "closed" and then forgotten.
std::string InvitesArray(AccountPort& port, const AccountRecord& me);
// The friend objects of "/friends/list": gamertag, presence, the code of a
// public room with a free seat, and whether `me` has a live invite out to them.
std::string FriendArray(AccountPort& port, const AccountRecord& me, const std::vector<std::string>& tags);
