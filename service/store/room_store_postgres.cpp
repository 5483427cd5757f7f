#include "store/room_store_postgres.h"

#include "store/pg_link.h"
#include "rules/gamertag_rules.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

const int kPoolSize = 4;                     // one per room port worker
const int64_t kRoomSchemaLock = 0x4b52534d;  // pg_advisory_xact_lock key for the room tables' upgrades
const int64_t kOpenTurnLock = 0x4b524f50;    // creates and quickmatches take turns under it
const int kTries = 3;                        // a transaction that lost a deadlock is tried again
const int kSweepRooms = 200;                 // rooms expired per sweep turn
const int64_t kUnreadablePostponeMs = 3600000; // a row no sweep can read is looked at again this much later
const int64_t kSeenKeptMs = 86400000;        // far past any online window
const int64_t kMissLookupGapNs = 20000000;   // a HELLO for a room not in the list asks the store at most this often
const size_t kMaxLookups = 64;               // codes waiting for a lookup; more are refused at once
const int64_t kMissKeptNs = 2000000000;      // a code the store did not have is refused this long without asking

// The rooms are live state, not records: a new release may drop and remake
// them. Never edit a shipped step.
const char* const kRoomMigrations[] = {
    "CREATE TABLE kestrel_rooms ("
    "  code TEXT PRIMARY KEY,"
    "  opened BIGINT NOT NULL,"
    "  waiting BOOLEAN NOT NULL,"   // public, no partner yet
    "  started BOOLEAN NOT NULL,"
    "  members SMALLINT NOT NULL,"
    "  host_cid TEXT NOT NULL,"
    "  guest_cid TEXT,"
    "  host_key TEXT NOT NULL,"     // folded names, for presence
    "  guest_key TEXT,"
    "  relay TEXT NOT NULL,"
    "  due_ms BIGINT NOT NULL,"     // when the next member time-out could change it
    "  doc TEXT NOT NULL);"
    "CREATE INDEX kestrel_rooms_waiting ON kestrel_rooms (opened) WHERE waiting;"
    "CREATE INDEX kestrel_rooms_host ON kestrel_rooms (host_cid);"
    "CREATE INDEX kestrel_rooms_guest ON kestrel_rooms (guest_cid);"
    "CREATE INDEX kestrel_rooms_host_key ON kestrel_rooms (host_key);"
    "CREATE INDEX kestrel_rooms_guest_key ON kestrel_rooms (guest_key);"
    "CREATE INDEX kestrel_rooms_relay ON kestrel_rooms (relay) WHERE started;"
    "CREATE INDEX kestrel_rooms_due ON kestrel_rooms (due_ms);"
    "CREATE TABLE kestrel_room_chat ("
    "  code TEXT NOT NULL REFERENCES kestrel_rooms(code) ON DELETE CASCADE,"
    "  id INTEGER NOT NULL,"
    "  role TEXT NOT NULL,"
    "  name TEXT NOT NULL,"
    "  body TEXT NOT NULL,"
    "  PRIMARY KEY (code, id));"
    "CREATE TABLE kestrel_relays (relay TEXT PRIMARY KEY, seen_ms BIGINT NOT NULL);"
    "CREATE SEQUENCE kestrel_room_opened;",

    // Presence and room invites, for friends whose requests land on different instances.
    "CREATE TABLE kestrel_seen (key TEXT PRIMARY KEY, seen_ms BIGINT NOT NULL);"
    "CREATE TABLE kestrel_invites ("
    "  from_id BIGINT NOT NULL,"
    "  to_id BIGINT NOT NULL,"
    "  from_tag TEXT NOT NULL,"
    "  to_tag TEXT NOT NULL,"
    "  to_key TEXT NOT NULL,"
    "  code TEXT NOT NULL,"
    "  room_name TEXT NOT NULL,"
    "  expires_ms BIGINT NOT NULL,"
    "  PRIMARY KEY (from_id, to_id));"
    "CREATE INDEX kestrel_invites_to ON kestrel_invites (to_id);",

    // Rooms hosted from one address, bounded; host_key and guest_key now hold
    // only accounts that proved their seat (older rows: a name, never proved).
    "ALTER TABLE kestrel_rooms ADD COLUMN host_ip BIGINT NOT NULL DEFAULT 0;"
    "CREATE INDEX kestrel_rooms_host_ip ON kestrel_rooms (host_ip);",
};

