// Settings (page 8): the settings record's controls and the menu key binding.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

void DrawSettingsPage()
{
    PageHeader("CONFIGURE", "Settings");
    // Gap: this page's contents are not built yet.
    TextColoured(ColMuted, "Not built yet.");
}
