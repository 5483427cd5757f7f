// The settings record's sync with the backend. The record itself is
// g_app.settings (render thread); workers only hand over text.
//
// Text form (BuildSettingsJson), percentages as fraction x 100 + 0.5, truncated:
// {"btn_alpha_pct":50,"btn_scale_pct":100,"toggle_vk":35,"hint":true,"notif_en":true,
//  "notif_scale_pct":100,"notif_alpha_pct":100,"notif_style":0,"conn":true,"snd_en":true,
//  "snd_vol_pct":55,"sealed_only":false}
// Accepted on apply: btn_alpha 0..1, btn_scale 0.6..1.5, toggle_vk 1..255
// (else ignored), notif_scale 0.75..1.4, notif_alpha 0.3..1.0, notif_style 0..2
// (else ignored), snd_vol 0..1; booleans as given.
#pragma once

#include <cstdint>
#include <string>

// Worker side (the sign-in and session workers call it with the state lock
// held): keeps `text` for the render thread's next ApplyPendingSettings.
void ApplyServerSettings(const std::string& text);

// Render thread, every frame: applies a received record, key by key, clamped.
// A record carrying the volume stops the playing sound and rebuilds the click
// sounds.
void ApplyPendingSettings();

// Render thread, every frame: hands what other threads act on to them through
// atomics: "notif_en" (PushToast), the page shown (the message poller) and
// the toggle key (the window thread).
void PublishRenderStateForWorkers();

// Render thread (settings screen, signed-in players only): the record changed.
void MarkSettingsChanged(int64_t now_ns);

std::string BuildSettingsJson();

// Render thread, every frame: once a change is more than 1 s old (steady
// clock) and the player is not a guest, clears the dirty flag and calls
// PushSettings. True on the frame that did.
bool UploadSettingsIfDue(int64_t now_ns);

// Render thread, at sign-out: a change still waiting for its second is sent
// at once, under the account it was made in.
void FlushSettingsUpload();

// Starts the upload of the current record (nothing without a token).
void PushSettings();

// One "/settings/set" exchange; the result is not looked at.
void SettingsPushWorker(std::string token, std::string text);
