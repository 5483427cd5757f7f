#include "rooms/room_port.h"

#include "rules/gamertag_rules.h"

#include "front/front_options.h"
#include "front/client_members.h"
#include "front/http_front.h"
#include "front/reply.h"
#include "store/account_store_postgres.h"
#include "store/room_store_postgres.h"
#include "store/room_keep.h"
#include "rules/rooms.h"
#include "log/log.h"
#include "front/route_counts.h"

#include <arpa/inet.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

static const unsigned short kRoomPortNumber = 39002;
static const size_t kMaxBody = 16 * 1024;
static const size_t kMaxLineBytes = 511; // what the client's chat input holds
static const int kSweepTurnMs = 200;
static const int kSharedSweepTurns = 5;  // a shared store is swept once a second

struct RoomPort
{
    std::vector<HttpRoute> routes;
    HttpFront* front = nullptr;
    std::thread sweeper;
    std::atomic<bool> stop{false};
    std::mutex lock; // guards store
    RoomStore store;
    SharedRooms* shared = nullptr; // set: the rooms live in PostgreSQL, not in `store`
    std::string keep_path;         // the embedded store's file: rooms are kept there across a restart
    HttpCounters counters;
    LogLimit refused_ip_log, refused_room_log;
    // Tokens of signed-in players, proved by the account port and kept a
    // short while, so a heartbeat does not cost a session lookup each time.
    std::mutex proof_lock; // guards the three below
    RoomAccountProof prove;
    std::map<std::string, std::pair<std::string, int64_t>> proved; // token -> (gamertag, when)
};

static const int64_t kProofKeptMs = 60000;
static const size_t kMaxProofs = 20000;

static int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Shared rooms are stamped by several machines: their clocks are the wall's.
static int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Runs `op` on the rooms: in memory under the port's lock, or on what the
// shared store loads for `load`. False: the store gave no answer.
using RoomOp = std::function<void(RoomStore&, int64_t now_ms)>;
static bool WithRooms(RoomPort& port, const RoomLoad& load, const RoomOp& op)
{
    if (!port.shared) {
        std::lock_guard<std::mutex> g(port.lock);
        op(port.store, NowMs());
        return true;
    }
    const int64_t now = WallMs();
    return RunSharedRooms(port.shared, load, [&](RoomStore& s) { op(s, now); });
}

static RoomLoad LoadCode(const std::string& typed, const std::string& cid = std::string())
{
    RoomLoad load;
    load.code = NormalizeRoomCode(typed);
    load.cid = cid;
    return load;
}

// An empty reply stands for "no answer" (see Route).
static std::string Answer(bool answered, std::string reply)
{
    return answered ? reply : std::string();
}

// ---------------------------------------------------------------------------
// Input
// ---------------------------------------------------------------------------

// Player names appear in replies next to fixed members: letters and digits
// of any script and a few separators, never a quote or a backslash.
static bool ValidPlayerName(const std::string& s)
{
    return PlayerNameAcceptable(s);
}