#define ROOM_COLUMNS \
    "code, opened, waiting, started, members, host_cid, guest_cid, host_key, guest_key, relay, due_ms, doc, host_ip"

enum Stmt {
    LoadRooms,
    LoadDue,
    OldestWaiting,
    CountRooms,
    NextOpened,
    TakeTurn,
    InsertRoom,
    UpdateRoom,
    DeleteRoom,
    InsertChat,
    TrimChat,
    ReadChat,
    OpenList,
    ServedRooms,
    AnnounceRelay,
    LiveRelays,
    WithdrawRelay,
    RoomOfPlayer,
    RoomByCode,
    Stats,
    MarkSeenRow,
    SeenAt,
    ForgetSeen,
    PutInvite,
    TakeInvite,
    InvitesFor,
    InviteOut,
    DropLapsedInvites,
    ServedRoom,
    PostponeRooms,
    StmtCount
};

const char* const kSql[StmtCount] = {
    "SELECT code, doc FROM kestrel_rooms WHERE code = ANY($1::text[]) OR host_cid = $2 OR guest_cid = $2"
    " ORDER BY code FOR UPDATE",
    "SELECT code, doc FROM kestrel_rooms WHERE due_ms < $1 ORDER BY code LIMIT $2 FOR UPDATE SKIP LOCKED",
    "SELECT code FROM kestrel_rooms WHERE waiting AND host_cid <> $1"
    " ORDER BY ($2 <> '' AND (doc::jsonb #>> '{members,0,game}') IS NOT DISTINCT FROM $2) DESC, opened LIMIT 1",
    "SELECT count(*), count(*) FILTER (WHERE host_ip = $1 AND $1 <> 0) FROM kestrel_rooms",
    "SELECT nextval('kestrel_room_opened')",
    "SELECT pg_advisory_xact_lock($1)",
    "INSERT INTO kestrel_rooms (" ROOM_COLUMNS ") VALUES ($1, $2, $3, $4, $5, $6, NULLIF($7, ''), $8, NULLIF($9, ''),"
    " $10, $11, $12, $13) ON CONFLICT (code) DO NOTHING",
    "UPDATE kestrel_rooms SET opened = $2, waiting = $3, started = $4, members = $5, host_cid = $6,"
    " guest_cid = NULLIF($7, ''), host_key = $8, guest_key = NULLIF($9, ''), relay = $10, due_ms = $11, doc = $12,"
    " host_ip = $13 WHERE code = $1",
    "DELETE FROM kestrel_rooms WHERE code = $1",
    "INSERT INTO kestrel_room_chat (code, id, role, name, body) VALUES ($1, $2, $3, $4, $5)",
    "DELETE FROM kestrel_room_chat WHERE code = $1 AND id <= $2",
        // $2 is the client's after_id: any 64-bit number, past the column's range too.
    "SELECT id, role, name, body FROM kestrel_room_chat WHERE code = $1 AND id > $2::bigint ORDER BY id",
    "SELECT code, doc FROM kestrel_rooms WHERE waiting ORDER BY opened LIMIT $1",
    "SELECT code, doc FROM kestrel_rooms WHERE relay = $1 AND started",
    "INSERT INTO kestrel_relays (relay, seen_ms) VALUES ($1, $2)"
    " ON CONFLICT (relay) DO UPDATE SET seen_ms = EXCLUDED.seen_ms",
    "SELECT relay FROM kestrel_relays WHERE seen_ms > $1",
    "DELETE FROM kestrel_relays WHERE relay = $1",
    "SELECT code, doc FROM kestrel_rooms WHERE host_key = $1 OR guest_key = $1 LIMIT 1",
    "SELECT code, doc FROM kestrel_rooms WHERE code = $1",
    "SELECT count(*) FILTER (WHERE members < 2), count(*) FILTER (WHERE members = 2 AND NOT started),"
    " count(*) FILTER (WHERE started), coalesce(sum(members), 0), (SELECT count(*) FROM kestrel_room_chat)"
    " FROM kestrel_rooms",
    "INSERT INTO kestrel_seen (key, seen_ms) VALUES ($1, $2)"
    " ON CONFLICT (key) DO UPDATE SET seen_ms = GREATEST(kestrel_seen.seen_ms, EXCLUDED.seen_ms)",
    "SELECT seen_ms FROM kestrel_seen WHERE key = $1",
    "DELETE FROM kestrel_seen WHERE seen_ms < $1",
    // A lapsed invite between the same two players is replaced; a live one stays.
    "INSERT INTO kestrel_invites (from_id, to_id, from_tag, to_tag, to_key, code, room_name, expires_ms)"
    " VALUES ($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT (from_id, to_id) DO UPDATE SET"
    " from_tag = EXCLUDED.from_tag, to_tag = EXCLUDED.to_tag, to_key = EXCLUDED.to_key, code = EXCLUDED.code,"
    " room_name = EXCLUDED.room_name, expires_ms = EXCLUDED.expires_ms WHERE kestrel_invites.expires_ms <= $9",
    "DELETE FROM kestrel_invites WHERE from_id = $1 AND to_id = $2 AND expires_ms > $3",
    "SELECT from_id, to_id, from_tag, to_tag, code, room_name, expires_ms FROM kestrel_invites"
    " WHERE to_id = $1 AND expires_ms > $2 ORDER BY expires_ms",
    "SELECT 1 FROM kestrel_invites WHERE from_id = $1 AND to_key = $2 AND expires_ms > $3",
    "DELETE FROM kestrel_invites WHERE expires_ms <= $1",
    "SELECT code, doc FROM kestrel_rooms WHERE code = $1 AND relay = $2 AND started",
    "UPDATE kestrel_rooms SET due_ms = $2 WHERE code = ANY($1::text[])",
};

