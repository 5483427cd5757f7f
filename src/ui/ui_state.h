// The overlay's render-thread page state: form buffers, timers and last-seen
// copies the pages keep between frames. One record, so tests can reset it.
#pragma once

#include "backend/client_frame.h"
#include "state/room_state.h"
#include "state/toasts.h"

#include <cstdint>
#include <string>
#include <vector>

struct UiState
{
    ClientFrameState client_frame;
    // Shell
    bool style_applied = false;
    float overlay_anim = 0.0f;                // open/close level of the main window, 0..1
    float main_window_w = 880.0f;             // the player's window size, kept while fully open
    float main_window_h = 640.0f;
    float applied_w = 0.0f;                   // the size the shell last gave the window
    float applied_h = 0.0f;
    bool was_fully_open = false;              // the window was fully open last frame
    // Sign-in pages: one username and one password buffer serve sign-in and
    // sign-up, so text typed on one page shows on the other.
    char username[64] = "";
    char password[128] = "";                  // emptied once a sign-in is taken over
    char gamertag[64] = "";
    char signup_email[128] = "";
    char reset_email[128] = "";
    float card_need_h[3] = {};                // height each card's contents took last frame
    // Friends, Messages and Profile: the add-friend field and the timers of
    // the friends refresh and the conversation fetch (ImGui time; the first
    // frame on a page runs at once).
    char add_friend[40] = "";
    double last_friends_refresh = -100.0;
    double last_conversation_fetch = -100.0;
    // Kit
    int segmented_choice = 0;                 // SegmentedPair: 0 or 1, kept across pages
    // Settings page and in-game indicators
    std::string settings_seen;                // settings text the page last saw; empty before its first frame
    int settings_drawn_frame = -1;            // Dear ImGui frame on which the page was last drawn
    int32_t capture_release_vk = 0;           // the key that ended a capture, still held (0: none)
    float coop_hover = 0.0f;                  // Co-op button hover level, 0..1
    bool hint_active = true;                  // the open-menu hint runs (shown after start-up)
    float hint_timer = 0.0f;                  // seconds since the hint started
    bool hint_was_open = false;               // the menu was open on the previous frame
    std::vector<Toast> toasts_drawn;          // this frame's copy of the queue, its storage reused
    // Room pages (Create, Find, Lobby): kept for the whole process, so a page
    // left and visited again shows what the player typed. The create form's
    // visibility is the SegmentedPair choice above.
    char room_name[96] = "New Co-op Room";
    char room_chapter[32] = "";
    char room_stage[32] = "";
    bool room_show_mod = true;
    char room_mod[64] = "";                   // kept while the box is unticked
    char join_code[8] = "";                   // up to 7 characters
    double lobby_chat_poll = -100.0;          // the lobby's own chat timer, ImGui seconds
    std::vector<ChatMessage> lobby_chat;      // the lobby's copy of the chat list, reused each frame
};

extern UiState g_ui;

// Everything back to its start value (tests).
void ResetUiState();

// After a sign-out, on a shared PC: what the last player typed into the
// account and social forms goes (the sign-in name stays, as on any login form).
void ForgetTypedText();
