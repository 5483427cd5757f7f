#include "accounts/account_port.h"
#include "accounts/account_port_parts.h"
#include "accounts/invite_routes.h"
#include "accounts/social_routes.h"

#include "accounts/account_pages.h"
#include "store/account_store.h"
#include "front/front_options.h"
#include "front/client_members.h"
#include "accounts/credentials.h"
#include "rules/gamertag_rules.h"
#include "accounts/outbox.h"
#include "log/log.h"
#include "front/reply.h"
#include "accounts/sign_in_limit.h"
#include "front/route_counts.h"

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace {

// Refusal texts, shown to the player as they are.
const char* const kBadRequest = "Bad request.";
const char* const kTooLarge = "Request too large.";
const char* const kMissingSignIn = "Enter your username and password.";
const char* const kBadUsername = "Usernames are 3-20 letters, digits or underscores.";
const char* const kReservedName = "That name is reserved. Choose another.";
const char* const kBadEmail = "Enter a valid email address.";
const char* const kWeakPassword = "Password needs 8+ chars, one capital letter, one special character.";
const char* const kNameTaken = "That username is taken.";
const char* const kGamertagTaken = "That gamertag is taken.";
const char* const kGamertagConfusable = "That gamertag looks like one that is taken. Choose another.";
const char* const kEmailTaken = "That email address is already in use.";
const char* const kWrongPassword = "Wrong username or password.";
const char* const kTooManyFailures = "Too many failed sign-ins. Try again in a few minutes.";
const char* const kSessionExpired = "Session expired. Please sign in again.";
const char* const kBadSettings = "Settings must be a JSON object.";
const char* const kUnsupportedClient =
    "This client is no longer supported. Download the latest version to keep playing.";
const char* const kServerFault = "Something went wrong. Try again.";

constexpr size_t kHardBodyLimit = 64 * 1024;  // larger bodies are not even read
constexpr size_t kMaxSettingsBytes = 4096;
constexpr int64_t kResetLinkS = 3600;
constexpr int64_t kVerifyLinkS = 24 * 3600;
constexpr int64_t kMailGapS = 60; // per account and kind: a link mail at most once a minute

} // namespace



