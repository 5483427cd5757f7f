// How the player's nameplate looks on the partner's screen. Edited by the
// lobby, written to the nameplate file for the game's scripts; never synced
// or saved, so every start of the game begins with the defaults.
#pragma once

#include <cstdint>

struct NameplateSettings // render thread only
{
    int32_t display = 3;      // 0 off, 1 name only, 2 character only, 3 name + character
    int32_t max_dist = 35;    // metres, 5..100
    int32_t height = 185;     // centimetres above the character, 50..300
    int32_t text_scale = 100; // percent, 50..250
};
