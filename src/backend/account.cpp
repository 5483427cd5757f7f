#include "backend/account.h"

#include "backend/friends.h"

#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/rooms.h"
#include "backend/settings.h"
#include "link/channel_files.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "state/utf8_text.h"
#include "state/worker.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace {

// A login file is a few hundred bytes; anything far larger is not ours.
constexpr size_t kLoginFileMaxBytes = 64 * 1024;

// The caller holds the state lock: other threads copy the name under it.
void SetDisplayName(const std::string& name)
{
    Utf8CopyCut(g_app.account.display_name, sizeof(g_app.account.display_name), name.data(), name.size());
}

// The identity members of an accepted "/login", "/signup" or "/session" reply,
// or of the login file (which names the verified flag "verified"). The caller
// holds the state lock.
void StoreIdentity(const std::string& text, const char* verified_key = "email_verified")
{
    AccountState& a = g_app.account;
    a.username = JsonGetString(text, "username");
    a.gamertag = JsonGetString(text, "gamertag");
    a.role = JsonGetString(text, "role");
    bool verified = false;
    JsonGetBool(text, verified_key, verified);
    a.email_verified = verified;
    if (a.gamertag.empty())
        a.gamertag = a.username;
}

bool ReadLoginFile(std::string& text)
{
    FILE* f = fopen(DataPath(kLoginFileName).c_str(), "rb");
    if (!f)
        return false;
    char buf[4096];
    size_t n;
    bool fits = true;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        if (text.size() + n > kLoginFileMaxBytes) {
            fits = false;
            break;
        }
        text.append(buf, n);
    }
    fclose(f);
    return fits;
}

void AccountRequestWorker(std::wstring path, std::string username, std::string done_text)
{
    std::string reply;
    // The reply is not read, but no answer at all is not a mail on its way.
    const bool answered = HttpPostJson(kAccountPort, path, "{\"username\":\"" + JsonEscape(username) + "\"}", reply);
    {
        std::lock_guard<std::mutex> hold(g_app.account_request.lock);
        g_app.account_request.request_message = answered ? std::move(done_text) : std::string(kCantReachText);
        g_app.account_request.request_failed = !answered;
    }
    g_app.flags.request_status.store(RequestDone);
}

} // namespace

bool StartSignIn(bool is_signup, const std::string& username, const std::string& password,
                 const std::string& gamertag, const std::string& email)
{
    void (*worker)(bool, std::string, std::string, std::string, std::string, uint32_t) = SignInWorker;
    // Nothing the guest, or the last account's closing requests, opened is
    // carried into the account signing in.
    if (g_app.flags.auth_status.load() != AuthRunning)
        HttpCloseConnections();
    return StartStatusWorker(g_app.flags.auth_status, AuthRunning, worker, is_signup, username, password, gamertag,
                             email, g_app.account.sign_outs.load());
}

void SignInWorker(bool is_signup, std::string username, std::string password, std::string gamertag,
                  std::string email)
{
    SignInWorker(is_signup, std::move(username), std::move(password), std::move(gamertag), std::move(email),
                 g_app.account.sign_outs.load());
}

void SignInWorker(bool is_signup, std::string username, std::string password, std::string gamertag,
                  std::string email, uint32_t sign_outs)
{
    std::string body;
    if (is_signup)
        body = "{\"username\":\"" + JsonEscape(username) + "\",\"gamertag\":\"" + JsonEscape(gamertag) +
               "\",\"password\":\"" + JsonEscape(password) + "\",\"email\":\"" + JsonEscape(email) + "\"}";
    else
        body = "{\"username\":\"" + JsonEscape(username) + "\",\"password\":\"" + JsonEscape(password) + "\"}";
    std::string reply;
    const bool answered = HttpPostJson(kAccountPort, is_signup ? L"/signup" : L"/login", body, reply);
    bool ok = false;
    if (answered)
        JsonGetBool(reply, "ok", ok);

    AccountState& a = g_app.account;
    if (answered && ok) {
        std::string token, login;
        {
            std::lock_guard<std::mutex> hold(a.lock);
            // The player signed out while this ran: nobody asked for this
            // account any more, so it is neither kept nor saved.
            if (a.sign_outs.load() != sign_outs) {
                g_app.flags.auth_status.store(AuthIdle);
                return;
            }
            StoreIdentity(reply);
            a.token = token = JsonGetString(reply, "token");
            login = LoginFileText();
            ApplyServerSettings(JsonGetString(reply, "settings"));
        }
        // Written outside the lock: a slow disk must not stall a frame that
        // reads the account fields.
        if (!login.empty() && SaveLogin(login)) {
            std::lock_guard<std::mutex> hold(a.lock);
            if (a.token != token) // signed out meanwhile: its delete may have come first
                RemoveFile(DataPath(kLoginFileName));
        }
        g_app.flags.auth_status.store(AuthSucceeded);
        return;
    }
    std::lock_guard<std::mutex> hold(a.lock);
    if (a.sign_outs.load() != sign_outs) {
        g_app.flags.auth_status.store(AuthIdle);
        return;
    }
    if (answered) {
        const std::string error = JsonGetString(reply, "error");
        a.auth_message = error.empty() ? kSignInFailedText : error;
        g_app.flags.auth_status.store(AuthFailed);
    } else {
        a.auth_message = kCantReachText;
        g_app.flags.auth_status.store(AuthFailed);
    }
}