namespace {

// Fixed members first, then what users wrote: settings before the names, and
// the username right before the gamertag (a username spelled like a later
// member name then still leads the scanner to that member's own value).
std::string AccountReply(const AccountRecord& a, const std::string* token)
{
    Reply r;
    AddBool(r, "ok", true);
    AddBool(r, "email_verified", a.email_verified);
    if (token)
        AddString(r, "token", *token);
    AddString(r, "role", a.role);
    AddString(r, "settings", a.settings);
    AddString(r, "username", a.username);
    AddString(r, "gamertag", a.gamertag);
    return Finish(r);
}

// Creates a one-time link of `kind` for the account and writes its mail;
// quietly does nothing when the account had such a mail within kMailGapS.
void SendLinkMail(AccountPort& port, const AccountRecord& a, const std::string& kind, int64_t valid_s)
{
    const int64_t now = Now();
    {
        std::lock_guard<std::mutex> hold(port.mail_lock);
        int64_t& last = port.last_mail[{a.id, kind}];
        if (last != 0 && now - last < kMailGapS)
            return;
        last = now;
    }
    const std::string token = NewToken();
    if (!AddMailToken(port.store, a.id, kind, TokenHash(token), now + valid_s))
        return;
    const std::string link = port.public_url + "/" + kind + "?t=" + token;
    std::string subject, body;
    if (kind == "reset") {
        subject = "Reset your Kestrel password";
        body = "Hi " + a.gamertag + ",\r\n\r\nSomeone asked to reset the password of your Kestrel account " +
               a.username + ". To choose a new one, open:\r\n\r\n" + link +
               "\r\n\r\nThe link works once and expires in one hour. If you did not ask, ignore this mail.\r\n";
    } else {
        subject = "Confirm your Kestrel email address";
        body = "Hi " + a.gamertag + ",\r\n\r\nTo confirm this address for your Kestrel account " + a.username +
               ", open:\r\n\r\n" + link + "\r\n\r\nThe link works once and expires in 24 hours.\r\n";
    }
    std::string path;
    if (!WriteMail(port.outbox, a.email, subject, body, path, port.options.mail_from))
        LogError("a " + kind + " mail could not be written to " + port.outbox + ": " + strerror(errno));
}

std::string SignUp(AccountPort& port, const Json& body, const std::string&)
{
    std::string error;
    AccountRecord a;
    std::string password;
    if (!Text(body, "username", 64, a.username, error) || !Text(body, "gamertag", 64, a.gamertag, error) ||
        !Text(body, "password", 1024, password, error) || !Text(body, "email", 320, a.email, error))
        return error;
    if (a.username.empty() || password.empty())
        return ErrorReply(kMissingSignIn);
    if (!NameAcceptable(a.username))
        return ErrorReply(kBadUsername);
    if (a.gamertag.empty())
        a.gamertag = a.username;
    GamertagForm tag;
    std::string why;
    if (!CheckGamertag(a.gamertag, tag, why))
        return ErrorReply(why);
    a.gamertag = tag.nfc;
    // Names stand in replies (friends lists, threads, rooms) where the client
    // would read one spelled like a member name in that member's place; the
    // folded form catches the spellings that only look different.
    if (QuotesClientMember(a.username, true) || QuotesClientMember(a.gamertag, true) ||
        QuotesClientMember(tag.key, true))
        return ErrorReply(kReservedName);
    if (!EmailAcceptable(a.email))
        return ErrorReply(kBadEmail);
    if (!PasswordAcceptable(password))
        return ErrorReply(kWeakPassword);
    AccountRecord existing;
    if (FindAccountByName(port.store, a.username, existing))
        return ErrorReply(kNameTaken); // before hashing: cheap refusals first
    if (!HashPassword(password, a.password_hash))
        return ErrorReply(kServerFault);
    switch (CreateAccount(port.store, a, Now())) {
    case CreateResult::Created: break;
    case CreateResult::UsernameTaken: return ErrorReply(kNameTaken);
    case CreateResult::GamertagTaken: return ErrorReply(kGamertagTaken);
    case CreateResult::GamertagConfusable: return ErrorReply(kGamertagConfusable);
    case CreateResult::EmailTaken: return ErrorReply(kEmailTaken);
    case CreateResult::Failed: return ErrorReply(kServerFault);
    }
    const std::string token = NewToken();
    if (!AddSession(port.store, a.id, TokenHash(token), Now()))
        return ErrorReply(kServerFault);
    SendLinkMail(port, a, "verify", kVerifyLinkS);
    return AccountReply(a, &token);
}

std::string SignIn(AccountPort& port, const Json& body, const std::string& address)
{
    std::string error, username, password;
    if (!Text(body, "username", 64, username, error) || !Text(body, "password", 1024, password, error))
        return error;
    if (username.empty() || password.empty())
        return ErrorReply(kMissingSignIn);
    const int64_t now = Now();
    if (!SignInAllowed(port.limit, username, address, now))
        return ErrorReply(kTooManyFailures);
    AccountRecord a;
    const bool known = FindAccountByName(port.store, username, a);
    const bool right = VerifyPassword(known ? a.password_hash : port.dummy_hash, password) && known;
    if (!right) {
        NoteFailedSignIn(port.limit, username, address, now);
        return ErrorReply(kWrongPassword);
    }
    NoteSignIn(port.limit, username);
    const std::string token = NewToken();
    if (!AddSession(port.store, a.id, TokenHash(token), now))
        return ErrorReply(kServerFault);
    return AccountReply(a, &token);
}

} // namespace


