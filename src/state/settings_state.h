// The player's overlay preferences: one record, applied on the render thread,
// synced to the backend for signed-in players. Fractions travel as whole
// percentages; see backend/settings.h for the text and the accepted ranges.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

struct SettingsRecord // render thread only; workers only hand over text
{
    float btn_alpha_pct = 0.5f;    // co-op button opacity, 0..1
    float btn_scale_pct = 1.0f;    // 0.6..1.5
    int32_t toggle_vk = 0x23;      // overlay toggle key (End), 1..255
    bool hint = true;
    bool notif_en = true;
    float notif_scale_pct = 1.0f;  // 0.75..1.4
    float notif_alpha_pct = 1.0f;  // 0.3..1.0
    int32_t notif_style = 0;       // 0, 1 or 2
    bool conn = true;
    bool snd_en = true;
    float snd_vol_pct = 0.55f;     // click sound volume, 0..1
    bool sealed_only = false;      // refuse a plain link (a partner whose Kestrel cannot seal)
};

struct SettingsSyncState // "the settings lock" (guards the pending text)
{
    std::mutex lock;
    std::string pending; // the last settings text received from the backend
};
