// Puts the account, settings, shell and client-check parts of g_app back to
// their start values, for tests that run many cases in one process.
#pragma once

#include "backend/friends.h"
#include "backend/rooms.h"
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
    g_app.account.sign_outs.store(0);
    g_app.room.last_ready_change_ns.store(INT64_MIN / 2);
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

// The signed-in identity, copied under the state lock.
struct Identity
{
    std::string token, username, gamertag, role, auth_message;
    bool verified = false;
};

inline Identity Current()
{
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    const AccountState& a = g_app.account;
    return {a.token, a.username, a.gamertag, a.role, a.auth_message, a.email_verified};
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

// Room, chat, room list and toasts back to their start values. A heartbeat
// still running ends at its next check, since the generation moves on.
inline void ResetRoomAreas()
{
    RoomState& r = g_app.room;
    r.heartbeat_active.store(false);
    r.room_generation.fetch_add(1);
    {
        std::lock_guard<std::mutex> hold(r.lock);
        r.room_code.clear();
        r.room_name.clear();
        r.room_partner.clear();
        r.room_role = 0;
        r.room_chapter_label.clear();
        r.room_stage.clear();
        r.room_mod.clear();
        r.room_error.clear();
        r.room_relay.clear();
    }
    r.my_ready.store(false);
    r.peer_ready.store(false);
    r.partner_present.store(false);
    r.partner_in_game.store(false);
    {
        std::lock_guard<std::mutex> hold(g_app.chat.lock);
        g_app.chat.chat_messages.clear();
        g_app.chat.chat_last_id = 0;
        g_app.chat.chat_input[0] = 0;
    }
    g_app.chat.chat_primed.store(false);
    {
        // A sender still running clears its own flag when its queue is empty.
        std::lock_guard<std::mutex> hold(g_app.chat.send_lock);
        g_app.chat.send_queue.clear();
    }
    {
        std::lock_guard<std::mutex> hold(g_app.room_list.lock);
        g_app.room_list.rooms.clear();
    }
    g_app.room_list.status.store(RoomListNever);
    {
        std::lock_guard<std::mutex> hold(g_app.toasts.lock);
        g_app.toasts.queue.clear();
    }
    g_app.toasts.enabled.store(true);
    g_app.flags.room_state.store(RoomIdle);
    g_app.flags.room_started.store(false);
    g_app.flags.chat_poll_busy.store(false);
    g_app.flags.sound_request.store(0);
}

// Friends, conversation and the poller's counts back to their start values.
inline void ResetSocialAreas()
{
    ClearSocialLists();
    g_app.flags.message_send.store(SendIdle);
    g_app.poller.threads_primed.store(false);
    std::lock_guard<std::mutex> hold(g_app.poller.lock);
    g_app.poller.unread_counts.clear();
    g_app.poller.counts_token.clear();
}

// The overlay's open flag, cursor and published wishes back to their start
// values (the input queue has its own reset).
inline void ResetOverlayFlags()
{
    OverlayState& o = g_app.overlay;
    o.overlay_open = false;
    o.virtual_cursor_x = 0.0f;
    o.virtual_cursor_y = 0.0f;
    o.virtual_cursor_placed = false;
    o.capturing_key = false;
    o.toggle_vk = 0x23;
    o.want_capture_mouse = false;
    o.want_capture_keyboard = false;
    o.want_text_input = false;
}

// Leaves the room this process is in, if any, and waits (up to 3 s) for the
// peer link to stop: a test's end must not leave a link writing into the next.
inline void LeaveRoomAndWaitForLink()
{
    if (g_app.flags.room_state.load() != RoomIdle)
        LeaveRoom();
    for (int i = 0; i < 300 && g_app.flags.link_running.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
