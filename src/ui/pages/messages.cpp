// Messages (page 12): one conversation with a friend and its compose line.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawMessagesPage()
{
    PageHeader("SOCIAL", "Messages");
    // Gap: this page's contents are not built yet.
    TextColoured(ColMuted, "Not built yet.");
}