using Json = nlohmann::json;

// ---------------------------------------------------------------------------
// A room as a row
// ---------------------------------------------------------------------------

Json MemberDoc(const RoomMember& m)
{
    return Json{{"present", m.present}, {"name", m.name}, {"cid", m.cid},   {"ip", m.ip},
                {"seen", m.last_seen_ms}, {"ready", m.ready}, {"away", m.away}, {"seat", m.seat},
                {"account", m.account}, {"beat", m.beat},
                {"link_key", m.link_key}, {"kestrel", m.kestrel_version}, {"game", m.game_version}};
}

void ReadMember(const Json& j, RoomMember& m)
{
    m.present = j.value("present", false);
    m.name = j.value("name", std::string());
    m.cid = j.value("cid", std::string());
    m.ip = j.value("ip", (uint32_t)0);
    m.last_seen_ms = j.value("seen", (int64_t)0);
    m.ready = j.value("ready", false);
    m.away = j.value("away", false);
    m.seat = j.value("seat", (uint64_t)0);
    m.account = j.value("account", std::string());
    m.beat = j.value("beat", true); // rows of older releases: keep their grace
    m.link_key = j.value("link_key", std::string());
    m.kestrel_version = j.value("kestrel", std::string());
    m.game_version = j.value("game", std::string());
}

std::string RoomDoc(const Room& room)
{
    const Json doc{{"name", room.name},   {"public", room.is_public},   {"chapter_label", room.chapter_label},
                   {"stage", room.stage}, {"mod", room.mod},            {"opened", room.opened},
                   {"relay", room.relay}, {"next_chat", room.next_chat_id},
                   {"members", Json::array({MemberDoc(room.member[0]), MemberDoc(room.member[1])})}};
    return doc.dump();
}

