#include "backend/rooms.h"

#include "backend/click_sounds.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/lobby_chat.h"
#include "backend/player_name.h"
#include "backend/ready.h"
#include "backend/room_members.h"
#include "backend/saved_room.h"
#include "link/link_keys.h"
#include "link/peer_link.h"
#include "link/relay_address.h"
#include "state/app_state.h"
#include "state/config.h"
#include "state/worker.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <system_error>
#include <thread>

// ---------------------------------------------------------------------------
// Create, join, quickmatch
// ---------------------------------------------------------------------------

static std::string ModValue(const RoomOp& op)
{
    return op.show_mod ? op.mod_text : std::string();
}

std::string RoomOpBody(const RoomOpRequest& r)
{
    const RoomOp& op = r.op;
    const std::string who =
        "{\"gamertag\":\"" + JsonEscape(r.gamertag) + "\",\"cid\":\"" + JsonEscape(r.cid) + "\"" + r.proof;
    if (op.mode == RoomOpCreate)
        return who + ",\"name\":\"" + JsonEscape(op.name) + "\",\"visibility\":\"" +
               (op.visibility == 1 ? "private" : "public") + "\",\"chapter_label\":\"" + JsonEscape(op.chapter_text) +
               "\",\"stage\":\"" + JsonEscape(op.stage_text) + "\",\"mod\":\"" + JsonEscape(ModValue(op)) +
               "\",\"chapter\":0" + VersionMembers() + "}";
    if (op.mode == RoomOpJoin)
        return who + ",\"code\":\"" + JsonEscape(op.code) + "\"" + VersionMembers() + "}";
    return who + ",\"chapter\":-1" + VersionMembers() + "}";
}

static bool SameRoomCode(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (toupper((unsigned char)a[i]) != toupper((unsigned char)b[i]))
            return false;
    return true;
}

// In no room, yet a room saved before a restart may still hold the player's
// place (the service keeps it through its grace): any other room leaves it
// first, so the old partner hears "left" at once instead of waiting out the
// grace. Joining that very room is the rejoin and keeps it.
static void LeaveSavedRoomFirst(RoomLeave& leave, uint32_t mode, const std::string& code)
{
    std::string saved;
    if (!RejoinOffer(saved) || (mode == RoomOpJoin && SameRoomCode(code, saved)))
        return;
    ForgetSavedRoom();
    leave.code = saved;
}

void StartRoomOp(const RoomOp& op)
{
    if (g_app.flags.room_state.load() == RoomBusy)
        return;
    // The room the player is in (or one the service closed) is left first,
    // completely: heartbeat, link, fields and chat stop here, and the worker
    // tells the service before it asks for the new room. A failure then
    // leaves the player in no room.
    RoomLeave leave = LeaveRoomLocally();
    if (leave.code.empty())
        LeaveSavedRoomFirst(leave, op.mode, op.code);
    RoomOpRequest r;
    r.op = op;
    r.gamertag = std::move(leave.player_name);
    r.cid = std::move(leave.cid);
    r.leave_code = std::move(leave.code);
    r.generation = g_app.room.room_generation.load();
    r.proof = RoomProofMember();
    // Refused only while one is in flight; the page shows "searching" from now on.
    StartStatusWorker(g_app.flags.room_state, RoomBusy, RoomOpWorker, std::move(r));
}

// Still the operation the player waits for: nothing has left the room state
// (a leave, a sign-out, the next operation) since it started. The caller
// holds the room lock.
static bool Wanted(const RoomOpRequest& request)
{
    return g_app.room.room_generation.load() == request.generation;
}