static bool ValidCid(const std::string& s)
{
    if (s.empty() || s.size() > 64)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

struct Parsed
{
    nlohmann::json body;
    RoomCaller who;
    std::string error;
};

static std::string Str(const nlohmann::json& j, const char* key)
{
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

static uint32_t CallerIp(const HttpRequest& req)
{
    in_addr a{};
    return inet_pton(AF_INET, req.remote_addr.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

// A link key is 64 lower-case hex digits; a version 1 to 32 letters, digits,
// dots, dashes, pluses or underscores. Anything else is taken as not sent:
// the member is handed to the partner inside a reply as it stands.
static std::string LinkKeyMember(const nlohmann::json& body)
{
    const std::string s = Str(body, "link_key");
    if (s.size() != 64)
        return std::string();
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::string();
    return s;
}

static std::string VersionMember(const nlohmann::json& body, const char* key)
{
    const std::string s = Str(body, key);
    if (s.size() > 32)
        return std::string();
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
              c == '+' || c == '_'))
            return std::string();
    return s;
}

// The folded gamertag of the account whose token the request carries, when
// the name it plays under is that gamertag; "" otherwise (a guest, an older
// client, a token no longer valid).
static std::string ProvedAccount(RoomPort& port, const std::string& token, const std::string& name)
{
    if (token.empty() || token.size() > 128)
        return std::string();
    const int64_t now = NowMs();
    RoomAccountProof prove;
    {
        std::lock_guard<std::mutex> g(port.proof_lock);
        auto it = port.proved.find(token);
        if (it != port.proved.end() && now - it->second.second < kProofKeptMs)
            return FoldTag(it->second.first) == FoldTag(name) ? FoldTag(name) : std::string();
        prove = port.prove;
    }
    std::string gamertag;
    if (!prove || !prove(token, gamertag))
        return std::string();
    {
        std::lock_guard<std::mutex> g(port.proof_lock);
        if (port.proved.size() >= kMaxProofs)
            for (auto it = port.proved.begin(); it != port.proved.end();)
                it = now - it->second.second >= kProofKeptMs ? port.proved.erase(it) : std::next(it);
        if (port.proved.size() < kMaxProofs)
            port.proved[token] = {gamertag, now};
    }
    return FoldTag(gamertag) == FoldTag(name) ? FoldTag(name) : std::string();
}

static Parsed Parse(RoomPort& port, const HttpRequest& req, bool need_player)
{
    Parsed p;
    p.body = nlohmann::json::parse(req.body, nullptr, false);
    if (p.body.is_discarded() || !p.body.is_object()) {
        p.error = "Bad request.";
        return p;
    }
    if (!need_player)
        return p;
    p.who.name = Str(p.body, "gamertag");
    p.who.cid = Str(p.body, "cid");
    p.who.ip = CallerIp(req);
    p.who.link_key = LinkKeyMember(p.body);
    p.who.kestrel_version = VersionMember(p.body, "kestrel_version");
    p.who.game_version = VersionMember(p.body, "game_version");
    if (!ValidPlayerName(p.who.name))
        p.error = "Player names are 1 to 24 letters, digits, spaces, dots, dashes or underscores.";
    else if (!ValidCid(p.who.cid))
        p.error = "Bad client id.";
    else
        p.who.account = ProvedAccount(port, Str(p.body, "token"), p.who.name);
    return p;
}

static bool TooLong(const std::string& s, size_t max)
{
    return s.size() > max;
}

// A room text that puts a member name in quotes inside a reply would be read
// in place of that member ("a\"mod" holds "mod"). Letter case matters to the
// client's scanners, so it does here.
static bool ReservedText(const std::string& s)
{
    return QuotesClientMember(s, false);
}

// ---------------------------------------------------------------------------
// Replies
// ---------------------------------------------------------------------------

static std::string RoomReply(const RoomResult& r)
{
    if (!r.ok)
        return ErrorReply(r.error);
    const Room& room = *r.room;
    Reply out;
    AddBool(out, "ok", true);
    AddString(out, "role", r.slot == 0 ? "A" : "B");
    AddString(out, "code", room.code);
    AddString(out, "chapter_label", room.chapter_label);
    AddString(out, "stage", room.stage);
    AddString(out, "mod", room.mod);
    AddString(out, "name", room.name);
    return Finish(out);
}

// Where the link goes: added only for a room with a named relay, so a single
// instance answers as it always did.
static void AddRelay(Reply& out, const Room& room)
{
    if (!room.relay.empty())
        AddString(out, "relay", room.relay);
}

// What the partner's requests said: its link key (the client seals to it) and
// its versions; "" for what it did not say. Older clients never read them.
static void AddPartner(Reply& out, const RoomMember& other)
{
    AddString(out, "peer_link_key", other.present ? other.link_key : std::string());
    AddString(out, "peer_kestrel_version", other.present ? other.kestrel_version : std::string());
    AddString(out, "peer_game_version", other.present ? other.game_version : std::string());
}

static std::string HeartbeatReply(const RoomResult& r)
{
    if (!r.ok)
        return ErrorReply(r.error);
    const Room& room = *r.room;
    const RoomMember& me = room.member[r.slot];
    const RoomMember& other = room.member[1 - r.slot];
    Reply out;
    AddBool(out, "ok", true);
    AddBool(out, "my_ready", me.ready);
    AddBool(out, "peer_ready", other.present && other.ready);
    AddBool(out, "started", RoomStarted(room));
    // Added for clients that ride out a partner's drop; older ones never read it.
    AddBool(out, "peer_away", other.present && other.away);
    AddString(out, "role", r.slot == 0 ? "A" : "B");
    AddRelay(out, room);
    AddPartner(out, other);
    AddString(out, "peer", other.present ? other.name : std::string());
    return Finish(out);
}

static std::string ChatReply(const Room& room, int64_t after)
{
    std::string list = "[";
    for (const ChatLine& line : room.chat) {
        if (line.id <= after)
            continue;
        if (list.size() > 1)
            list += ",";
        list += "{\"id\":" + std::to_string(line.id) + ",\"role\":\"" + line.role + "\",\"name\":" + JsonString(line.name) +
                ",\"body\":" + JsonString(line.body) + "}";
    }
    list += "]";
    Reply out;
    AddBool(out, "ok", true);
    AddRaw(out, "messages", list);
    return Finish(out);
}

static std::string ReadyReply(const RoomResult& r)
{
    if (!r.ok)
        return ErrorReply(r.error);
    const RoomMember& other = r.room->member[1 - r.slot];
    Reply out;
    AddBool(out, "ok", true);
    AddBool(out, "started", RoomStarted(*r.room));
    AddBool(out, "peer_ready", other.present && other.ready);
    AddRelay(out, *r.room);
    AddPartner(out, other);
    return Finish(out);
}

static std::string ListReply(const std::vector<const Room*>& rooms)
{
    std::string list = "[";
    for (const Room* room : rooms) {
        if (list.size() > 1)
            list += ",";
        list += "{\"code\":\"" + room->code + "\",\"players\":" + std::to_string(room->member[1].present ? 2 : 1) +
                ",\"max\":2,\"name\":" + JsonString(room->name) + ",\"host\":" + JsonString(room->member[0].name) + "}";
    }
    list += "]";
    Reply out;
    AddBool(out, "ok", true);
    AddRaw(out, "rooms", list);
    return Finish(out);
}

// ---------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------

using Handler = std::string (*)(RoomPort&, const Parsed&);

static std::string OnCreate(RoomPort& port, const Parsed& p)
{
    CreateRequest req;
    req.name = Str(p.body, "name");
    req.chapter_label = Str(p.body, "chapter_label");
    req.stage = Str(p.body, "stage");
    req.mod = Str(p.body, "mod");
    req.is_public = Str(p.body, "visibility") != "private";
    if (req.name.empty())
        req.name = p.who.name + "'s room";
    if (TooLong(req.name, 48))
        return ErrorReply("Room names are at most 48 characters.");
    if (TooLong(req.chapter_label, 64) || TooLong(req.stage, 64) || TooLong(req.mod, 64))
        return ErrorReply("Chapter, stage and mod are at most 64 characters each.");
    for (const std::string* text : {&req.name, &req.chapter_label, &req.stage, &req.mod})
        if (ReservedText(*text))
            return ErrorReply("\"" + *text + "\" can't be used as a room name, chapter, stage or mod.");
    RoomLoad load;
    load.cid = p.who.cid;
    load.create = true;
    load.ip = p.who.ip;
    std::string reply;
    const bool answered = WithRooms(port, load, [&](RoomStore& s, int64_t now) {
        reply = RoomReply(CreateRoom(s, p.who, req, now));
    });
    return Answer(answered, reply);
}

static std::string OnJoin(RoomPort& port, const Parsed& p)
{
    const std::string code = Str(p.body, "code");
    std::string reply;
    const bool answered = WithRooms(port, LoadCode(code, p.who.cid), [&](RoomStore& s, int64_t now) {
        reply = RoomReply(JoinRoom(s, p.who, code, now));
    });
    return Answer(answered, reply);
}

static std::string OnQuickmatch(RoomPort& port, const Parsed& p)
{
    RoomLoad load;
    load.cid = p.who.cid;
    load.quickmatch = true;
    load.game = p.who.game_version;
    load.ip = p.who.ip;
    std::string reply;
    const bool answered = WithRooms(port, load, [&](RoomStore& s, int64_t now) {
        reply = RoomReply(Quickmatch(s, p.who, now));
    });
    return Answer(answered, reply);
}

static std::string OnHeartbeat(RoomPort& port, const Parsed& p)
{
    const std::string code = Str(p.body, "code");
    std::string reply;
    const bool answered = WithRooms(port, LoadCode(code), [&](RoomStore& s, int64_t now) {
        reply = HeartbeatReply(Heartbeat(s, p.who, code, now));
    });
    return Answer(answered, reply);
}

static std::string OnReady(RoomPort& port, const Parsed& p)
{
    auto it = p.body.find("ready");
    if (it == p.body.end() || !it->is_boolean())
        return ErrorReply("Bad request.");
    const std::string code = Str(p.body, "code");
    const bool ready = it->get<bool>();
    std::string reply;
    const bool answered = WithRooms(port, LoadCode(code), [&](RoomStore& s, int64_t now) {
        reply = ReadyReply(SetMemberReady(s, p.who, code, ready, now));
    });
    return Answer(answered, reply);
}

static std::string OnLeave(RoomPort& port, const Parsed& p)
{
    const std::string code = Str(p.body, "code");
    const bool answered =
        WithRooms(port, LoadCode(code), [&](RoomStore& s, int64_t) { LeaveRoomAs(s, p.who, code); });
    return Answer(answered, OkReply());
}

static std::string OnChatPoll(RoomPort& port, const Parsed& p)
{
    auto it = p.body.find("after_id");
    const int64_t after = it != p.body.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
    const std::string code = Str(p.body, "code");
    RoomLoad load = LoadCode(code);
    load.chat_after = std::max<int64_t>(after, 0);
    std::string reply;
    const bool answered = WithRooms(port, load, [&](RoomStore& s, int64_t now) {
        const RoomResult r = Heartbeat(s, p.who, code, now);
        reply = r.ok ? ChatReply(*r.room, after) : ErrorReply("Room not found.");
    });
    return Answer(answered, reply);
}

static std::string OnChatSend(RoomPort& port, const Parsed& p)
{
    const std::string text = Str(p.body, "text");
    if (text.empty())
        return ErrorReply("Empty message.");
    if (TooLong(text, kMaxLineBytes))
        return ErrorReply("Messages are at most 511 characters.");
    const std::string code = Str(p.body, "code");
    std::string reply;
    const bool answered = WithRooms(port, LoadCode(code), [&](RoomStore& s, int64_t now) {
        const RoomResult r = SendChatLine(s, p.who, code, text, now);
        reply = r.ok ? OkReply() : ErrorReply(r.error);
    });
    return Answer(answered, reply);
}

static std::string OnList(RoomPort& port, const Parsed&)
{
    if (port.shared) {
        std::vector<Room> rooms;
        if (!SharedOpenRooms(port.shared, 100, rooms))
            return std::string();
        std::vector<const Room*> open;
        for (const Room& room : rooms)
            open.push_back(&room);
        return ListReply(open);
    }
    std::lock_guard<std::mutex> g(port.lock);
    return ListReply(OpenRooms(port.store, 100));
}

static void Route(RoomPort& port, const char* path, Handler handler, bool need_player)
{
    port.routes.push_back(HttpRoute{"POST", path, [&port, handler, need_player](const HttpRequest& req) {
                                        const Parsed p = Parse(port, req, need_player);
                                        HttpAnswer a;
                                        a.body = p.error.empty() ? handler(port, p) : ErrorReply(p.error);
                                        if (a.body.empty()) { // the shared store had no answer: not a refusal
                                            a.status = 503;
                                            a.body = ErrorReply("Something went wrong.");
                                        }
                                        return a;
                                    }});
}

// ---------------------------------------------------------------------------
// Start and stop
// ---------------------------------------------------------------------------

RoomPort* StartRoomPort(const ServiceOptions& options, std::string& error)
{
    RoomPort* port = new RoomPort;
    port->store.limits.away_grace_ms = (int64_t)options.away_grace_s * 1000;
    port->store.limits.max_rooms = options.max_rooms;
    port->store.limits.max_rooms_per_address = options.max_rooms_per_address;
    port->store.relay = options.relay_public;
    if (IsPostgresAddress(options.store)) {
        port->shared = OpenSharedRooms(options.store, port->store.limits, options.relay_public, error);
        if (!port->shared) {
            error = "shared rooms: " + error;
            delete port;
            return nullptr;
        }
    } else {
        port->keep_path = options.data_dir + "/accounts.sqlite3";
        size_t kept = 0;
        std::string why;
        if (!LoadKeptRooms(port->keep_path, port->store, NowMs(), kept, why))
            LogError("rooms kept at the last stop could not be read (" + why + "): they are lost");
        else if (kept > 0)
            LogInfo("rooms kept at the last stop: " + std::to_string(kept) + " back, with their members and chat");
    }
    Route(*port, "/create", OnCreate, true);
    Route(*port, "/join", OnJoin, true);
    Route(*port, "/quickmatch", OnQuickmatch, true);
    Route(*port, "/heartbeat", OnHeartbeat, true);
    Route(*port, "/ready", OnReady, true);
    Route(*port, "/leave", OnLeave, true);
    Route(*port, "/chat/poll", OnChatPoll, true);
    Route(*port, "/chat/send", OnChatSend, true);
    Route(*port, "/list", OnList, false);
    port->counters.port = "room";
    CountRoutes(port->counters, port->routes);
    HttpFrontOptions front = FrontOptionsFrom(options, kRoomPortNumber, "room");
    front.max_body = kMaxBody;
    front.counters = &port->counters;
    front.error_body = [](int status) {
        return ErrorReply(status == 404 ? "Not found." : status >= 500 ? "Something went wrong." : "Bad request.");
    };
    port->front = StartHttpFront(front, port->routes, error);
    if (!port->front) {
        CloseSharedRooms(port->shared);
        delete port;
        return nullptr;
    }
    port->sweeper = std::thread([port] {
        for (uint64_t turn = 1; !port->stop.load(); turn++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSweepTurnMs));
            if (!port->shared) {
                std::lock_guard<std::mutex> g(port->lock);
                ExpireMembers(port->store, NowMs());
                continue;
            }
            // The relay's view of the rooms it serves is kept fresh more
            // often than the rooms are swept: a started room's HELLO waits on it.
            RefreshServedRooms(port->shared);
            if (turn % kSharedSweepTurns == 0)
                SweepSharedRooms(port->shared, WallMs());
        }
    });
    return port;
}