// A row another release wrote badly is read as no room at all, never as a crash.
bool ReadRoomDoc(const std::string& code, const std::string& text, Room& room)
{
    const Json doc = Json::parse(text, nullptr, false);
    if (!doc.is_object())
        return false;
    try {
        room.code = code;
        room.name = doc.value("name", std::string());
        room.is_public = doc.value("public", true);
        room.chapter_label = doc.value("chapter_label", std::string());
        room.stage = doc.value("stage", std::string());
        room.mod = doc.value("mod", std::string());
        room.opened = doc.value("opened", (uint64_t)0);
        room.relay = doc.value("relay", std::string());
        room.next_chat_id = doc.value("next_chat", 1);
        const Json& members = doc.at("members");
        ReadMember(members.at(0), room.member[0]);
        ReadMember(members.at(1), room.member[1]);
    } catch (const Json::exception&) {
        return false;
    }
    return true;
}

// The earliest moment ExpireMembers could change the room.
int64_t DueMs(const Room& room, const RoomLimits& limits)
{
    int64_t due = INT64_MAX;
    for (int i = 0; i < 2; i++) {
        const RoomMember& m = room.member[i];
        if (m.present)
            due = std::min(due, m.last_seen_ms + limits.member_timeout_ms +
                                    (m.away && HasAwayGrace(room, i) ? limits.away_grace_ms : 0));
    }
    return due;
}

PgArgs RoomRow(const Room& room, const std::string& doc, const RoomLimits& limits)
{
    const RoomMember& host = room.member[0];
    const RoomMember& guest = room.member[1];
    const int members = (host.present ? 1 : 0) + (guest.present ? 1 : 0);
    PgArgs a;
    a << room.code << (int64_t)room.opened << std::string(room.is_public && !guest.present ? "t" : "f")
      << std::string(RoomStarted(room) ? "t" : "f") << (int64_t)members << host.cid
      << (guest.present ? guest.cid : std::string()) << host.account
      << (guest.present ? guest.account : std::string()) << room.relay << DueMs(room, limits) << doc
      << (int64_t)host.ip;
    return a;
}

} // namespace

struct SharedRooms
{
    PgPool pool;
    RoomLimits limits;
    std::string relay;
    StoreCounters counters;
    std::mutex lock;              // guards the two below
    std::set<std::string> live;   // relays announced within kRelaySilentMs
    RoomStore served;             // started rooms this relay serves
    // Codes of HELLOs for rooms not in `served`, looked up on a thread of
    // their own: the relay never waits on the store.
    std::deque<std::string> lookups;
    std::set<std::string> looking;
    std::map<std::string, int64_t> missed; // code -> when the store had no such room
    std::condition_variable lookup_ready;
    bool stopping = false;
    std::thread looker;
};

namespace {

// One transaction on one pooled connection. A failed statement ends it: the
// rest are not sent, and the call has no answer (or is tried again).
struct Tx
{
    SharedRooms* s;
    PGconn* c;
    bool failed = false, retry = false;
    explicit Tx(SharedRooms* rooms) : s(rooms), c(PgTake(rooms->pool)) { failed = !c; }
    ~Tx() { PgGive(s->pool, c); }
    Tx(const Tx&) = delete;
    Tx& operator=(const Tx&) = delete;