void RoomOpWorker(RoomOpRequest request)
{
    const wchar_t* path = request.op.mode == RoomOpCreate ? L"/create" : request.op.mode == RoomOpJoin ? L"/join"
                                                                                                   : L"/quickmatch";
    // Sent before the request and waited for: a "/leave" arriving after a join
    // of the same room would throw the player out of it again.
    if (!request.leave_code.empty())
        LeaveWorker(request.gamertag, request.cid, request.leave_code);
    std::string reply;
    const bool answered = HttpPostJson(kRoomPort, path, RoomOpBody(request), reply);
    bool ok = false;
    if (answered)
        JsonGetBool(reply, "ok", ok);
    RoomState& room = g_app.room;
    if (!answered || !ok) {
        const std::string error = JsonGetString(reply, "error");
        if (request.op.mode == RoomOpJoin) {
            g_app.room.rejoin_ready.store(false);
            // The saved room is gone (or taken): no longer offered.
            std::string saved;
            if (answered && RejoinOffer(saved) && saved == request.op.code)
                ForgetSavedRoom();
        }
        std::lock_guard<std::mutex> g(room.lock);
        if (!Wanted(request))
            return;
        room.room_error = !answered ? "Can't reach the matchmaking server."
                          : !error.empty() ? error
                                           : "Matchmaking failed.";
        g_app.flags.room_state.store(RoomFailed);
        return;
    }
    const std::string code = JsonGetString(reply, "code");
    const std::string role = JsonGetString(reply, "role");
    const std::string chapter = JsonGetString(reply, "chapter_label");
    const std::string stage = JsonGetString(reply, "stage");
    const std::string mod = JsonGetString(reply, "mod");
    uint32_t generation = 0;
    bool entered = false;
    {
        // The generation moves on with the field writes, under the room lock:
        // a late "/ready" answer or a beat of the previous room checks it under
        // the same lock, so it can never land in the new room.
        std::lock_guard<std::mutex> g(room.lock);
        if (Wanted(request)) {
            entered = true;
            generation = room.room_generation.fetch_add(1) + 1;
            room.room_code = code;
            room.room_name = request.op.mode == RoomOpCreate ? request.op.name : std::string();
            room.room_partner.clear();
            room.room_role = role.empty() ? 'A' : role[0];
            room.room_chapter_label = chapter.empty() ? request.op.chapter_text : chapter;
            room.room_stage = stage.empty() ? request.op.stage_text : stage;
            room.room_mod = mod.empty() ? ModValue(request.op) : mod;
            ForgetRoomRelay(room); // named again by this room's own answers
            room.partner_kestrel_version.clear();
            room.partner_game_version.clear();
            room.my_ready.store(false);
            room.peer_ready.store(false);
            g_app.flags.room_started.store(false);
            g_app.flags.room_state.store(RoomIn);
            room.heartbeat_active.store(true);
        }
    }
    if (!entered) {
        // Nobody waits for this room any more: the service hears it is left.
        if (!code.empty())
            LeaveWorker(request.gamertag, request.cid, code);
        return;
    }
    // After the generation moved on: a poll reply of the old room is dropped
    // by its generation, so nothing of it lands in the emptied list.
    ClearRoomChat();
    // A new link session: new keys, and no partner key until this room's answers name one.
    ForgetLinkKeys();
    RenewLinkKeys();
    g_app.room.missed_beats.store(0);
    g_app.room.reconnecting.store(false);
    g_app.room.partner_away.store(false);
    const bool ready_again = request.op.mode == RoomOpJoin && g_app.room.rejoin_ready.exchange(false);
    SaveRoomIfCurrent(code, role.empty() ? 'A' : role[0], ready_again, generation);
    try {
        StartWorker(RoomHeartbeat, code, request.gamertag, generation);
    } catch (const std::system_error&) {
        // No heartbeat, no room: the service would close it unseen. Taken
        // back as a failed attempt; the next room operation leaves it first.
        std::lock_guard<std::mutex> g(room.lock);
        if (room.room_generation.load() == generation) {
            room.heartbeat_active.store(false);
            room.room_error = "Matchmaking failed.";
            g_app.flags.room_state.store(RoomFailed);
        }
        return;
    }
    if (ready_again && g_app.room.room_generation.load() == generation)
        SetReady(true);
}

// ---------------------------------------------------------------------------
// Heartbeat
// ---------------------------------------------------------------------------

static bool Current(uint32_t generation)
{
    return g_app.room.room_generation.load() == generation;
}

