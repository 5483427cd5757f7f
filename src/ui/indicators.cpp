#include "ui/indicators.h"

// Gap: the in-game indicators are not built yet. The overlay frame already
// calls them in their place and order; until they exist nothing is drawn over
// the game while the menu is closed, and queued toasts are not shown.

void DrawCoopButton()
{
}

void DrawOpenMenuHint(float)
{
}

void DrawConnectionBars()
{
}

void DrawToasts()
{
}
