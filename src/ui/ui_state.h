// The overlay's render-thread page state: form buffers, timers and last-seen
// copies the pages keep between frames. One record, so tests can reset it.
#pragma once

#include "backend/client_frame.h"

#include <cstdint>

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
};

extern UiState g_ui;

// Everything back to its start value (tests).
void ResetUiState();
