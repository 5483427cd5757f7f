// The menu window: its opening animation, placement and remembered size, the
// page fade, and the sidebar beside the content area.
#pragma once

// Render thread, after the in-game indicators. Draws nothing once the window
// has faded out.
void DrawMenuWindow(float dt);
