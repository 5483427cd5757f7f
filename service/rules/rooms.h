// Rooms, kept in memory: two members at most (the creator "A", the joiner
// "B"), ready flags, a started flag once both are ready, and the lobby chat.
// A member whose heartbeats stop is first away (its place, ready flag and the
// room's "started" kept for a grace period), then gone; when the host goes the
// room closes.
// Plain data and functions; the room port serialises calls under one lock.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

struct RoomMember
{
    bool present = false;
    std::string name;     // the player's name as sent in "gamertag"
    std::string account;  // folded gamertag of the account it proved with its token; "" for a guest
    std::string cid;      // the client id
    uint32_t ip = 0;      // where its room requests come from (host order)
    int64_t last_seen_ms = 0;
    bool ready = false;
    bool away = false;    // silent past the time-out, inside the grace period
    uint64_t seat = 0;    // moves on when the member comes back or rejoins (relay takeover)
    bool beat = false;    // sent a heartbeat: a client that stays, not a bare create
    // What its requests last said, handed to the partner as they are. The
    // service passes the public key of the link session; the shared keys are
    // derived by the two players alone. "" from an older client.
    std::string link_key;
    std::string kestrel_version;
    std::string game_version;
};

struct ChatLine
{
    int32_t id = 0;
    char role = 'A';
    std::string name;
    std::string body;
};

struct Room
{
    std::string code;
    std::string name;
    bool is_public = true;
    std::string chapter_label, stage, mod;
    uint64_t opened = 0;          // order of creation, for quickmatch
    std::string relay;            // "ADDR:PORT" of the relay that serves it; "" = the backend's own
    RoomMember member[2];         // [0] host "A", [1] joiner "B"
    std::vector<ChatLine> chat;   // bounded history
    int32_t next_chat_id = 1;
};

struct RoomLimits
{
    size_t max_rooms = 1000;
    size_t max_rooms_per_address = 4; // rooms hosted from one address at once
    size_t max_chat_lines = 200;  // kept per room
    int64_t member_timeout_ms = 10000;
    int64_t away_grace_ms = 120000; // after the time-out; 0: removed at the time-out
};

struct RoomStore
{
    std::map<std::string, Room> rooms;
    uint64_t opened_counter = 0;
    RoomLimits limits;
    std::mt19937_64 rng{std::random_device{}()};
    std::string relay;            // this instance's relay, as players reach it; named in the rooms it opens
    size_t rooms_elsewhere = 0;   // rooms of a shared store not loaded here (they count against max_rooms)
    size_t hosted_elsewhere = 0;  // of those, hosted from the creating caller's address
};

// Who is asking, as every room request says.
struct RoomCaller
{
    std::string name;
    std::string cid;
    uint32_t ip = 0;
    std::string account; // folded gamertag its token proved (and its name is); "" otherwise
    // Each "" when the request has none (an older client, or a request that
    // does not carry it): what the member said before stays.
    std::string link_key;
    std::string kestrel_version;
    std::string game_version;
};

// The outcome of one request: ok or a refusal text, plus what the reply needs.
struct RoomResult
{
    bool ok = false;
    std::string error;
    const Room* room = nullptr;
    int slot = 0;                 // the caller's member index in `room`
};

struct CreateRequest
{
    std::string name, chapter_label, stage, mod;
    bool is_public = true;
};

// Codes of 6 upper-case letters and digits without look-alikes (no 0/O, 1/I/L, 2/Z, 5/S, 8/B).
extern const char kRoomCodeAlphabet[];
std::string NewRoomCode(RoomStore& store);

// Upper-cases a typed code; "" when it has characters a code never has.
std::string NormalizeRoomCode(const std::string& typed);

RoomResult CreateRoom(RoomStore& store, const RoomCaller& who, const CreateRequest& req, int64_t now_ms);
RoomResult JoinRoom(RoomStore& store, const RoomCaller& who, const std::string& code, int64_t now_ms);
// The oldest waiting public room, of the caller's game build first when the
// caller and that room's host both name theirs.
RoomResult Quickmatch(RoomStore& store, const RoomCaller& who, int64_t now_ms);
RoomResult Heartbeat(RoomStore& store, const RoomCaller& who, const std::string& code, int64_t now_ms);
RoomResult SetMemberReady(RoomStore& store, const RoomCaller& who, const std::string& code, bool ready, int64_t now_ms);
void LeaveRoomAs(RoomStore& store, const RoomCaller& who, const std::string& code);
RoomResult SendChatLine(RoomStore& store, const RoomCaller& who, const std::string& code, const std::string& text,
                        int64_t now_ms);

// Public rooms that wait for a partner, oldest first, at most `limit`.
std::vector<const Room*> OpenRooms(const RoomStore& store, size_t limit);

// Marks members silent for longer than the timeout away, and removes those
// away for longer than the grace period (closing rooms whose host went). A
// room whose lone host never sent a heartbeat gets no grace.
void ExpireMembers(RoomStore& store, int64_t now_ms);

// Whether the relay may register (code, letter) for this address: the room is
// live and started, and the member's room requests come from the same IP
// (unless `any_ip`). `seat`, when given, receives the member's seat.
bool RelayMayRegister(const RoomStore& store, const std::string& code, char letter, uint32_t ip, bool any_ip,
                      uint64_t* seat = nullptr);

// Rooms by state right now: waiting for a partner, both there but not both
// ready, started; and the players in them.
struct RoomStats
{
    uint64_t waiting = 0, full = 0, started = 0, members = 0, chat_lines = 0;
};

// Whether both players are there and ready.
bool RoomStarted(const Room& room);

// Whether the member has the away grace when it falls silent.
bool HasAwayGrace(const Room& room, int slot);

// The member slot whose account (folded gamertag) proved its seat, or -1.
int ProvedSlot(const Room& room, const std::string& account_key);
