// The room the player is in, its lobby chat, the list of open rooms and the
// per-process client id. Strings sit under their group's lock; the flags that
// pass work between threads are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct RoomState // "the room lock"
{
    std::mutex lock;
    std::string room_code;          // empty: in no room
    std::string room_name;
    std::string room_partner;       // as the heartbeat last reported it
    char room_role = 0;             // 'A' or 'B' in a room, else 0
    std::string room_chapter_label;
    std::string room_stage;
    std::string room_mod;
    std::string room_error;         // shown while room_state is RoomFailed
    std::string room_relay;         // "A.B.C.D:PORT" the service named for the room; "": the backend host's
    std::string partner_kestrel_version; // as the partner's requests said; "" from an older client
    std::string partner_game_version;

    std::atomic<uint32_t> room_generation{0}; // +1 on every room entered and every leave
    std::atomic<uint32_t> relay_changes{0};   // +1 on every change of room_relay: the running link moves
    std::atomic<bool> heartbeat_active{false};
    std::atomic<bool> my_ready{false};
    std::atomic<bool> peer_ready{false};
    // A beat reports the ready flags as the service had them when it answered,
    // which can be before the player's last ready change reached it. These
    // let the heartbeat tell such a beat from a newer one.
    std::atomic<uint32_t> ready_changes{0};  // +1 on every SetReady
    std::atomic<int32_t> ready_in_flight{0}; // "/ready" requests not yet answered or failed
    std::atomic<int64_t> last_ready_change_ns{INT64_MIN / 2}; // the lobby button's last accepted change (steady clock)
    std::atomic<bool> partner_present{false};  // as the heartbeat last saw it
    std::atomic<bool> partner_in_game{false};  // link_running as the heartbeat last saw it
    // Riding out a drop: beats in a row that got no answer, the lobby's
    // "Reconnecting..." after two of them, and the partner the service
    // reports as away (silent, its place kept).
    std::atomic<int32_t> missed_beats{0};
    std::atomic<bool> reconnecting{false};
    std::atomic<bool> partner_away{false};
    std::atomic<bool> rejoin_ready{false}; // the next join is a rejoin of a room the player was ready in
};

// The client id and the last room, kept in the data folder across restarts.
struct SavedRoom
{
    std::string cid;
    std::string code;     // "" when there is no room to rejoin
    char role = 0;
    bool ready = false;
    int64_t saved_s = 0;  // Unix time of the last beat the room answered
    std::string account;  // the signed-in username, "" for a guest
};

struct SavedRoomState // "the saved-room lock"
{
    std::mutex lock;
    bool loaded = false;  // the file has been read once
    SavedRoom room;
    uint64_t version = 0; // one more on every change of `room`
    uint64_t written = 0; // the version the file holds
    // Held across the file write (never inside `lock`), so a slow disk stalls
    // only the writer, and writers land in order.
    std::mutex write_lock;
};

struct ClientIdState // "the client-id lock"
{
    std::mutex lock;
    std::string id;
};

struct ChatMessage
{
    int32_t id = 0;
    std::string role;
    std::string name;
    std::string body;
};

struct ChatState // "the chat lock"
{
    std::mutex lock;
    std::vector<ChatMessage> chat_messages;
    int32_t chat_last_id = 0;
    std::atomic<bool> chat_primed{false}; // the room's first poll is in: later lines raise toasts
    char chat_input[512] = {};            // render thread (cleared under the lock by LeaveRoom)

    // Lines leave one at a time, in the order typed: a worker per line would
    // race its siblings to the service and could swap them.
    std::mutex send_lock; // the queue and the flag only, never with the chat lock
    std::vector<std::string> send_queue; // request bodies, oldest first
    bool sender_running = false;
};

struct RoomListEntry
{
    std::string code;
    std::string name;
    std::string host;
    int32_t players = 0;
    int32_t max = 2;
};

// Values of room_list_status.
enum RoomListStatus : int32_t { RoomListNever = 0, RoomListFetching = 1, RoomListDone = 2, RoomListFailed = 3 };

struct RoomListState // "the room-list lock" (the list only)
{
    std::mutex lock;
    std::vector<RoomListEntry> rooms;
    std::atomic<int32_t> status{RoomListNever};
};
