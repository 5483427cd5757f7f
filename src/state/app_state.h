// AppState: the one process-wide state, shared by the game's render thread, its
// window thread and the background workers.
//
// How it is kept:
// - Every field has static storage (one object, g_app, constinit where the
//   toolchain allows), so the defaults are in place before the host makes its
//   first call and nothing is ever freed.
// - A data group (strings, lists, records a worker fills and the overlay reads)
//   is a plain struct with its own std::mutex named `lock`. Take it, copy in or
//   out, release it. Never hold one across a network call.
// - A flag that passes work between threads is a std::atomic, written with
//   sequentially consistent exchanges or stores.
// - Lock order: the toast lock may be taken inside any other group lock, the
//   settings lock inside the state lock, and the state lock inside the poller's
//   lock; nothing nests the other way round.
//
// Adding a group: define `struct FooState { std::mutex lock; ...fields with their
// defaults... };` in state/foo_state.h, include it here and add a member to
// AppState below. Every default must be a constant expression (constinit checks).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "state/account_state.h"
#include "state/input_state.h"
#include "state/link_state.h"
#include "state/nameplate_state.h"
#include "state/overlay_state.h"
#include "state/room_state.h"
#include "state/settings_state.h"
#include "state/shell_state.h"
#include "state/social_state.h"
#include "state/toasts.h"
#include "state/update_state.h"

// ---------------------------------------------------------------------------
// Core flags: the cross-thread signals shared by several areas
// ---------------------------------------------------------------------------

// Values of auth_status.
enum AuthStatus : int32_t { AuthIdle = 0, AuthRunning = 1, AuthSucceeded = 2, AuthFailed = 3 };

// Values of room_state.
enum RoomStateValue : int32_t { RoomIdle = 0, RoomBusy = 1, RoomIn = 2, RoomFailed = 3 };

struct CoreFlags
{
    std::atomic<bool>    api_once{false};             // the message poller was started
    std::atomic<bool>    client_check_started{false}; // the client check ran (once per process)
    std::atomic<int32_t> auth_status{AuthIdle};       // sign-in / sign-up
    std::atomic<int32_t> request_status{0};           // reset or verify request
    std::atomic<bool>    session_expired{false};      // stored sign-in refused; sign out next frame
    std::atomic<bool>    settings_arrived{false};     // server settings wait under the settings lock
    std::atomic<bool>    settings_dirty{false};       // a setting changed...
    std::atomic<int64_t> settings_dirty_ns{0};        // ...at this steady-clock time
    std::atomic<int32_t> room_state{RoomIdle};
    std::atomic<bool>    room_started{false};         // backend reports both players ready
    std::atomic<int32_t> sound_request{0};            // a click sound asked for by another thread
    std::atomic<bool>    friends_busy{false};
    std::atomic<bool>    conversation_busy{false};    // a conversation fetch runs
    std::atomic<int32_t> message_send{0};              // MessageSend: the direct message being sent
    std::atomic<int32_t> shown_page{0};               // current_page, published each frame
    std::atomic<bool>    chat_poll_busy{false};
    std::atomic<bool>    link_running{false};
    std::atomic<bool>    link_stop{false};
};

// ---------------------------------------------------------------------------
// The state
// ---------------------------------------------------------------------------

struct AppState
{
    CoreFlags flags;
    LinkStats link;     // the link-statistics lock
    LinkKeysState link_keys;             // the link-keys lock
    AccountState account;                // the state lock
    AccountRequestState account_request; // the reset lock
    UpdateNoticeState update_notice;     // the client-check lock
    SettingsSyncState settings_sync;     // the settings lock
    SettingsRecord settings;             // render thread
    NameplateSettings nameplate;         // render thread
    ShellState shell;                    // render thread
    RoomState room;                      // the room lock
    ClientIdState client_id;             // the client-id lock
    SavedRoomState saved_room;           // the saved-room lock (taken inside none, holds none but file I/O)
    ChatState chat;                      // the chat lock
    RoomListState room_list;             // the room-list lock
    ToastState toasts;                   // the toast lock (innermost)
    OverlayState overlay;                // overlay open, virtual cursor, published capture wishes
    InputQueueState input;               // the input-queue lock
    SocialState social;                  // the social lock
    PollerState poller;                  // the poller's lock
};

// mingw's std::mutex (winpthreads) has no constexpr constructor, so there g_app
// is set up by the static initialiser that the loader runs before any export
// is called; the other builds keep constinit, which proves every default is a
// constant.
#if defined(__MINGW32__)
#define KESTREL_CONSTINIT
#define KESTREL_CONSTEXPR
#elif defined(__clang__)
// clang 14 cannot constant-evaluate libstdc++ 12's std::string constructor.
#define KESTREL_CONSTINIT
#define KESTREL_CONSTEXPR constexpr
#else
#define KESTREL_CONSTINIT constinit
#define KESTREL_CONSTEXPR constexpr
#endif

// Detached workers may still run while the process exits, so the state is
// never destroyed: it lives in storage whose destructor leaves it alone.
union AppStateStorage
{
    AppState state;
    KESTREL_CONSTEXPR AppStateStorage() : state() {}
    ~AppStateStorage() {}
};

extern AppState& g_app;
