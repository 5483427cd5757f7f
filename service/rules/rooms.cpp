#include "rules/rooms.h"

#include <algorithm>

const char kRoomCodeAlphabet[] = "ACDEFGHJKMNPQRTUVWXY34679";
static const size_t kCodeLength = 6;

std::string NewRoomCode(RoomStore& store)
{
    const size_t n = sizeof(kRoomCodeAlphabet) - 1;
    for (;;) {
        std::string code;
        for (size_t i = 0; i < kCodeLength; i++)
            code += kRoomCodeAlphabet[std::uniform_int_distribution<size_t>(0, n - 1)(store.rng)];
        if (!store.rooms.count(code))
            return code;
    }
}

std::string NormalizeRoomCode(const std::string& typed)
{
    std::string code;
    for (char c : typed) {
        if (c == ' ' || c == '-')
            continue; // as copied from a room card
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return std::string();
        code += c;
    }
    return code.size() <= 7 ? code : std::string();
}

bool RoomStarted(const Room& room)
{
    return room.member[0].present && room.member[1].present && room.member[0].ready && room.member[1].ready;
}

// A member is its client id alone: a guest who signs in mid-room plays on
// under a new name (which the partner sees from then on).
static int SlotOf(const Room& room, const RoomCaller& who)
{
    for (int i = 0; i < 2; i++)
        if (room.member[i].present && room.member[i].cid == who.cid)
            return i;
    return -1;
}

// The member answered a request: seen now, from this address, under this name.
static void Touch(RoomMember& m, const RoomCaller& who, int64_t now_ms)
{
    if (m.away) { // back: its new address may take the relay registration at once
        m.away = false;
        m.seat++;
    }
    m.last_seen_ms = now_ms;
    m.ip = who.ip;
    // A request without a token (an older client, or one of its routes that
    // sends none) keeps the proof while the name stays the same.
    if (!who.account.empty() || who.name != m.name)
        m.account = who.account;
    m.name = who.name;
    if (!who.link_key.empty())
        m.link_key = who.link_key;
    if (!who.kestrel_version.empty())
        m.kestrel_version = who.kestrel_version;
    if (!who.game_version.empty())
        m.game_version = who.game_version;
}

static void Seat(RoomMember& m, const RoomCaller& who, int64_t now_ms)
{
    m = RoomMember{};
    m.present = true;
    m.name = who.name;
    m.account = who.account;
    m.cid = who.cid;
    m.ip = who.ip;
    m.last_seen_ms = now_ms;
    m.link_key = who.link_key;
    m.kestrel_version = who.kestrel_version;
    m.game_version = who.game_version;
}

static void RemoveMember(RoomStore& store, std::map<std::string, Room>::iterator it, int slot)
{
    if (slot == 0) {
        store.rooms.erase(it); // the host's room closes with them
        return;
    }
    Room& room = it->second;
    room.member[1] = RoomMember{};
    room.member[0].ready = false; // the room waits again
}

// A player is in one room at most: entering a room leaves any other.
static void LeaveOtherRooms(RoomStore& store, const RoomCaller& who, const std::string& keep)
{
    for (auto it = store.rooms.begin(); it != store.rooms.end();) {
        auto next = std::next(it);
        if (it->first != keep) {
            for (int i = 0; i < 2; i++)
                if (it->second.member[i].present && it->second.member[i].cid == who.cid) {
                    RemoveMember(store, it, i);
                    break;
                }
        }
        it = next;
    }
}

static RoomResult Refuse(const std::string& text)
{
    RoomResult r;
    r.error = text;
    return r;
}

static RoomResult Accept(const Room& room, int slot)
{
    RoomResult r;
    r.ok = true;
    r.room = &room;
    r.slot = slot;
    return r;
}

RoomResult CreateRoom(RoomStore& store, const RoomCaller& who, const CreateRequest& req, int64_t now_ms)
{
    // Refused before anything is left: a refusal must not cost the current
    // room. A room the caller hosts closes on the way, so it makes space.
    size_t hosted = 0, from_address = 0, own_from_address = 0;
    for (const auto& [code, room] : store.rooms) {
        const RoomMember& host = room.member[0];
        const bool own = host.present && host.cid == who.cid;
        hosted += own ? 1 : 0;
        if (host.present && host.ip == who.ip && who.ip != 0) {
            from_address++;
            own_from_address += own ? 1 : 0;
        }
    }
    if (store.rooms.size() + store.rooms_elsewhere - hosted >= store.limits.max_rooms)
        return Refuse("The server is full. Try again later.");
    // One address cannot keep the server full for everyone else.
    if (store.limits.max_rooms_per_address > 0 && who.ip != 0 &&
        from_address + store.hosted_elsewhere - own_from_address >= store.limits.max_rooms_per_address)
        return Refuse("Too many rooms are open from your network. Try again later.");
    LeaveOtherRooms(store, who, std::string());
    Room room;
    room.code = NewRoomCode(store);
    room.name = req.name;
    room.is_public = req.is_public;
    room.chapter_label = req.chapter_label;
    room.stage = req.stage;
    room.mod = req.mod;
    room.opened = ++store.opened_counter;
    room.relay = store.relay;
    Seat(room.member[0], who, now_ms);
    Room& stored = store.rooms[room.code] = std::move(room);
    return Accept(stored, 0);
}