    PgResult Run(Stmt which, const PgArgs& args)
    {
        if (failed)
            return PgResult(nullptr);
        PgResult r = PgRunPrepared(c, which, args);
        if (!r.Ok()) {
            failed = true;
            retry = r.IsRetryable();
        }
        return r;
    }
    bool Plain(const char* sql)
    {
        std::string error;
        if (!failed && !PgExec(c, sql, error))
            failed = true;
        return !failed;
    }
    bool End()
    {
        if (failed) {
            std::string ignored;
            if (c && PQtransactionStatus(c) != PQTRANS_IDLE)
                PgExec(c, "ROLLBACK", ignored);
            return false;
        }
        return Plain("COMMIT");
    }
};

// Counts a call and its time, and its failure.
struct Counted
{
    StoreCounters& c;
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
    bool ok = false;
    explicit Counted(StoreCounters& counters) : c(counters) { c.calls.fetch_add(1, std::memory_order_relaxed); }
    ~Counted()
    {
        if (!ok)
            c.errors.fetch_add(1, std::memory_order_relaxed);
        c.call_time.Observe(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
    }
};

std::string CodeArray(const std::vector<std::string>& codes)
{
    std::string out = "{";
    for (const std::string& code : codes) // normalised codes: letters and digits only
        out += (out.size() > 1 ? "," : "") + code;
    return out + "}";
}

void AddRows(SharedRooms* s, const PgResult& r, RoomStore& scratch, std::map<std::string, std::string>& before,
             std::vector<std::string>* unreadable = nullptr)
{
    std::set<std::string> live;
    {
        std::lock_guard<std::mutex> g(s->lock);
        live = s->live;
    }
    for (int i = 0; i < r.Rows(); i++) {
        const std::string code = r.Text(i, 0);
        if (before.count(code))
            continue;
        Room room;
        if (!ReadRoomDoc(code, r.Text(i, 1), room)) {
            if (unreadable)
                unreadable->push_back(code);
            continue; // left alone: neither loaded nor written
        }
        before[code] = r.Text(i, 1);
        // Its relay went with its instance: this one's relay serves it from now on.
        if (room.relay != s->relay && !live.count(room.relay))
            room.relay = s->relay;
        scratch.rooms[code] = std::move(room);
    }
}

bool Load(Tx& tx, const RoomLoad& load, RoomStore& scratch, std::map<std::string, std::string>& before,
          std::map<std::string, int32_t>& chat_base)
{
    if (load.create || load.quickmatch)
        tx.Run(TakeTurn, PgArgs() << kOpenTurnLock);
    std::vector<std::string> codes;
    if (!load.code.empty())
        codes.push_back(load.code);
    if (load.quickmatch) {
        const PgResult r = tx.Run(OldestWaiting, PgArgs() << load.cid << load.game);
        if (r.Rows() > 0)
            codes.push_back(r.Text(0, 0));
    }
    if (!codes.empty() || !load.cid.empty())
        AddRows(tx.s, tx.Run(LoadRooms, PgArgs() << CodeArray(codes) << load.cid), scratch, before);
    if (load.due_before > 0) {
        std::vector<std::string> unreadable;
        AddRows(tx.s, tx.Run(LoadDue, PgArgs() << load.due_before << (int64_t)kSweepRooms), scratch, before,
                &unreadable);
        // Kept (a later release may read it), but out of the sweeps' way: a
        // past due time would bring it back first every turn, and enough of
        // them would fill every sweep.
        if (!unreadable.empty()) {
            std::string codes = "{";
            for (const std::string& code : unreadable) { // as stored: any text
                if (codes.size() > 1) codes += ',';
                codes += PgArrayItem(code);
            }
            tx.Run(PostponeRooms, PgArgs() << codes + "}" << load.due_before + kUnreadablePostponeMs);
        }
    }
    if (load.create || load.quickmatch) {
        const PgResult count = tx.Run(CountRooms, PgArgs() << (int64_t)load.ip);
        const PgResult next = tx.Run(NextOpened, PgArgs());
        if (count.Rows() > 0 && next.Rows() > 0) {
            scratch.rooms_elsewhere = (size_t)std::max<int64_t>(0, count.Int(0, 0) - (int64_t)scratch.rooms.size());
            int64_t here = 0;
            for (const auto& [code, room] : scratch.rooms)
                here += room.member[0].present && load.ip != 0 && room.member[0].ip == load.ip ? 1 : 0;
            scratch.hosted_elsewhere = (size_t)std::max<int64_t>(0, count.Int(0, 1) - here);
            scratch.opened_counter = (uint64_t)next.Int(0, 0) - 1;
        }
    }
    for (auto& [code, room] : scratch.rooms)
        chat_base[code] = room.next_chat_id;
    auto it = scratch.rooms.find(load.code);
    if (load.chat_after >= 0 && it != scratch.rooms.end()) {
        const PgResult r = tx.Run(ReadChat, PgArgs() << load.code << load.chat_after);
        for (int i = 0; i < r.Rows(); i++) {
            const std::string role = r.Text(i, 1);
            it->second.chat.push_back(ChatLine{(int32_t)r.Int(i, 0), role.empty() ? 'A' : role[0], r.Text(i, 2), r.Text(i, 3)});
        }
    }
    return !tx.failed;
}

// False when the transaction must end without its changes. `clash` is set
// when a new room's code was taken meanwhile by another instance.
bool Store(Tx& tx, const RoomStore& scratch, const std::map<std::string, std::string>& before,
           const std::map<std::string, int32_t>& chat_base, bool& clash)
{
    const RoomLimits& limits = tx.s->limits;
    for (const auto& [code, doc] : before)
        if (!scratch.rooms.count(code))
            tx.Run(DeleteRoom, PgArgs() << code);
    for (const auto& [code, room] : scratch.rooms) {
        const std::string doc = RoomDoc(room);
        auto was = before.find(code);
        if (was == before.end()) {
            if (!tx.Run(InsertRoom, RoomRow(room, doc, limits)).Changed() && !tx.failed)
                clash = true;
        } else if (was->second != doc) {
            tx.Run(UpdateRoom, RoomRow(room, doc, limits));
        }
        auto base = chat_base.find(code);
        const int32_t first_new = base == chat_base.end() ? 1 : base->second;
        bool added = false;
        for (const ChatLine& line : room.chat)
            if (line.id >= first_new) {
                tx.Run(InsertChat, PgArgs() << code << (int64_t)line.id << std::string(1, line.role) << line.name
                                            << line.body);
                added = true;
            }
        if (added)
            tx.Run(TrimChat, PgArgs() << code << (int64_t)(room.next_chat_id - 1 - (int32_t)limits.max_chat_lines));
    }
    return !tx.failed && !clash;
}

void ReadRooms(const PgResult& r, std::vector<Room>& out)
{
    for (int i = 0; i < r.Rows(); i++) {
        Room room;
        if (ReadRoomDoc(r.Text(i, 0), r.Text(i, 1), room))
            out.push_back(std::move(room));
    }
}

// A read outside any transaction.
template <typename Fn> bool Read(SharedRooms* s, Fn fn)
{
    Counted counted(s->counters);
    Tx tx(s);
    fn(tx);
    counted.ok = !tx.failed;
    return counted.ok;
}

// The first room a read finds: 1, 0 when none, -1 when the store gave no answer.
int ReadOneRoomOrNone(SharedRooms* s, Stmt which, const PgArgs& args, Room& out)
{
    std::vector<Room> rooms;
    if (!Read(s, [&](Tx& tx) { ReadRooms(tx.Run(which, args), rooms); }))
        return -1;
    if (rooms.empty())
        return 0;
    out = std::move(rooms[0]);
    return 1;
}

} // namespace

static void LookUpRooms(SharedRooms* s);

SharedRooms* OpenSharedRooms(const std::string& uri, const RoomLimits& limits, const std::string& relay,
                             std::string& error)
{
    PGconn* first = PgConnect(uri, error);
    if (!first)
        return nullptr;
    PgSchema schema;
    schema.version_table = "kestrel_room_schema";
    schema.lock_key = kRoomSchemaLock;
    schema.steps = kRoomMigrations;
    schema.count = (int)(sizeof(kRoomMigrations) / sizeof(kRoomMigrations[0]));
    schema.what = "the room tables";
    int version = 0;
    if (!PgMigrate(first, schema, version, error) || !PgPrepareAll(first, kSql, StmtCount, error)) {
        PQfinish(first);
        return nullptr;
    }
    SharedRooms* s = new SharedRooms;
    s->pool.uri = uri;
    s->pool.sql = kSql;
    s->pool.sql_count = StmtCount;
    PgPoolStart(s->pool, first, kPoolSize);
    s->limits = limits;
    s->relay = relay;
    s->counters.kind = "postgresql-rooms";
    s->looker = std::thread(LookUpRooms, s);
    // Known before the first request: rooms of live relays must not move here.
    SweepSharedRooms(s, std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count());
    return s;
}

void CloseSharedRooms(SharedRooms* s)
{
    if (!s)
        return;
    {
        std::lock_guard<std::mutex> g(s->lock);
        s->stopping = true;
    }
    s->lookup_ready.notify_all();
    s->looker.join();
    if (!s->relay.empty())
        Read(s, [&](Tx& tx) { tx.Run(WithdrawRelay, PgArgs() << s->relay); });
    PgPoolClose(s->pool);
    delete s;
}

bool RunSharedRooms(SharedRooms* s, const RoomLoad& load, const std::function<void(RoomStore&)>& op)
{
    Counted counted(s->counters);
    for (int attempt = 0; attempt < kTries; attempt++) {
        RoomStore scratch;
        scratch.limits = s->limits;
        scratch.relay = s->relay;
        std::map<std::string, std::string> before;
        std::map<std::string, int32_t> chat_base;
        Tx tx(s);
        bool clash = false;
        tx.Plain("BEGIN");
        if (Load(tx, load, scratch, before, chat_base)) {
            op(scratch);
            if (Store(tx, scratch, before, chat_base, clash) && tx.End()) {
                counted.ok = true;
                return true;
            }
        }
        const bool again = tx.retry || clash;
        tx.failed = true;
        tx.End();
        if (!again)
            return false;
    }
    return false;
}

void SweepSharedRooms(SharedRooms* s, int64_t now_ms)
{
    std::set<std::string> live;
    const bool read = Read(s, [&](Tx& tx) {
        if (!s->relay.empty())
            tx.Run(AnnounceRelay, PgArgs() << s->relay << now_ms);
        const PgResult r = tx.Run(LiveRelays, PgArgs() << now_ms - kRelaySilentMs);
        for (int i = 0; i < r.Rows(); i++)
            live.insert(r.Text(i, 0));
    });
    if (read) {
        live.insert(s->relay);
        std::lock_guard<std::mutex> g(s->lock);
        s->live = std::move(live);
    }
    RoomLoad load;
    load.due_before = now_ms;
    RunSharedRooms(s, load, [&](RoomStore& scratch) { ExpireMembers(scratch, now_ms); });
    Read(s, [&](Tx& tx) {
        tx.Run(DropLapsedInvites, PgArgs() << now_ms);
        tx.Run(ForgetSeen, PgArgs() << now_ms - kSeenKeptMs);
    });
}

void RefreshServedRooms(SharedRooms* s)
{
    std::vector<Room> rooms;
    if (!Read(s, [&](Tx& tx) { ReadRooms(tx.Run(ServedRooms, PgArgs() << s->relay), rooms); }))
        return; // the last list stands until the store answers again
    std::map<std::string, Room> served;
    for (Room& room : rooms)
        served[room.code] = std::move(room);
    std::lock_guard<std::mutex> g(s->lock);
    s->served.rooms.swap(served);
}

static int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The lookup thread: one code at a time, spaced, so HELLOs for made-up codes
// cannot keep the store busy.
static void LookUpRooms(SharedRooms* s)
{
    std::unique_lock<std::mutex> g(s->lock);
    for (;;) {
        s->lookup_ready.wait(g, [s] { return s->stopping || !s->lookups.empty(); });
        if (s->stopping)
            return;
        const std::string code = s->lookups.front();
        g.unlock();
        Room room;
        const int found = ReadOneRoomOrNone(s, ServedRoom, PgArgs() << code << s->relay, room);
        g.lock();
        s->lookups.pop_front();
        s->looking.erase(code);
        if (found == 1)
            s->served.rooms[code] = std::move(room);
        else if (found == 0)
            s->missed[code] = SteadyNs();
        // No answer: neither; the next HELLO asks again.
        g.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds(kMissLookupGapNs));
        g.lock();
    }
}

