// Home (page 1): the greeting, the room status card and the ways into a room.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawHomePage()
{
    PageHeader("WELCOME BACK", "Home");
    // Gap: this page's contents are not built yet.
    TextColoured(ColMuted, "Not built yet.");
}
