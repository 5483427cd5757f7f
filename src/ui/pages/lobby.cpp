// Matchmaking and lobby (page 4): the quickmatch offer, the search notice and
// the lobby with its player slots, chat and connection readout.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawMatchmakingPage()
{
    PageHeader("MATCHMAKING", "Matchmaking");
    // Gap: the three faces of this page are not built yet.
    TextColoured(ColMuted, "Not built yet.");
}

void DrawConnectionQuality()
{
    // Gap: the connection readout is not built yet.
}
