// Friends (page 11) and the friends section it shares with Profile.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawFriendsPage()
{
    PageHeader("SOCIAL", "Friends");
    DrawFriendsSection();
}

void DrawFriendsSection()
{
    // Gap: requests, adding friends and the friends list are not built yet.
    TextColoured(ColMuted, "Not built yet.");
}
