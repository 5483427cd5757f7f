// What the player sees over the game, menu open or closed: the Co-op button,
// the open-menu hint, the connection bars and the toasts.
#pragma once

void DrawCoopButton();
void DrawOpenMenuHint(float dt);
void DrawConnectionBars();
void DrawToasts();
