#include "backend/ready.h"

#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/player_name.h"
#include "backend/room_members.h"
#include "backend/saved_room.h"
#include "link/link_keys.h"
#include "link/link_seal.h"
#include "link/partner_files.h"
#include "link/peer_link.h"
#include "link/relay_address.h"
#include "state/app_state.h"
#include "state/worker.h"

#include <cstring>

bool RequestReadyChange(bool ready, int64_t now_ns)
{
    RoomState& room = g_app.room;
    if (room.ready_in_flight.load() > 0 || now_ns - room.last_ready_change_ns.load() < kReadyChangeGapNs)
        return false;
    if (CurrentRoomCode().empty())
        return false;
    room.last_ready_change_ns.store(now_ns);
    SetReady(ready);
    return true;
}

void SetReady(bool ready)
{
    const std::string code = CurrentRoomCode();
    if (code.empty())
        return;
    const std::string name = PlayerName();
    RoomState& room = g_app.room;
    // In flight before the change is counted: a beat that sees the new count
    // then also sees the request out (see RoomHeartbeat).
    room.ready_in_flight.fetch_add(1);
    room.ready_changes.fetch_add(1);
    room.my_ready.store(ready);
    try {
        StartWorker(ReadyWorker, name, code, ready, room.room_generation.load());
    } catch (...) {
        room.ready_in_flight.fetch_sub(1);
        throw;
    }
}

namespace {
struct ReadyRequestOut
{
    ~ReadyRequestOut() { g_app.room.ready_in_flight.fetch_sub(1); }
};
} // namespace

void ReadyWorker(std::string player_name, std::string code, bool ready, uint32_t generation)
{
    // Counted down on every way out: a count left up would keep the beats
    // from ever reporting the ready flags again.
    const ReadyRequestOut out;
    const std::string body = "{\"gamertag\":\"" + JsonEscape(player_name) + "\",\"cid\":\"" + JsonEscape(ClientId()) +
                             "\",\"code\":\"" + JsonEscape(code) + "\",\"ready\":" + (ready ? "true" : "false") +
                             LinkKeyMember() + VersionMembers() + "}";
    std::string reply;
    if (!HttpPostJson(kRoomPort, L"/ready", body, reply))
        return;
    bool started = false, peer_ready = false;
    JsonGetBool(reply, "started", started);
    JsonGetBool(reply, "peer_ready", peer_ready);
    const std::string relay = JsonGetString(reply, "relay");
    // An answer for a room the player has left since changes nothing. The
    // room lock orders this against LeaveRoom, which clears after taking it.
    std::lock_guard<std::mutex> g(g_app.room.lock);
    if (g_app.room.room_generation.load() != generation)
        return;
    // Before "started": the link this answer starts goes to the named relay.
    KeepRoomRelay(g_app.room, relay);
    // Before "started" too: the link this answer starts seals to this key.
    KeepPartnerMembers(g_app.room, reply);
    g_app.flags.room_started.store(started);
    g_app.room.peer_ready.store(peer_ready);
}

bool LinkRefusedPlain()
{
    if (!LinkSealedOnly() || !g_app.flags.room_started.load())
        return false;
    const PartnerSeal s = PartnerSealState();
    return s == PartnerSeal::PartnerOlder || s == PartnerSeal::ServiceOlder;
}

void LinkStartStep()
{
    if (!g_app.flags.room_started.load() || g_app.flags.link_running.load())
        return;
    if (LinkRefusedPlain())
        return;
    std::string code;
    char role = 0;
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        code = g_app.room.room_code;
        role = g_app.room.room_role;
    }
    if (code.empty())
        return;
    // The link thread is not running: nothing writes the partner's files now.
    PreparePartnerFiles(role == 'B' ? 2 : 1, code);
    StartPeerLink(role == 'B' ? 2 : 1, code);
}
