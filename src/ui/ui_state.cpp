#include "ui/ui_state.h"

UiState g_ui;

void ResetUiState()
{
    g_ui = UiState{};
}
