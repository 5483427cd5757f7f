#include "backend/saved_room.h"

#include "backend/json_text.h"
#include "link/channel_files.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "state/config.h"

#include <chrono>
#include <cstdio>
#include <random>

static int64_t UnixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

static bool IsClientId(const std::string& s)
{
    if (s.size() != 32)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

static bool IsRoomCode(const std::string& s)
{
    if (s.empty() || s.size() > 16)
        return false;
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

std::string SavedRoomText(const SavedRoom& r)
{
    std::string text = "{\"cid\":\"" + JsonEscape(r.cid) + "\"";
    if (!r.code.empty())
        text += ",\"code\":\"" + JsonEscape(r.code) + "\",\"role\":\"" + std::string(1, r.role == 'B' ? 'B' : 'A') +
                "\",\"ready\":" + (r.ready ? "true" : "false") + ",\"saved_at\":\"" + std::to_string(r.saved_s) +
                "\",\"account\":\"" + JsonEscape(r.account) + "\"";
    return text + "}";
}

bool ParseSavedRoom(const std::string& text, SavedRoom& out)
{
    SavedRoom r;
    r.cid = JsonGetString(text, "cid");
    if (!IsClientId(r.cid))
        return false;
    r.code = JsonGetString(text, "code");
    const std::string role = JsonGetString(text, "role");
    const std::string saved = JsonGetString(text, "saved_at");
    r.account = JsonGetString(text, "account");
    JsonGetBool(text, "ready", r.ready);
    int64_t t = 0;
    bool digits = !saved.empty() && saved.size() <= 18;
    for (char c : saved)
        digits = digits && c >= '0' && c <= '9';
    if (digits)
        for (char c : saved)
            t = t * 10 + (c - '0');
    if (!IsRoomCode(r.code) || (role != "A" && role != "B") || !digits) {
        r.code.clear(); // the id alone is still worth keeping
        r.ready = false;
    } else {
        r.role = role[0];
        r.saved_s = t;
    }
    out = r;
    return true;
}

// Saved-room lock held.
static SavedRoom& Loaded()
{
    SavedRoomState& s = g_app.saved_room;
    if (!s.loaded) {
        s.loaded = true;
        std::string text;
        if (!ReadWholeFile(DataPath(kSavedRoomFileName), text, 4096) || !ParseSavedRoom(text, s.room))
            s.room = SavedRoom{};
    }
    return s.room;
}

// Saved-room lock held: the record changed and the file must follow.
static void Changed()
{
    g_app.saved_room.version++;
}

// Without the saved-room lock (the render thread takes it every frame on
// Home): writes the latest record unless the file already holds it. A failed
// write is tried again by the next change or beat.
static void WriteIfChanged()
{
    SavedRoomState& s = g_app.saved_room;
    std::lock_guard<std::mutex> w(s.write_lock);
    std::string text;
    uint64_t version = 0;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.version == s.written)
            return;
        version = s.version;
        text = SavedRoomText(s.room);
    }
    if (!WriteFileAtomically(DataPath(kSavedRoomFileName), text))
        return;
    std::lock_guard<std::mutex> g(s.lock);
    if (version > s.written)
        s.written = version;
}

static std::string Username()
{
    std::lock_guard<std::mutex> g(g_app.account.lock);
    return g_app.account.username;
}

std::string SavedClientId()
{
    if (!RideOutDrops())
        return std::string();
    std::lock_guard<std::mutex> g(g_app.saved_room.lock);
    return Loaded().cid;
}

void SaveRoomIfCurrent(const std::string& code, char role, bool ready, uint32_t generation)
{
    if (!RideOutDrops() || !IsRoomCode(code))
        return;
    const std::string cid = ClientId();
    const std::string account = Username();
    {
        std::lock_guard<std::mutex> g(g_app.saved_room.lock);
        // LeaveRoom moves the generation on before it forgets, so either this
        // record comes first and is forgotten, or it sees the new generation.
        if (g_app.room.room_generation.load() != generation)
            return;
        SavedRoom& r = Loaded();
        const int64_t now = UnixNow();
        // A beat that changes nothing but the time rewrites the file only
        // when the time saved is getting old.
        if (r.cid == cid && r.code == code && r.role == role && r.ready == ready && r.account == account &&
            now >= r.saved_s && now - r.saved_s < kSavedRoomRefreshS)
            return;
        r.cid = cid;
        r.code = code;
        r.role = role;
        r.ready = ready;
        r.saved_s = now;
        r.account = account;
        Changed();
    }
    WriteIfChanged();
}

void ForgetSavedRoom()
{
    ForgetSavedRoomIfCurrent(0, false);
}

void ForgetSavedRoomIfCurrent(uint32_t generation, bool check)
{
    if (!RideOutDrops())
        return;
    {
        std::lock_guard<std::mutex> g(g_app.saved_room.lock);
        if (check && g_app.room.room_generation.load() != generation)
            return;
        SavedRoom& r = Loaded();
        if (r.code.empty())
            return;
        r.code.clear();
        r.ready = false;
        Changed();
    }
    WriteIfChanged();
}

void ForgetSavedRoomOfOtherAccount()
{
    const std::string account = Username();
    bool other = false;
    {
        std::lock_guard<std::mutex> g(g_app.saved_room.lock);
        other = !Loaded().code.empty() && Loaded().account != account;
    }
    if (other)
        ForgetSavedRoom();
}

bool RejoinOffer(std::string& code, int64_t now_s)
{
    if (!RideOutDrops())
        return false;
    const std::string account = Username();
    std::lock_guard<std::mutex> g(g_app.saved_room.lock);
    const SavedRoom& r = Loaded();
    if (r.code.empty() || r.account != account || now_s - r.saved_s > kRejoinWindowS || r.saved_s > now_s + 60)
        return false;
    code = r.code;
    return true;
}

bool RejoinOffer(std::string& code)
{
    return RejoinOffer(code, UnixNow());
}

bool SavedRoomReady()
{
    std::lock_guard<std::mutex> g(g_app.saved_room.lock);
    return Loaded().ready;
}

std::string ClientId()
{
    {
        std::lock_guard<std::mutex> g(g_app.client_id.lock);
        if (!g_app.client_id.id.empty())
            return g_app.client_id.id;
    }
    // Read between the two locks: the saved-room lock is never taken inside it.
    const std::string saved = SavedClientId();
    std::lock_guard<std::mutex> g(g_app.client_id.lock);
    std::string& id = g_app.client_id.id;
    if (id.empty() && !saved.empty())
        id = saved; // the same member after a restart
    if (id.empty()) {
        std::random_device rd;
        const uint64_t r1 = rd(), r2 = rd(), r3 = rd(), r4 = rd();
        const uint64_t hi = (r1 << 32) ^ r2, lo = (r3 << 32) ^ r4;
        char buf[40];
        snprintf(buf, sizeof(buf), "%016llx%016llx", (unsigned long long)hi, (unsigned long long)lo);
        id = buf;
    }
    return id;
}