RoomResult JoinRoom(RoomStore& store, const RoomCaller& who, const std::string& typed, int64_t now_ms)
{
    const std::string code = NormalizeRoomCode(typed);
    auto it = store.rooms.find(code);
    if (code.empty() || it == store.rooms.end())
        return Refuse("Room not found.");
    Room& room = it->second;
    const int slot = SlotOf(room, who);
    if (slot >= 0) { // already in it (or back after a restart): the same answer again
        Touch(room.member[slot], who, now_ms);
        room.member[slot].seat++; // a restarted client links from a new socket
        room.member[slot].link_key = who.link_key; // and with new keys: the old one is no longer its
        return Accept(room, slot);
    }
    if (room.member[1].present)
        return Refuse("Room is full.");
    LeaveOtherRooms(store, who, code);
    Seat(room.member[1], who, now_ms);
    return Accept(room, 1);
}

RoomResult Quickmatch(RoomStore& store, const RoomCaller& who, int64_t now_ms)
{
    const Room* oldest = nullptr;
    bool oldest_same = false;
    for (const auto& [code, room] : store.rooms) {
        if (!room.is_public || room.member[1].present || room.member[0].cid == who.cid)
            continue;
        const bool same = !who.game_version.empty() && room.member[0].game_version == who.game_version;
        if (!oldest || (same && !oldest_same) || (same == oldest_same && room.opened < oldest->opened)) {
            oldest = &room;
            oldest_same = same;
        }
    }
    if (oldest)
        return JoinRoom(store, who, oldest->code, now_ms);
    CreateRequest req;
    req.name = who.name + "'s room";
    return CreateRoom(store, who, req, now_ms);
}

static Room* FindMemberRoom(RoomStore& store, const RoomCaller& who, const std::string& code, int& slot)
{
    auto it = store.rooms.find(NormalizeRoomCode(code));
    if (it == store.rooms.end())
        return nullptr;
    slot = SlotOf(it->second, who);
    return slot < 0 ? nullptr : &it->second;
}

RoomResult Heartbeat(RoomStore& store, const RoomCaller& who, const std::string& code, int64_t now_ms)
{
    int slot = 0;
    Room* room = FindMemberRoom(store, who, code, slot);
    if (!room)
        return Refuse("Room closed.");
    Touch(room->member[slot], who, now_ms);
    room->member[slot].beat = true;
    return Accept(*room, slot);
}

RoomResult SetMemberReady(RoomStore& store, const RoomCaller& who, const std::string& code, bool ready, int64_t now_ms)
{
    int slot = 0;
    Room* room = FindMemberRoom(store, who, code, slot);
    if (!room)
        return Refuse("Room not found.");
    room->member[slot].ready = ready;
    Touch(room->member[slot], who, now_ms);
    return Accept(*room, slot);
}

void LeaveRoomAs(RoomStore& store, const RoomCaller& who, const std::string& code)
{
    auto it = store.rooms.find(NormalizeRoomCode(code));
    if (it == store.rooms.end())
        return;
    const int slot = SlotOf(it->second, who);
    if (slot >= 0)
        RemoveMember(store, it, slot);
}

RoomResult SendChatLine(RoomStore& store, const RoomCaller& who, const std::string& code, const std::string& text,
                        int64_t now_ms)
{
    int slot = 0;
    Room* room = FindMemberRoom(store, who, code, slot);
    if (!room)
        return Refuse("Room not found.");
    Touch(room->member[slot], who, now_ms);
    room->chat.push_back(ChatLine{room->next_chat_id++, slot == 0 ? 'A' : 'B', who.name, text});
    if (room->chat.size() > store.limits.max_chat_lines)
        room->chat.erase(room->chat.begin());
    return Accept(*room, slot);
}

std::vector<const Room*> OpenRooms(const RoomStore& store, size_t limit)
{
    std::vector<const Room*> open;
    for (const auto& [code, room] : store.rooms)
        if (room.is_public && !room.member[1].present)
            open.push_back(&room);
    std::sort(open.begin(), open.end(), [](const Room* a, const Room* b) { return a->opened < b->opened; });
    if (open.size() > limit)
        open.resize(limit);
    return open;
}

bool HasAwayGrace(const Room& room, int slot)
{
    // A host alone that never beat is a create nobody stayed for: holding its
    // room through the grace would let a burst of creates keep the server full.
    return !(slot == 0 && !room.member[0].beat && !room.member[1].present);
}

int ProvedSlot(const Room& room, const std::string& account_key)
{
    if (account_key.empty())
        return -1;
    for (int i = 0; i < 2; i++)
        if (room.member[i].present && room.member[i].account == account_key)
            return i;
    return -1;
}

// Away after the time-out, gone after the grace period on top of it.
static bool Gone(Room& room, int slot, const RoomLimits& limits, int64_t now_ms)
{
    RoomMember& m = room.member[slot];
    const int64_t silent = now_ms - m.last_seen_ms;
    if (silent <= limits.member_timeout_ms)
        return false;
    m.away = true;
    return silent > limits.member_timeout_ms + (HasAwayGrace(room, slot) ? limits.away_grace_ms : 0);
}

void ExpireMembers(RoomStore& store, int64_t now_ms)
{
    for (auto it = store.rooms.begin(); it != store.rooms.end();) {
        auto next = std::next(it);
        Room& room = it->second;
        if (Gone(room, 0, store.limits, now_ms))
            RemoveMember(store, it, 0);
        else if (room.member[1].present && Gone(room, 1, store.limits, now_ms))
            RemoveMember(store, it, 1);
        it = next;
    }
}

bool RelayMayRegister(const RoomStore& store, const std::string& code, char letter, uint32_t ip, bool any_ip,
                      uint64_t* seat)
{
    auto it = store.rooms.find(code);
    if (it == store.rooms.end() || !RoomStarted(it->second))
        return false;
    const RoomMember& m = it->second.member[letter == 'A' ? 0 : 1];
    if (seat)
        *seat = m.seat;
    return m.present && (any_ip || m.ip == ip);
}
