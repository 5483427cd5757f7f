// A fresh client process for the saved-login tests: in the game directory
// given as the argument it runs what the overlay frame runs at start (restore
// the login file, let the session check finish, sign out if it was refused)
// and prints the resulting identity, one "name=value" line each.
#include "backend/account.h"
#include "platform/platform.h"
#include "state/app_state.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2 || chdir(argv[1]) != 0) {
        fprintf(stderr, "usage: kestrel_login_probe GAME_DIR\n");
        return 2;
    }
    LoadSavedLogin();
    const bool restored = !g_app.account.is_guest;
    for (int i = 0; restored && i < 1500 && !g_app.account.session_checked.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (restored && !g_app.account.session_checked.load()) {
        fprintf(stderr, "kestrel_login_probe: the session check did not end\n");
        return 1;
    }
    if (g_app.flags.session_expired.exchange(false))
        SignOut();

    std::lock_guard<std::mutex> hold(g_app.account.lock);
    const AccountState& a = g_app.account;
    FILE* file = fopen(DataPath(kLoginFileName).c_str(), "rb");
    if (file)
        fclose(file);
    printf("restored=%d\ntoken=%s\nusername=%s\ngamertag=%s\nrole=%s\nverified=%d\ndisplay_name=%s\nis_guest=%d\n"
           "page=%d\npending_page=%d\nlogin_file=%d\n",
           restored, a.token.c_str(), a.username.c_str(), a.gamertag.c_str(), a.role.c_str(), a.email_verified,
           a.display_name, a.is_guest, g_app.shell.current_page, g_app.shell.pending_page, file != nullptr);
    return 0;
}
