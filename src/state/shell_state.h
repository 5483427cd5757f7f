// The overlay shell's page bookkeeping (render thread only). The shell draws
// the pages and runs the fade; other areas only ask for a page.
#pragma once

#include <cstdint>

enum Page : int32_t {
    PageSignIn = 0,
    PageHome = 1,
    PageCreate = 2,
    PageSearch = 3,
    PageMatchmaking = 4,
    PageProfile = 5,
    PageSignUp = 6,
    PageWelcome = 7,
    PageSettings = 8,
    PageHowTo = 9,
    PageForgotPassword = 10,
    PageFriends = 11,
    PageMessages = 12,
};

struct ShellState
{
    int32_t current_page = PageSignIn;
    int32_t pending_page = -1; // asked for by NavigateTo; -1 when none
    float page_fade = 1.0f;    // visibility of the content area, 0..1
    float welcome_timer = 0.0f; // seconds the welcome page has been shown
};

// Asks the shell for `page` (it switches with a fade) and resets a finished
// reset / verify request status. Callers pass a page other than the current one.
void NavigateTo(int32_t page);

// A finished reset/verify result back to idle (every page change does it).
void ClearFinishedRequest();
