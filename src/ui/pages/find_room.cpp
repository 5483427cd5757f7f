// Find a Room (page 3): the public room list and joining by code.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawFindRoomPage()
{
    PageHeader("SEARCH", "Find a Room");
    // Gap: this page's contents are not built yet.
    TextColoured(ColMuted, "Not built yet.");
}
