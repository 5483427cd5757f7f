// The overlay frame: everything the overlay does once per presented frame,
// between Dear ImGui's new frame and its end of frame, menu open or closed.
#pragma once

// `host_menu_shown`: the host's own menu is up (it draws the cursor then).
void OverlayFrame(bool host_menu_shown);