bool AccountOfToken(AccountPort* port, const std::string& token, std::string& gamertag)
{
    AccountRecord a;
    const bool live = SessionAccount(*port, token, a);
    TakeStoreFault(); // no answer proves nothing; the room request goes on without it
    if (live)
        gamertag = a.gamertag;
    return live;
}

namespace {

std::string Session(AccountPort& port, const Json& body, const std::string&)
{
    std::string error, token;
    if (!Text(body, "token", 128, token, error))
        return error;
    AccountRecord a;
    if (!SessionAccount(port, token, a))
        return ErrorReply(kSessionExpired);
    return AccountReply(a, nullptr);
}

std::string SetSettings(AccountPort& port, const Json& body, const std::string&)
{
    std::string error, token, settings;
    if (!Text(body, "token", 128, token, error) || !Text(body, "settings", kMaxSettingsBytes, settings, error))
        return error;
    AccountRecord a;
    if (!SessionAccount(port, token, a))
        return ErrorReply(kSessionExpired);
    // Stored text goes back out inside replies; only a JSON object is taken.
    if (!Json::parse(settings, nullptr, false).is_object())
        return ErrorReply(kBadSettings);
    if (!SetAccountSettings(port.store, a.id, settings))
        return ErrorReply(kServerFault);
    return OkReply();
}

// The same answer whether or not an account matched: the reply must not tell
// which addresses have accounts.
std::string RequestReset(AccountPort& port, const Json& body, const std::string&)
{
    std::string error, who;
    if (!Text(body, "username", 320, who, error))
        return error;
    AccountRecord a;
    const bool found = who.find('@') != std::string::npos ? FindAccountByEmail(port.store, who, a)
                                                          : FindAccountByName(port.store, who, a);
    if (found)
        SendLinkMail(port, a, "reset", kResetLinkS);
    return OkReply();
}

std::string RequestVerify(AccountPort& port, const Json& body, const std::string&)
{
    std::string error, username;
    if (!Text(body, "username", 64, username, error))
        return error;
    AccountRecord a;
    if (FindAccountByName(port.store, username, a) && !a.email_verified)
        SendLinkMail(port, a, "verify", kVerifyLinkS);
    return OkReply();
}

std::string ClientCheck(AccountPort& port, const Json& body, const std::string&)
{
    std::string error, channel;
    if (!Text(body, "channel", 64, channel, error))
        return error;
    for (const std::string& allowed : port.options.channels)
        if (channel == allowed)
            return OkReply();
    return ErrorReply(kUnsupportedClient);
}

} // namespace

namespace {

} // namespace


namespace {

// The pages that the links in mails open.
void RoutePages(AccountPort& port)
{
    RoutePage(port, "GET", "/reset", [&port](const HttpRequest& req) {
        const std::string t = HttpParam(req, "t");
        int64_t id = 0;
        const bool live = LooksLikeToken(t) && PeekMailToken(port.store, "reset", TokenHash(t), Now(), id);
        return Page(live ? ResetFormPage(t, "") : ExpiredLinkPage());
    });
    RoutePage(port, "POST", "/reset", [&port](const HttpRequest& req) {
        const std::string t = HttpParam(req, "t");
        const std::string password = HttpParam(req, "password");
        int64_t id = 0;
        std::string page;
        if (!LooksLikeToken(t) || !PeekMailToken(port.store, "reset", TokenHash(t), Now(), id)) {
            page = ExpiredLinkPage();
        } else if (!PasswordAcceptable(password)) {
            page = ResetFormPage(t, kWeakPassword); // the link stays usable
        } else {
            std::string hash;
            if (!HashPassword(password, hash) || !TakeMailToken(port.store, "reset", TokenHash(t), Now(), id) ||
                !SetPasswordHash(port.store, id, hash)) {
                page = ExpiredLinkPage();
            } else {
                DeleteSessions(port.store, id); // signed-in copies must sign in anew
                page = DonePage("Password changed", "Your password was changed. Sign in with the new one.");
            }
        }
        return Page(page);
    }, true);
    RoutePage(port, "GET", "/verify", [&port](const HttpRequest& req) {
        const std::string t = HttpParam(req, "t");
        int64_t id = 0;
        const bool live = LooksLikeToken(t) && PeekMailToken(port.store, "verify", TokenHash(t), Now(), id);
        return Page(live ? VerifyFormPage(t) : ExpiredLinkPage());
    });
    RoutePage(port, "POST", "/verify", [&port](const HttpRequest& req) {
        const std::string t = HttpParam(req, "t");
        int64_t id = 0;
        const bool done = LooksLikeToken(t) && TakeMailToken(port.store, "verify", TokenHash(t), Now(), id) &&
                          SetEmailVerified(port.store, id);
        return Page(done ? DonePage("Email confirmed", "Your email address is confirmed.") : ExpiredLinkPage());
    });
    RoutePage(port, "GET", "/download", [](const HttpRequest&) { return Page(DownloadPage()); });
}

} // namespace

