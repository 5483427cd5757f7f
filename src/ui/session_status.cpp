#include "ui/session_status.h"

#include "backend/rooms.h"
#include "backend/saved_room.h"
#include "state/app_state.h"
#include "ui/palette.h"

#include <cmath>
#include <mutex>

SessionStatus SessionStatusFor(const SessionFacts& f)
{
    SessionStatus s;
    const bool in_room = f.room_state == RoomIn;
    // A drop outranks everything: the figures and flags of before it no
    // longer tell the player anything true.
    if (in_room && f.reconnecting) {
        s = {PhaseReconnecting, "Reconnecting - your place in the room is kept",
             "Reconnecting to the room - your place is kept.", "Reconnecting...", ColGold, ColGold};
    } else if (in_room && f.partner && f.partner_away) {
        s = {PhasePartnerAway, "Partner reconnecting - their place is kept",
             "Partner reconnecting - their place is kept.", "Partner reconnecting...", ColGold, ColGold};
    } else if (f.linked) {
        s = {PhaseConnected, "Connected - in a co-op session",
             "Connected - load into the same area to play together.", "", ColGreen, ColGreen};
    } else if (in_room && f.started) {
        s = {PhaseConnecting, "Both ready - connecting...", "Both ready - connecting...", "Connecting...", ColGreen,
             ColAccent};
    } else if (in_room && f.partner) {
        s = {PhaseLobby, "In a lobby - waiting to ready up", "Both players must ready up to connect.", "", ColGold,
             ColAccent};
    } else if (in_room) {
        s = {PhaseLobbyAlone, "In a lobby - waiting for a partner", "Waiting for a partner to join.", "", ColMuted,
             ColAccent};
    } else if (f.room_state == RoomBusy) {
        s = {PhaseSearching, "Searching for a match...", "", "", ColGold, ColAccent};
    } else if (f.rejoin_offer) {
        s = {PhaseRejoinable, "Away from your room - your place is kept", "", "", ColGold, ColAccent};
    } else {
        s = {PhaseIdle, "Idle - not in a room", "", "", ColMuted, ColAccent};
    }
    return s;
}

SessionFacts ReadSessionFacts()
{
    SessionFacts f;
    f.room_state = g_app.flags.room_state.load();
    f.started = g_app.flags.room_started.load();
    f.linked = g_app.flags.link_running.load();
    f.reconnecting = g_app.room.reconnecting.load();
    f.partner_away = g_app.room.partner_away.load();
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        f.partner = !g_app.room.room_partner.empty();
    }
    if (f.room_state != RoomIn && f.room_state != RoomBusy && !f.linked) {
        std::string code;
        f.rejoin_offer = RejoinOffer(code);
    }
    return f;
}

SessionFacts FrameSessionFacts()
{
    // The workers change the facts while a frame draws: read them once per
    // frame, so the pill, the Co-op button and the pages never disagree.
    static const ImGuiContext* context = nullptr;
    static int frame = -1;
    static SessionFacts facts;
    const ImGuiContext* now_context = ImGui::GetCurrentContext();
    const int now_frame = now_context ? ImGui::GetFrameCount() : -1;
    if (!now_context || now_context != context || now_frame != frame) {
        facts = ReadSessionFacts();
        context = now_context;
        frame = now_frame;
    }
    return facts;
}

SessionStatus CurrentSessionStatus()
{
    return SessionStatusFor(FrameSessionFacts());
}

namespace {

float Linear(float c)
{
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

float Luminance(const ImVec4& c)
{
    return 0.2126f * Linear(c.x) + 0.7152f * Linear(c.y) + 0.0722f * Linear(c.z);
}

} // namespace

float ContrastRatio(const ImVec4& a, const ImVec4& b)
{
    const float la = Luminance(a), lb = Luminance(b);
    return (std::fmax(la, lb) + 0.05f) / (std::fmin(la, lb) + 0.05f);
}