int SharedRelayMayRegister(SharedRooms* s, const std::string& code, char letter, uint32_t ip, bool any_ip,
                           uint64_t* seat)
{
    std::lock_guard<std::mutex> g(s->lock);
    if (s->served.rooms.count(code))
        return RelayMayRegister(s->served, code, letter, ip, any_ip, seat) ? 1 : 0;
    // Started since the last refresh: the first HELLO of a link would otherwise
    // wait for the next one, and what the link sent meanwhile be lost.
    const int64_t now = SteadyNs();
    auto miss = s->missed.find(code);
    if (miss != s->missed.end()) {
        if (now - miss->second < kMissKeptNs)
            return 0;
        s->missed.erase(miss);
    }
    if (s->missed.size() > 4096) // made-up codes, by the thousand: forget the old ones
        for (auto it = s->missed.begin(); it != s->missed.end();)
            it = now - it->second >= kMissKeptNs ? s->missed.erase(it) : std::next(it);
    if (!s->looking.count(code)) {
        if (s->lookups.size() >= kMaxLookups)
            return 0;
        s->lookups.push_back(code);
        s->looking.insert(code);
        s->lookup_ready.notify_one();
    }
    return -1;
}

bool SharedOpenRooms(SharedRooms* s, size_t limit, std::vector<Room>& out)
{
    return Read(s, [&](Tx& tx) { ReadRooms(tx.Run(OpenList, PgArgs() << (int64_t)limit), out); });
}