void StopRoomPort(RoomPort* port)
{
    if (!port)
        return;
    port->stop.store(true);
    StopHttpFront(port->front);
    port->sweeper.join();
    CloseSharedRooms(port->shared);
    if (!port->keep_path.empty()) {
        std::lock_guard<std::mutex> g(port->lock);
        std::string why;
        if (!SaveKeptRooms(port->keep_path, port->store, NowMs(), why))
            LogError("rooms could not be kept for the next start (" + why + "): they end with this stop");
        else if (!port->store.rooms.empty())
            LogInfo("rooms kept for the next start: " + std::to_string(port->store.rooms.size()));
    }
    delete port;
}

bool RoomPortStoreAnswers(RoomPort* port)
{
    RoomStats ignored;
    return !port->shared || SharedRoomStats(port->shared, ignored);
}

HttpFront* RoomPortFront(RoomPort* port)
{
    return port ? port->front : nullptr;
}

// Why a HELLO was refused, for the operator: said at most once a minute per cause.
static void LogRefusedHello(RoomPort* port, const std::string& code, char letter, uint32_t ip, bool wrong_ip)
{
    in_addr a{};
    a.s_addr = htonl(ip);
    char from[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, from, sizeof(from));
    const std::string who = "relay refused HELLO " + code + " " + letter + " from " + from;
    if (wrong_ip)
        LogLimited(port->refused_ip_log, LogLevel::Warn,
                   who + ": not the address that member's room requests come from; behind a balancer that hides "
                         "players' addresses, run every instance with --relay-any-ip");
    else
        LogLimited(port->refused_room_log, LogLevel::Info,
                   who + ": no started room of that code here (ended, not started yet, or served by another "
                         "instance's relay; check --relay-public and that every instance names the same --store)");
}

