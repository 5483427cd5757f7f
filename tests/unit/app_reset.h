// Puts the account, settings, shell and client-check parts of g_app back to
// their start values, for tests that run many cases in one process.
#pragma once

#include "state/app_state.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

inline void ResetAccountAreas()
{
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        AccountState& a = g_app.account;
        a.token.clear();
        a.username.clear();
        a.gamertag.clear();
        a.role.clear();
        a.email_verified = false;
        a.auth_message.clear();
        snprintf(a.display_name, sizeof(a.display_name), "Guest");
    }
    g_app.account.is_guest = true;
    g_app.account.login_loaded.store(false);
    g_app.account.session_checked.store(false);
    {
        std::lock_guard<std::mutex> hold(g_app.account_request.lock);
        g_app.account_request.request_message.clear();
    }
    {
        std::lock_guard<std::mutex> hold(g_app.settings_sync.lock);
        g_app.settings_sync.pending.clear();
    }
    {
        std::lock_guard<std::mutex> hold(g_app.update_notice.lock);
        g_app.update_notice.update_message.clear();
    }
    g_app.update_notice.update_required.store(false);
    g_app.settings = SettingsRecord{};
    g_app.shell = ShellState{};
    g_app.flags.auth_status.store(AuthIdle);
    g_app.flags.request_status.store(RequestIdle);
    g_app.flags.session_expired.store(false);
    g_app.flags.settings_arrived.store(false);
    g_app.flags.settings_dirty.store(false);
    g_app.flags.settings_dirty_ns.store(0);
    g_app.flags.client_check_started.store(false);
}

inline std::string DisplayName()
{
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    return g_app.account.display_name;
}

// Waits (up to 10 s) until `done` holds; for results of detached workers.
template <class Done>
bool WaitUntil(Done done)
{
    for (int i = 0; i < 1000; i++) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}