int SharedRoomByCode(SharedRooms* s, const std::string& code, Room& out)
{
    return ReadOneRoomOrNone(s, RoomByCode, PgArgs() << code, out);
}

int SharedRoomOfPlayer(SharedRooms* s, const std::string& account_key, Room& out)
{
    return ReadOneRoomOrNone(s, RoomOfPlayer, PgArgs() << account_key, out);
}

bool SharedRoomStats(SharedRooms* s, RoomStats& out)
{
    return Read(s, [&](Tx& tx) {
        const PgResult r = tx.Run(Stats, PgArgs());
        if (r.Rows() < 1)
            return;
        out.waiting = (uint64_t)r.Int(0, 0);
        out.full = (uint64_t)r.Int(0, 1);
        out.started = (uint64_t)r.Int(0, 2);
        out.members = (uint64_t)r.Int(0, 3);
        out.chat_lines = (uint64_t)r.Int(0, 4);
    });
}

const StoreCounters& SharedRoomsCounters(SharedRooms* s)
{
    return s->counters;
}

// ---------------------------------------------------------------------------
// Presence and invites
// ---------------------------------------------------------------------------

bool SharedMarkSeen(SharedRooms* s, const std::string& key, int64_t now_ms)
{
    return Read(s, [&](Tx& tx) { tx.Run(MarkSeenRow, PgArgs() << key << now_ms); });
}

