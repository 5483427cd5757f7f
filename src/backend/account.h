// The account: sign-in, sign-up, the saved session in the login file, the
// session check, the reset and verify mail requests, guest mode and sign-out.
// Fields live in g_app.account (the state lock) and g_app.account_request.
#pragma once

#include <cstdint>
#include <string>

// "reframework/data/" + this: {"token":"T","username":"U","gamertag":"G","role":"R","verified":true}
constexpr const char* kLoginFileName = "Kestrel_login.json";

constexpr const char* kResetDoneText =
    "If that email has an account, a reset link is on the way - check your inbox.";
constexpr const char* kVerifyDoneText = "Verification email sent - check your inbox.";
constexpr const char* kSignInFailedText = "Sign in failed. Try again.";
constexpr const char* kCantReachText = "Can't reach the server. Check your connection.";

// Render thread. Ignored while a sign-in or sign-up runs; else auth_status
// becomes AuthRunning and SignInWorker runs on copies. For a sign-in, gamertag
// and email are empty. True when a worker was started.
bool StartSignIn(bool is_signup, const std::string& username, const std::string& password,
                 const std::string& gamertag, const std::string& email);

// One "/login" or "/signup" exchange; ends with auth_status AuthSucceeded
// (fields set, login file written, settings handed over) or AuthFailed (with
// auth_message). `sign_outs` is the sign-out count at its start: after a
// sign-out the answer is dropped and the status goes back to idle.
void SignInWorker(bool is_signup, std::string username, std::string password, std::string gamertag,
                  std::string email, uint32_t sign_outs);
// The same, as of the current sign-out count.
void SignInWorker(bool is_signup, std::string username, std::string password, std::string gamertag,
                  std::string email);

// Takes over a finished sign-in on the render thread: display name, guest flag
// off, status back to idle, the welcome page at once. True when it did; the
// caller then clears the sign-in pages' password buffer.
bool FinishSignIn();

// The login file's text from the account fields; "" without a token. The
// caller holds the state lock.
std::string LoginFileText();

// Replaces the login file with `text` through a temporary file; no lock held.
bool SaveLogin(const std::string& text);

// Render thread, every frame; acts once per process: restores the saved
// session (Home at once) and starts its check in the background.
void LoadSavedLogin();

// One "/session" exchange for `token`: refreshes the names and the settings
// when accepted, sets session_expired when refused, changes nothing when the
// service cannot be reached. A result for a token that is no longer the
// current one is dropped.
void SessionCheckWorker(std::string token);

// Render thread: posts {"username":X} to `path` ("/request-reset" or
// "/request-verify"); ends with request_message = done_text whatever happened.
// Ignored while one is sending. True when a worker was started.
bool StartAccountRequest(const std::wstring& path, const std::string& username, const std::string& done_text);

// Render thread: a finished failure goes back to idle (hiding its message);
// a running sign-in keeps its status, so no second one can start beside it.
void ClearSignInFailure();

// Render thread: a guest named Guest1000..Guest9999, on Home.
void ContinueAsGuest();

// Render thread: leaves the room, uploads a pending settings change under
// this account, forgets the account, its lists and the login file, back to
// sign-in. A sign-in still running ends discarded.
void SignOut();
