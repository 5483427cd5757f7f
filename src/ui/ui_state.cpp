#include "ui/ui_state.h"

#include "state/app_state.h"

#include <cstring>

UiState g_ui;

void ResetUiState()
{
    g_ui = UiState{};
}

void ForgetTypedText()
{
    memset(g_ui.password, 0, sizeof(g_ui.password));
    memset(g_ui.gamertag, 0, sizeof(g_ui.gamertag));
    memset(g_ui.signup_email, 0, sizeof(g_ui.signup_email));
    memset(g_ui.reset_email, 0, sizeof(g_ui.reset_email));
    memset(g_ui.add_friend, 0, sizeof(g_ui.add_friend));
    memset(g_app.social.compose, 0, sizeof(g_app.social.compose));
}