RelayHelloCheck RoomRelayCheck(RoomPort* port, bool any_ip)
{
    return [port, any_ip](const std::string& code, char letter, uint32_t ip, uint64_t& seat) -> int {
        if (port->shared)
            return SharedRelayMayRegister(port->shared, code, letter, ip, any_ip, &seat);
        std::lock_guard<std::mutex> g(port->lock);
        return RelayMayRegister(port->store, code, letter, ip, any_ip, &seat) ? kHelloYes : kHelloNo;
    };
}

RelayRefusalNote RoomRelayRefusalNote(RoomPort* port, bool any_ip)
{
    return [port, any_ip](const std::string& code, char letter, uint32_t ip) {
        // Would it pass from any address? Then the address is the cause.
        bool wrong_ip = false;
        if (!any_ip && port->shared) {
            wrong_ip = SharedRelayMayRegister(port->shared, code, letter, ip, true, nullptr) == kHelloYes;
        } else if (!any_ip) {
            std::lock_guard<std::mutex> g(port->lock);
            wrong_ip = RelayMayRegister(port->store, code, letter, ip, true, nullptr);
        }
        LogRefusedHello(port, code, letter, ip, wrong_ip);
    };
}

void SetRoomPortAccounts(RoomPort* port, RoomAccountProof prove)
{
    std::lock_guard<std::mutex> g(port->proof_lock);
    port->prove = std::move(prove);
}

