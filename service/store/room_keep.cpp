#include "store/room_keep.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <chrono>

using Json = nlohmann::json;

namespace {

int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char* const kTable = "CREATE TABLE IF NOT EXISTS kestrel_kept_rooms ("
                           " code TEXT PRIMARY KEY, room TEXT NOT NULL, saved_ms INTEGER NOT NULL)";

sqlite3* Open(const std::string& path, std::string& error)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    char* message = nullptr;
    if (sqlite3_exec(db, kTable, nullptr, nullptr, &message) != SQLITE_OK) {
        error = path + ": " + (message ? message : sqlite3_errmsg(db));
        sqlite3_free(message);
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

bool Exec(sqlite3* db, const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

Json MemberJson(const RoomMember& m, int64_t now_ms)
{
    return Json{{"present", m.present}, {"name", m.name},   {"cid", m.cid},   {"ip", m.ip},
                {"silent_ms", now_ms - m.last_seen_ms},    {"ready", m.ready}, {"away", m.away},
                {"seat", m.seat}};
}

void ReadMember(const Json& j, RoomMember& m, int64_t now_ms, int64_t gap_ms)
{
    m.present = j.value("present", false);
    m.name = j.value("name", std::string());
    m.cid = j.value("cid", std::string());
    m.ip = j.value("ip", (uint32_t)0);
    m.last_seen_ms = now_ms - j.value("silent_ms", (int64_t)0) - gap_ms;
    m.ready = j.value("ready", false);
    m.away = j.value("away", false);
    m.seat = j.value("seat", (uint64_t)0);
}

} // namespace

bool SaveKeptRooms(const std::string& db_path, const RoomStore& store, int64_t steady_now_ms, std::string& error)
{
    sqlite3* db = Open(db_path, error);
    if (!db)
        return false;
    bool ok = Exec(db, "BEGIN IMMEDIATE; DELETE FROM kestrel_kept_rooms", error);
    sqlite3_stmt* insert = nullptr;
    if (ok && sqlite3_prepare_v2(db, "INSERT INTO kestrel_kept_rooms (code, room, saved_ms) VALUES (?, ?, ?)", -1,
                                 &insert, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        ok = false;
    }
    const int64_t wall = WallMs();
    for (auto it = store.rooms.begin(); ok && it != store.rooms.end(); ++it) {
        const Room& r = it->second;
        Json chat = Json::array();
        for (const ChatLine& line : r.chat)
            chat.push_back(Json{{"id", line.id}, {"role", std::string(1, line.role)}, {"name", line.name},
                                {"body", line.body}});
        const Json room = {{"name", r.name},
                           {"public", r.is_public},
                           {"chapter_label", r.chapter_label},
                           {"stage", r.stage},
                           {"mod", r.mod},
                           {"opened", r.opened},
                           {"relay", r.relay},
                           {"members", Json::array({MemberJson(r.member[0], steady_now_ms),
                                                    MemberJson(r.member[1], steady_now_ms)})},
                           {"chat", chat},
                           {"next_chat_id", r.next_chat_id}};
        // Replacement characters stand in for any invalid UTF-8 a player sent.
        const std::string text = room.dump(-1, ' ', false, Json::error_handler_t::replace);
        sqlite3_bind_text(insert, 1, r.code.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, text.c_str(), (int)text.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 3, wall);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            error = sqlite3_errmsg(db);
            ok = false;
        }
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = ok && Exec(db, "COMMIT", error);
    if (!ok) {
        std::string ignored;
        Exec(db, "ROLLBACK", ignored);
    }
    sqlite3_close(db);
    return ok;
}

bool LoadKeptRooms(const std::string& db_path, RoomStore& store, int64_t steady_now_ms, size_t& count,
                   std::string& error)
{
    count = 0;
    sqlite3* db = Open(db_path, error);
    if (!db)
        return false;
    sqlite3_stmt* select = nullptr;
    bool ok = Exec(db, "BEGIN IMMEDIATE", error);
    if (ok && sqlite3_prepare_v2(db, "SELECT code, room, saved_ms FROM kestrel_kept_rooms", -1, &select, nullptr) !=
                  SQLITE_OK) {
        error = sqlite3_errmsg(db);
        ok = false;
    }
    const int64_t wall = WallMs();
    int step = SQLITE_DONE;
    while (ok && (step = sqlite3_step(select)) == SQLITE_ROW) {
        const char* code = (const char*)sqlite3_column_text(select, 0);
        const char* text = (const char*)sqlite3_column_text(select, 1);
        const int64_t gap = std::max<int64_t>(0, wall - sqlite3_column_int64(select, 2));
        const Json j = Json::parse(text ? text : "", nullptr, false);
        if (!code || j.is_discarded() || !j.is_object() || store.rooms.count(code))
            continue; // a row this build cannot read is dropped, not guessed at
        Room r;
        r.code = code;
        r.name = j.value("name", std::string());
        r.is_public = j.value("public", true);
        r.chapter_label = j.value("chapter_label", std::string());
        r.stage = j.value("stage", std::string());
        r.mod = j.value("mod", std::string());
        r.opened = j.value("opened", (uint64_t)0);
        r.relay = j.value("relay", std::string());
        const Json members = j.value("members", Json::array());
        for (size_t i = 0; i < 2 && i < members.size(); i++)
            ReadMember(members[i], r.member[i], steady_now_ms, gap);
        for (const Json& line : j.value("chat", Json::array())) {
            ChatLine c;
            c.id = line.value("id", 0);
            const std::string role = line.value("role", std::string("A"));
            c.role = role == "B" ? 'B' : 'A';
            c.name = line.value("name", std::string());
            c.body = line.value("body", std::string());
            r.chat.push_back(c);
        }
        r.next_chat_id = j.value("next_chat_id", 1);
        store.opened_counter = std::max(store.opened_counter, r.opened);
        store.rooms[r.code] = std::move(r);
        count++;
    }
    if (ok && step != SQLITE_DONE) {
        error = sqlite3_errmsg(db);
        ok = false;
    }
    sqlite3_finalize(select);
    ok = ok && Exec(db, "DELETE FROM kestrel_kept_rooms; COMMIT", error);
    if (!ok) {
        std::string ignored;
        Exec(db, "ROLLBACK", ignored);
    }
    sqlite3_close(db);
    return ok;
}
