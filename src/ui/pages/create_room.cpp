// Create a Room (page 2): the room form and its request.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawCreateRoomPage()
{
    PageHeader("NEW ROOM", "Create a Room");
    // Gap: this page's contents are not built yet.
    TextColoured(ColMuted, "Not built yet.");
}
