// The overlay frame: everything the overlay does once per presented frame,
// between Dear ImGui's new frame and its end of frame.
#pragma once

// Placeholder until the overlay shell exists: one plain window titled
// "Kestrel Multiplayer" while the overlay is open.
void OverlayFrame();
