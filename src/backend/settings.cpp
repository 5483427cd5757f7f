#include "backend/settings.h"

#include "backend/click_sounds.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "link/link_seal.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "state/worker.h"

#include <cstdio>

namespace {

constexpr int64_t kUploadDelayNs = 1000000000; // one second after the last change

void ReadPercent(const std::string& text, const char* key, float lo, float hi, float& field)
{
    int32_t v = 0;
    if (!JsonGetInt(text, key, v))
        return;
    double f = v / 100.0;
    if (f < lo)
        f = lo;
    if (f > hi)
        f = hi;
    field = (float)f;
}

void ReadBool(const std::string& text, const char* key, bool& field)
{
    bool v = false;
    if (JsonGetBool(text, key, v))
        field = v;
}

int Percent(float fraction)
{
    return (int)((double)fraction * 100.0 + 0.5);
}

} // namespace

void ApplyServerSettings(const std::string& text)
{
    std::lock_guard<std::mutex> hold(g_app.settings_sync.lock);
    g_app.settings_sync.pending = text;
    g_app.flags.settings_arrived.store(true);
}

void ApplyPendingSettings()
{
    if (!g_app.flags.settings_arrived.exchange(false))
        return;
    std::string text;
    {
        std::lock_guard<std::mutex> hold(g_app.settings_sync.lock);
        text = g_app.settings_sync.pending;
    }
    if (text.empty())
        return;
    SettingsRecord& s = g_app.settings;
    int32_t v = 0;
    ReadPercent(text, "btn_alpha_pct", 0.0f, 1.0f, s.btn_alpha_pct);
    ReadPercent(text, "btn_scale_pct", 0.6f, 1.5f, s.btn_scale_pct);
    if (JsonGetInt(text, "toggle_vk", v) && v >= 1 && v <= 255)
        s.toggle_vk = v;
    ReadBool(text, "hint", s.hint);
    ReadBool(text, "notif_en", s.notif_en);
    ReadPercent(text, "notif_scale_pct", 0.75f, 1.4f, s.notif_scale_pct);
    ReadPercent(text, "notif_alpha_pct", 0.3f, 1.0f, s.notif_alpha_pct);
    if (JsonGetInt(text, "notif_style", v) && (uint32_t)v <= 2)
        s.notif_style = v;
    ReadBool(text, "conn", s.conn);
    ReadBool(text, "snd_en", s.snd_en);
    ReadBool(text, "sealed_only", s.sealed_only);
    if (JsonGetInt(text, "snd_vol_pct", v)) {
        ReadPercent(text, "snd_vol_pct", 0.0f, 1.0f, s.snd_vol_pct);
        // Asynchronous playback reads the buffer about to be replaced.
        PlayWavImage(nullptr);
        BuildClickSounds();
    }
}

void MarkSettingsChanged(int64_t now_ns)
{
    g_app.flags.settings_dirty_ns.store(now_ns);
    g_app.flags.settings_dirty.exchange(true);
}

std::string BuildSettingsJson()
{
    const SettingsRecord& s = g_app.settings;
    char text[512];
    snprintf(text, sizeof(text),
             "{\"btn_alpha_pct\":%d,\"btn_scale_pct\":%d,\"toggle_vk\":%d,\"hint\":%s,\"notif_en\":%s,"
             "\"notif_scale_pct\":%d,\"notif_alpha_pct\":%d,\"notif_style\":%d,\"conn\":%s,\"snd_en\":%s,"
             "\"snd_vol_pct\":%d,\"sealed_only\":%s}",
             Percent(s.btn_alpha_pct), Percent(s.btn_scale_pct), (int)s.toggle_vk, s.hint ? "true" : "false",
             s.notif_en ? "true" : "false", Percent(s.notif_scale_pct), Percent(s.notif_alpha_pct),
             (int)s.notif_style, s.conn ? "true" : "false", s.snd_en ? "true" : "false", Percent(s.snd_vol_pct),
             s.sealed_only ? "true" : "false");
    return text;
}

bool UploadSettingsIfDue(int64_t now_ns)
{
    if (!g_app.flags.settings_dirty.load() || g_app.account.is_guest)
        return false;
    if (now_ns - g_app.flags.settings_dirty_ns.load() <= kUploadDelayNs)
        return false;
    g_app.flags.settings_dirty.exchange(false);
    PushSettings();
    return true;
}

void FlushSettingsUpload()
{
    if (g_app.account.is_guest || !g_app.flags.settings_dirty.exchange(false))
        return;
    PushSettings();
}

void PushSettings()
{
    std::string token;
    {
        std::lock_guard<std::mutex> hold(g_app.account.lock);
        token = g_app.account.token;
    }
    if (token.empty())
        return;
    StartWorker(SettingsPushWorker, std::move(token), BuildSettingsJson());
}

void SettingsPushWorker(std::string token, std::string text)
{
    const std::string body = "{\"token\":\"" + JsonEscape(token) + "\",\"settings\":\"" + JsonEscape(text) + "\"}";
    std::string reply;
    HttpPostJson(kAccountPort, L"/settings/set", body, reply);
}

void PublishRenderStateForWorkers()
{
    g_app.toasts.enabled.store(g_app.settings.notif_en);
    g_app.flags.shown_page.store(g_app.shell.current_page);
    // The window thread's toggle reads its own copy: a rebound or synced key
    // takes effect from the next message on.
    g_app.overlay.toggle_vk.store(g_app.settings.toggle_vk);
    SetLinkSealedOnly(g_app.settings.sealed_only);
}