RoomStats ReadRoomStats(RoomPort* port)
{
    RoomStats s;
    if (port->shared) {
        SharedRoomStats(port->shared, s);
        return s;
    }
    std::lock_guard<std::mutex> g(port->lock);
    for (const auto& [code, room] : port->store.rooms) {
        const int members = room.member[0].present + room.member[1].present;
        s.members += (uint64_t)members;
        s.chat_lines += room.chat.size();
        if (RoomStarted(room))
            s.started++;
        else if (members == 2)
            s.full++;
        else
            s.waiting++;
    }
    return s;
}

const HttpCounters& RoomPortCounters(RoomPort* port)
{
    return port->counters;
}

const StoreCounters* RoomPortStoreCounters(RoomPort* port)
{
    return port->shared ? &SharedRoomsCounters(port->shared) : nullptr;
}

// ---------------------------------------------------------------------------
// Directory for the account port
// ---------------------------------------------------------------------------

static RoomSeat SeatIn(const Room& room, bool member)
{
    RoomSeat s;
    s.code = room.code;
    s.name = room.name;
    s.is_public = room.is_public;
    s.started = RoomStarted(room);
    s.full = room.member[0].present && room.member[1].present;
    s.member = member;
    return s;
}

// Only a member that proved the account counts as the account's: a guest
// playing under a friend's name is not that friend.
static bool IsMember(const Room& room, const std::string& player)
{
    return ProvedSlot(room, FoldTag(player)) >= 0;
}