bool FinishSignIn()
{
    if (g_app.flags.auth_status.load() != AuthSucceeded)
        return false;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        if (!g_app.account.gamertag.empty())
            SetDisplayName(g_app.account.gamertag);
    }
    g_app.account.is_guest = false;
    g_app.flags.auth_status.store(AuthIdle);
    g_app.shell.current_page = PageWelcome;
    g_app.shell.welcome_timer = 0.0f;
    g_app.shell.page_fade = 1.0f;
    g_app.shell.pending_page = -1;
    return true;
}

std::string LoginFileText()
{
    const AccountState& a = g_app.account;
    if (a.token.empty())
        return std::string();
    return "{\"token\":\"" + JsonEscape(a.token) + "\",\"username\":\"" + JsonEscape(a.username) +
           "\",\"gamertag\":\"" + JsonEscape(a.gamertag) + "\",\"role\":\"" + JsonEscape(a.role) +
           "\",\"verified\":" + (a.email_verified ? "true" : "false") + "}";
}

bool SaveLogin(const std::string& text)
{
    return WriteFileAtomically(DataPath(kLoginFileName), text);
}

void LoadSavedLogin()
{
    if (g_app.account.login_loaded.exchange(true))
        return;
    std::string text;
    if (!ReadLoginFile(text))
        return;
    const std::string token = JsonGetString(text, "token");
    if (token.empty())
        return;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        AccountState& a = g_app.account;
        a.token = token;
        StoreIdentity(text, "verified");
        SetDisplayName(!a.gamertag.empty() ? a.gamertag : a.username);
    }
    g_app.account.is_guest = false;
    g_app.shell.current_page = PageHome;
    g_app.shell.page_fade = 1.0f;
    g_app.shell.pending_page = -1;
    StartWorker(SessionCheckWorker, token);
}

void SessionCheckWorker(std::string token)
{
    std::string reply;
    const bool answered = HttpPostJson(kAccountPort, L"/session", "{\"token\":\"" + JsonEscape(token) + "\"}", reply);
    bool ok = false;
    if (answered)
        JsonGetBool(reply, "ok", ok);
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        // No answer: an offline start keeps the saved identity. A token that is
        // no longer the current one (signed out or in anew meanwhile) is not
        // ours to judge.
        if (answered && g_app.account.token == token) {
            if (ok) {
                StoreIdentity(reply);
                ApplyServerSettings(JsonGetString(reply, "settings"));
            } else {
                g_app.flags.session_expired.store(true);
            }
        }
    }
    g_app.account.session_checked.store(true);
}

bool StartAccountRequest(const std::wstring& path, const std::string& username, const std::string& done_text)
{
    if (g_app.flags.request_status.load() == RequestSending)
        return false;
    {
        std::lock_guard<std::mutex> hold(g_app.account_request.lock);
        g_app.account_request.request_message.clear();
        g_app.account_request.request_path = path;
        g_app.account_request.request_failed = false;
    }
    return StartStatusWorker(g_app.flags.request_status, RequestSending, AccountRequestWorker, path, username,
                             done_text);
}

bool RequestShownFor(const std::wstring& path, std::string& text, bool& failed)
{
    std::lock_guard<std::mutex> hold(g_app.account_request.lock);
    if (g_app.account_request.request_path != path)
        return false;
    text = g_app.account_request.request_message;
    failed = g_app.account_request.request_failed;
    return true;
}

void ClearSignInFailure()
{
    int32_t failed = AuthFailed;
    g_app.flags.auth_status.compare_exchange_strong(failed, AuthIdle);
}

void ContinueAsGuest()
{
    std::random_device random;
    const unsigned n = (unsigned)random() % 9000 + 1000;
    char name[16];
    snprintf(name, sizeof(name), "Guest%u", n);
    g_app.account.is_guest = true;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        SetDisplayName(name);
    }
    ClearSignInFailure();
    NavigateTo(PageHome);
}

void SignOut()
{
    // The room goes first, while the name it was entered under is still set:
    // the partner sees the player leave, and nothing of it runs on under the
    // next player's name.
    LeaveRoom();
    // A change not yet uploaded belongs to this account: sent now with its
    // token, never later with the next player's.
    FlushSettingsUpload();
    g_app.account.is_guest = true;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        SetDisplayName("Guest");
        AccountState& a = g_app.account;
        a.sign_outs.fetch_add(1);
        a.username.clear();
        a.gamertag.clear();
        a.role.clear();
        a.token.clear();
        a.email_verified = false;
    }
    ClearSocialLists();
    RemoveFile(DataPath(kLoginFileName));
    // Kept connections and TLS sessions are the account's: the next one starts
    // on its own (requests still running close theirs when they end).
    HttpCloseConnections();
    // A sign-in still running keeps its status until it ends (discarded), so
    // no second one starts beside it.
    int32_t status = g_app.flags.auth_status.load();
    while (status != AuthRunning && !g_app.flags.auth_status.compare_exchange_weak(status, AuthIdle)) {
    }
    NavigateTo(PageSignIn);
}