// Ready and waiting for the partner: beat every 0.5 s instead of 3 s, so the
// partner who readied first learns "started" at once and both links come up
// together. Checked on every step of the wait, so readying mid-wait counts.
static const int kReadyBeatSteps = 5;
static std::atomic<bool> g_fast_ready_beat{true};

void SetFastReadyHeartbeat(bool fast)
{
    g_fast_ready_beat.store(fast);
}

static bool AwaitingStart()
{
    return g_fast_ready_beat.load() && g_app.room.my_ready.load() && !g_app.flags.room_started.load();
}

void RoomHeartbeat(std::string code, std::string player_name, uint32_t generation)
{
    RoomState& room = g_app.room;
    const std::string cid = ClientId();
    room.partner_present.store(false);
    room.partner_in_game.store(false);
    if (!room.heartbeat_active.load())
        return;
    const std::string who =
        "{\"gamertag\":\"" + JsonEscape(player_name) + "\",\"cid\":\"" + JsonEscape(cid) + "\"" + RoomProofMember() +
        ",\"code\":\"" + JsonEscape(code) + "\"";
    while (Current(generation)) {
        // Built for each beat: a relay move renews the link key.
        const std::string body = who + LinkKeyMember() + VersionMembers() + "}";
        // Read in this order against SetReady's: a beat sent while a ready
        // change is on its way, or answered after a newer one, may carry the
        // service's flags from before it, so it leaves them alone.
        const uint32_t ready_changes = room.ready_changes.load();
        const bool ready_settled = room.ready_in_flight.load() == 0;
        std::string reply;
        const bool answered = HttpPostJson(kRoomPort, L"/heartbeat", body, reply);
        if (!answered && RideOutDrops() && Current(generation) && room.missed_beats.fetch_add(1) + 1 >= 2)
            room.reconnecting.store(true);
        if (answered) {
            bool ok = false;
            JsonGetBool(reply, "ok", ok);
            if (!ok) {
                // The room is gone. Its flags go with it, so the link is not
                // started again and the chat stops polling it.
                {
                    std::lock_guard<std::mutex> g(room.lock);
                    if (!Current(generation))
                        return;
                    room.room_error = "Room closed.";
                    if (g_app.flags.link_running.load())
                        StopPeerLink();
                    room.my_ready.store(false);
                    room.peer_ready.store(false);
                    g_app.flags.room_started.store(false);
                    g_app.flags.room_state.store(RoomFailed);
                    room.heartbeat_active.store(false);
                    room.reconnecting.store(false);
                    room.partner_away.store(false);
                }
                // Outside the room lock, which the render thread takes every
                // frame; a room entered meanwhile keeps its record.
                ForgetSavedRoomIfCurrent(generation);
                return;
            }
            bool my_ready = false, peer_ready = false, started = false, peer_away = false;
            JsonGetBool(reply, "my_ready", my_ready);
            JsonGetBool(reply, "peer_ready", peer_ready);
            JsonGetBool(reply, "started", started);
            JsonGetBool(reply, "peer_away", peer_away);
            const std::string peer = JsonGetString(reply, "peer");
            const std::string relay = JsonGetString(reply, "relay");
            char role = 0;
            {
                // A beat answered after a leave or a new room changes nothing.
                std::lock_guard<std::mutex> g(room.lock);
                if (!Current(generation))
                    return;
                // The service moved the room to another relay when its own
                // went away: the running link follows.
                KeepRoomRelay(room, relay);
                KeepPartnerMembers(room, reply);
                if (ready_settled && room.ready_changes.load() == ready_changes) {
                    room.my_ready.store(my_ready);
                    room.peer_ready.store(peer_ready);
                    g_app.flags.room_started.store(started);
                }
                room.room_partner = peer;
                role = room.room_role;
            }
            bool back = false;
            if (RideOutDrops()) {
                room.missed_beats.store(0);
                room.reconnecting.store(false);
                peer_away = peer_away && !peer.empty();
                back = room.partner_away.exchange(peer_away) && !peer_away && !peer.empty();
                if (back)
                    PushToast("Partner Reconnected", peer + " is back in the session.", 4.8f);
                SaveRoomIfCurrent(code, role, room.my_ready.load(), generation);
            }
            if (peer.empty() && g_app.flags.link_running.load()) {
                StopPeerLink();
                SetReady(false);
                room.peer_ready.store(false);
                g_app.flags.room_started.store(false);
            }
            bool joined = false, left = false, spawned = false, despawned = false;
            const bool present = !peer.empty();
            if (present != room.partner_present.load()) {
                room.partner_present.store(present);
                if (present)
                    // The joiner came to the host's lobby, not the other way round.
                    PushToast("Partner Joined", role == 'B' ? "You joined " + peer + "'s lobby."
                                                            : peer + " joined your lobby.", 4.8f);
                else
                    PushToast("Partner Left", "Your partner left the lobby.", 4.8f);
                (present ? joined : left) = true;
            }
            const bool in_game = g_app.flags.link_running.load();
            if (in_game != room.partner_in_game.load()) {
                room.partner_in_game.store(in_game);
                if (in_game)
                    PushToast("Partner Spawned In", "Your partner is now in your game.", 4.8f);
                else
                    PushToast("Partner Despawned", "Your partner left the session.", 4.8f);
                (in_game ? spawned : despawned) = true;
            }
            if (joined || spawned || back)
                RequestClickSound(ClickConfirm);
            else if (left || despawned)
                RequestClickSound(ClickBack);
        }
        for (int i = 0; i < 30; i++) {
            if (!room.heartbeat_active.load() || !Current(generation))
                break;
            if (i >= kReadyBeatSteps && AwaitingStart())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!room.heartbeat_active.load())
            return;
    }
}

