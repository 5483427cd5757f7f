// The lobby's "Nameplate" section: how this player's name shows over their
// character on the partner's screen (the file itself is the client frame's).
#include "ui/pages/pages.h"

void DrawNameplateSection()
{
    // Gap: the section's four controls are not built yet.
}