RoomDirectory RoomPortDirectory(RoomPort* port)
{
    RoomDirectory d;
    d.shared = port->shared;
    d.seat_of = [port](const std::string& player, RoomSeat& out) -> int {
        Room room;
        if (port->shared) {
            const int found = SharedRoomOfPlayer(port->shared, FoldTag(player), room);
            if (found != 1)
                return found;
            if (!IsMember(room, player)) // a row an older release wrote: its key is only a name
                return 0;
            out = SeatIn(room, true);
            return 1;
        }
        std::lock_guard<std::mutex> g(port->lock);
        for (const auto& [code, room] : port->store.rooms)
            if (IsMember(room, player)) {
                out = SeatIn(room, true);
                return 1;
            }
        return 0;
    };
    d.room = [port](const std::string& code, const std::string& player, RoomSeat& out) -> int {
        const std::string key = NormalizeRoomCode(code);
        if (key.empty())
            return 0;
        Room room;
        if (port->shared) {
            const int found = SharedRoomByCode(port->shared, key, room);
            if (found == 1)
                out = SeatIn(room, IsMember(room, player));
            return found;
        }
        std::lock_guard<std::mutex> g(port->lock);
        auto it = port->store.rooms.find(key);
        if (it == port->store.rooms.end())
            return 0;
        out = SeatIn(it->second, IsMember(it->second, player));
        return 1;
    };
    return d;
}