bool SharedSeenAt(SharedRooms* s, const std::string& key, int64_t& seen_ms)
{
    seen_ms = -1;
    return Read(s, [&](Tx& tx) {
        const PgResult r = tx.Run(SeenAt, PgArgs() << key);
        if (r.Rows() > 0)
            seen_ms = r.Int(0, 0);
    });
}

int SharedAddInvite(SharedRooms* s, const Invite& invite, int64_t now_ms)
{
    bool added = false;
    const bool ok = Read(s, [&](Tx& tx) {
        added = tx.Run(PutInvite, PgArgs() << invite.from << invite.to << invite.from_tag << invite.to_tag
                                           << FoldTag(invite.to_tag) << invite.code << invite.room_name
                                           << invite.expires_ms << now_ms)
                    .Changed();
    });
    return !ok ? -1 : added ? 1 : 0;
}

int SharedDropInvite(SharedRooms* s, int64_t from, int64_t to, int64_t now_ms)
{
    bool dropped = false;
    const bool ok =
        Read(s, [&](Tx& tx) { dropped = tx.Run(TakeInvite, PgArgs() << from << to << now_ms).Changed(); });
    return !ok ? -1 : dropped ? 1 : 0;
}

bool SharedInvitesTo(SharedRooms* s, int64_t to, int64_t now_ms, std::vector<Invite>& out)
{
    return Read(s, [&](Tx& tx) {
        const PgResult r = tx.Run(InvitesFor, PgArgs() << to << now_ms);
        for (int i = 0; i < r.Rows(); i++)
            out.push_back(Invite{r.Int(i, 0), r.Int(i, 1), r.Text(i, 2), r.Text(i, 3), r.Text(i, 4), r.Text(i, 5),
                                 r.Int(i, 6)});
    });
}

int SharedHasInvite(SharedRooms* s, int64_t from, const std::string& to_key, int64_t now_ms)
{
    bool has = false;
    const bool ok = Read(s, [&](Tx& tx) { has = tx.Run(InviteOut, PgArgs() << from << to_key << now_ms).Rows() > 0; });
    return !ok ? -1 : has ? 1 : 0;
}
