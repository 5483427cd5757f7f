// Where the player stands with the room and the partner, told one way on
// every surface: the Home status line, the lobby's status line and readout,
// the connection pill over the game and the Co-op button's colour.
#pragma once

#include <imgui.h>

#include <cstdint>

// The facts the wording is chosen from, each read once per frame.
struct SessionFacts
{
    int32_t room_state = 0;      // RoomIdle, RoomBusy, RoomIn, RoomFailed
    bool partner = false;        // a partner is in the room
    bool started = false;        // both ready, the service started the session
    bool linked = false;         // the peer link runs
    bool reconnecting = false;   // this client's beats go unanswered
    bool partner_away = false;   // the service keeps the partner's place
    bool rejoin_offer = false;   // not in a room, a saved room to rejoin
};

enum SessionPhase
{
    PhaseIdle,
    PhaseRejoinable,
    PhaseSearching,
    PhaseLobbyAlone,
    PhaseLobby,          // partner there, not both ready
    PhaseConnecting,     // both ready, link not up yet
    PhaseConnected,
    PhasePartnerAway,    // the partner's game went quiet; its place is kept
    PhaseReconnecting,   // this client lost the service; its place is kept
};

struct SessionStatus
{
    SessionPhase phase = PhaseIdle;
    const char* home = "";    // Home's status line
    const char* lobby = "";   // the lobby's status line ("" outside a room)
    const char* pill = "";    // the readout's word while the link's figures do not apply ("" when they do)
    ImVec4 colour;            // of every line above and of the pill
    ImVec4 button;            // the Co-op button's fill
};

SessionStatus SessionStatusFor(const SessionFacts& f);
SessionFacts ReadSessionFacts();            // render thread: atomics, room lock for the partner
SessionFacts FrameSessionFacts();           // ReadSessionFacts() once per frame
SessionStatus CurrentSessionStatus();       // SessionStatusFor(FrameSessionFacts())

// WCAG 2 contrast ratio of two opaque sRGB colours (1 to 21).
float ContrastRatio(const ImVec4& a, const ImVec4& b);