AccountPort* StartAccountPort(const ServiceOptions& options, std::string& error, RoomDirectory rooms)
{
    if (!InitCredentials()) {
        error = "libsodium failed to initialise";
        return nullptr;
    }
    AccountPort* port = new AccountPort;
    port->options = options;
    port->rooms = std::move(rooms);
    port->social.shared = port->rooms.shared;
    port->social.online_window_ms = (int64_t)options.online_window_s * 1000;
    port->social.invite_life_ms = (int64_t)options.invite_life_s * 1000;
    port->outbox = options.data_dir + "/outbox";
    port->public_url = !options.public_url.empty() ? options.public_url
                                                   : (options.tls_only ? "https://" : "http://") + options.bind + ":" +
                                                         std::to_string(kAccountPortNumber);
    while (!port->public_url.empty() && port->public_url.back() == '/')
        port->public_url.pop_back();
    if (!HashPassword(NewToken(), port->dummy_hash)) {
        error = "password hashing failed";
        delete port;
        return nullptr;
    }
    port->store = OpenAccountStore(options.store.empty() ? options.data_dir + "/accounts.sqlite3" : options.store, error);
    if (!port->store) {
        delete port;
        return nullptr;
    }

    Route(*port, "/signup", SignUp, true);
    Route(*port, "/login", SignIn, true);
    Route(*port, "/session", Session);
    Route(*port, "/settings/set", SetSettings);
    Route(*port, "/request-reset", RequestReset);
    Route(*port, "/request-verify", RequestVerify);
    Route(*port, "/clientcheck", ClientCheck);
    RouteSocial(*port);
    RouteInvites(*port);
    RoutePages(*port);

    port->counters.port = "account";
    CountRoutes(port->counters, port->routes);
    HttpFrontOptions front = FrontOptionsFrom(options, kAccountPortNumber, "account");
    front.max_body = kHardBodyLimit;
    front.counters = &port->counters;
    front.error_body = [](int status) {
        return ErrorReply(status == 413 ? kTooLarge : status == 404 ? "Not found." : status >= 500 ? kServerFault : kBadRequest);
    };
    port->front = StartHttpFront(front, port->routes, error);
    if (!port->front) {
        CloseAccountStore(port->store);
        delete port;
        return nullptr;
    }
    return port;
}

void StopAccountPort(AccountPort* port)
{
    if (!port)
        return;
    StopHttpFront(port->front);
    CloseAccountStore(port->store);
    delete port;
}

bool AccountPortStoreAnswers(AccountPort* port)
{
    AccountRecord none;
    TakeStoreFault();
    FindAccountById(port->store, 0, none); // ids start at 1: a cheap indexed read
    return !TakeStoreFault();
}

HttpFront* AccountPortFront(AccountPort* port)
{
    return port ? port->front : nullptr;
}

const HttpCounters& AccountPortCounters(AccountPort* port)
{
    return port->counters;
}

const StoreCounters& AccountPortStoreCounters(AccountPort* port)
{
    return AccountStoreCounters(port->store);
}
