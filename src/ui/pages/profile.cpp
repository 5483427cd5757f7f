// Profile (page 5): the account card, verification and the friends section.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawProfilePage()
{
    PageHeader("ACCOUNT", "Profile");
    // Gap: this page's contents are not built yet.
    TextColoured(ColMuted, "Not built yet.");
}