// ---------------------------------------------------------------------------
// Leaving, rejoining
// ---------------------------------------------------------------------------

RoomLeave LeaveRoomLocally()
{
    RoomState& room = g_app.room;
    RoomLeave leave;
    leave.code = CurrentRoomCode();
    leave.player_name = PlayerName();
    leave.cid = ClientId();
    room.heartbeat_active.store(false);
    room.room_generation.fetch_add(1);
    // After the generation moved on: no late beat saves it again. Idle (as
    // after a restart), the saved room stays on offer.
    if (!leave.code.empty())
        ForgetSavedRoom();
    room.reconnecting.store(false);
    room.partner_away.store(false);
    if (g_app.flags.link_running.load())
        StopPeerLink();
    {
        std::lock_guard<std::mutex> g(room.lock);
        room.room_code.clear();
        room.room_name.clear();
        room.room_partner.clear();
        room.room_chapter_label.clear();
        room.room_stage.clear();
        room.room_mod.clear();
        room.room_role = 0;
        room.partner_kestrel_version.clear();
        room.partner_game_version.clear();
        ForgetRoomRelay(room);
    }
    ForgetLinkKeys();
    ClearRoomChat();
    {
        std::lock_guard<std::mutex> g(g_app.chat.lock);
        g_app.chat.chat_input[0] = 0;
    }
    room.my_ready.store(false);
    room.peer_ready.store(false);
    g_app.flags.room_started.store(false);
    g_app.flags.room_state.store(RoomIdle);
    return leave;
}

void LeaveRoom()
{
    RoomLeave leave = LeaveRoomLocally();
    if (!leave.code.empty())
        StartWorker(LeaveWorker, std::move(leave.player_name), std::move(leave.cid), std::move(leave.code));
}

void LeaveWorker(std::string player_name, std::string cid, std::string code)
{
    const std::string body = "{\"gamertag\":\"" + JsonEscape(player_name) + "\",\"cid\":\"" + JsonEscape(cid) +
                             "\",\"code\":\"" + JsonEscape(code) + "\"}";
    std::string reply;
    HttpPostJson(kRoomPort, L"/leave", body, reply);
}

void RejoinSavedRoom()
{
    std::string code;
    if (!RejoinOffer(code) || g_app.flags.room_state.load() == RoomBusy)
        return;
    g_app.room.rejoin_ready.store(SavedRoomReady());
    StartRoomOp({.mode = RoomOpJoin, .code = code});
}
