// The overlay's render-thread page state: form buffers, timers and last-seen
// copies the pages keep between frames. One record, so tests can reset it.
#pragma once

#include "backend/client_frame.h"
#include "state/room_state.h"
#include "state/social_state.h"
#include "state/toasts.h"

#include <imgui.h>

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
    float sidebar_foot_h = 120.0f;            // height of the sidebar's profile and Sign Out block, last frame
    float min_window_h = 0.0f;                // the height the whole sidebar needs (0: not measured yet)
    int32_t content_page = -1;                // the page the content area last showed (its scroll is that page's)
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
    char add_friend[64] = "";                 // a gamertag's whole capacity
    double last_friends_refresh = -100.0;
    double last_conversation_fetch = -100.0;
    std::vector<DirectMessage> conversation;   // the Messages page's copy, taken when it changed
    uint32_t conversation_seen = UINT32_MAX;   // conversation_changes of that copy
    std::string message_sent;                 // the draft as it was sent; emptied on arrival if unchanged
    // Kit
    int segmented_choice = 0;                 // SegmentedPair: 0 or 1, kept across pages
    int row_button_index = 0;                 // RowButton: buttons drawn since RowButtonsStart
    // Settings page and in-game indicators
    std::string settings_seen;                // settings text the page last saw; empty before its first frame
    int settings_drawn_frame = -1;            // Dear ImGui frame on which the page was last drawn
    int32_t capture_release_vk = 0;           // the key that ended a capture, still held (0: none)
    bool capture_held_at_start[256] = {};     // keys down when the capture began: ignored until let go
    float coop_hover = 0.0f;                  // Co-op button hover level, 0..1
    ImVec2 coop_min, coop_max;                // the Co-op button this frame (drawn before the menu)
    bool hint_active = true;                  // the open-menu hint runs (shown after start-up)
    float hint_timer = 0.0f;                  // seconds since the hint started
    float hint_bottom = 0.0f;                 // lowest y the hint took this frame (0: not drawn)
    bool hint_was_open = false;               // the menu was open on the previous frame
    std::vector<Toast> toasts_drawn;          // this frame's copy of the queue, its storage reused
    std::vector<ImVec4> toast_rects;          // where this frame's toasts went (x0, y0, x1, y1)
    ImVec2 menu_min, menu_max;                // the menu window last frame (equal: not shown)
    float menu_title_h = 0.0f;                // its title bar's height
    float menu_title_w = 0.0f;                // its title text's width
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
    bool sync_details = false;                // the lobby's game-sync figures are shown
    // A Join asked for while a session runs waits for "Leave and join".
    bool join_confirm_open = false;
    bool join_confirm_invite = false;         // from an invite (else a friend's row)
    RoomInvite join_confirm;                  // the room to join (code; for an invite, its sender)
};

extern UiState g_ui;

// Everything back to its start value (tests).
void ResetUiState();

// After a sign-out, on a shared PC: what the last player typed into the
// account and social forms goes (the sign-in name stays, as on any login form).
void ForgetTypedText();
