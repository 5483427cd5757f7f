// The settings record: its text form, and how a received record is applied.
#include "app_reset.h"
#include "backend/click_sounds.h"
#include "backend/settings.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

namespace {

// Hands `text` over as the sign-in worker would, then runs the frame's step.
void Receive(const std::string& text)
{
    ApplyServerSettings(text);
    ApplyPendingSettings();
}

int PeakOfTick()
{
    int peak = 0;
    for (size_t at = 44; at + 1 < SoundTick.size(); at += 2)
        peak = std::max(peak, std::abs((int)(int16_t)(SoundTick[at] | SoundTick[at + 1] << 8)));
    return peak;
}

} // namespace

TEST(SettingsRecord, TextOfTheDefaultsAndRounding)
{
    ResetAccountAreas();
    EXPECT_EQ(BuildSettingsJson(),
              "{\"btn_alpha_pct\":50,\"btn_scale_pct\":100,\"toggle_vk\":35,\"hint\":true,\"notif_en\":true,"
              "\"notif_scale_pct\":100,\"notif_alpha_pct\":100,\"notif_style\":0,\"conn\":true,\"snd_en\":true,"
              "\"snd_vol_pct\":55,\"sealed_only\":false}");
    g_app.settings.snd_vol_pct = 0.555f;
    g_app.settings.btn_alpha_pct = 0.004f;
    g_app.settings.hint = false;
    g_app.settings.notif_style = 2;
    g_app.settings.toggle_vk = 0x70;
    const std::string text = BuildSettingsJson();
    EXPECT_NE(text.find("\"snd_vol_pct\":56,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"btn_alpha_pct\":0,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"hint\":false,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"notif_style\":2,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"toggle_vk\":112,"), std::string::npos) << text;
}

TEST(SettingsRecord, AReceivedRecordIsAppliedKeyByKeyOnTheNextFrame)
{
    ResetAccountAreas();
    ApplyServerSettings("{\"btn_alpha_pct\":20,\"btn_scale_pct\":120,\"toggle_vk\":45,\"hint\":false,"
                        "\"notif_en\":false,\"notif_scale_pct\":90,\"notif_alpha_pct\":40,\"notif_style\":1,"
                        "\"conn\":false,\"snd_en\":false,\"snd_vol_pct\":30,\"sealed_only\":true}");
    EXPECT_EQ(g_app.settings.btn_alpha_pct, 0.5f); // nothing before the frame step
    ApplyPendingSettings();
    const SettingsRecord& s = g_app.settings;
    EXPECT_FLOAT_EQ(s.btn_alpha_pct, 0.2f);
    EXPECT_FLOAT_EQ(s.btn_scale_pct, 1.2f);
    EXPECT_EQ(s.toggle_vk, 45);
    EXPECT_FALSE(s.hint);
    EXPECT_FALSE(s.notif_en);
    EXPECT_FLOAT_EQ(s.notif_scale_pct, 0.9f);
    EXPECT_FLOAT_EQ(s.notif_alpha_pct, 0.4f);
    EXPECT_EQ(s.notif_style, 1);
    EXPECT_FALSE(s.conn);
    EXPECT_FALSE(s.snd_en);
    EXPECT_FLOAT_EQ(s.snd_vol_pct, 0.3f);
    EXPECT_TRUE(s.sealed_only);
    EXPECT_FALSE(g_app.flags.settings_arrived.load());
    // Applied once: the same text is not applied again without a new arrival.
    g_app.settings.hint = true;
    ApplyPendingSettings();
    EXPECT_TRUE(g_app.settings.hint);
}

TEST(SettingsRecord, OutOfRangeValuesAreClampedOrIgnored)
{
    ResetAccountAreas();
    Receive("{\"btn_scale_pct\":10,\"btn_alpha_pct\":-40,\"notif_scale_pct\":500,\"notif_alpha_pct\":0}");
    EXPECT_FLOAT_EQ(g_app.settings.btn_scale_pct, 0.6f);
    EXPECT_FLOAT_EQ(g_app.settings.btn_alpha_pct, 0.0f);
    EXPECT_FLOAT_EQ(g_app.settings.notif_scale_pct, 1.4f);
    EXPECT_FLOAT_EQ(g_app.settings.notif_alpha_pct, 0.3f);

    for (const char* text : {"{\"toggle_vk\":0}", "{\"toggle_vk\":300}", "{\"toggle_vk\":-5}"}) {
        Receive(text);
        EXPECT_EQ(g_app.settings.toggle_vk, 0x23) << text;
    }
    Receive("{\"toggle_vk\":255}");
    EXPECT_EQ(g_app.settings.toggle_vk, 255);

    for (const char* text : {"{\"notif_style\":-1}", "{\"notif_style\":3}"}) {
        Receive(text);
        EXPECT_EQ(g_app.settings.notif_style, 0) << text;
    }
    Receive("{\"notif_style\":2}");
    EXPECT_EQ(g_app.settings.notif_style, 2);
}

TEST(SettingsRecord, AVolumeRebuildsTheSoundsAfterStoppingTheOneThatPlays)
{
    ResetAccountAreas();
    BuildClickSounds();
    const int before = PeakOfTick();
#ifndef _WIN32
    TakeRecordedSounds();
#endif
    Receive("{\"snd_vol_pct\":250}");
    EXPECT_FLOAT_EQ(g_app.settings.snd_vol_pct, 1.0f);
    EXPECT_NEAR(PeakOfTick() * 0.55, before, 2.0);
#ifndef _WIN32
    const auto played = TakeRecordedSounds();
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0].image, nullptr); // a stop, not a sound
#endif

    // Without the volume nothing is rebuilt or stopped.
    const uint8_t* tick = SoundTick.data();
    Receive("{\"hint\":false}");
    EXPECT_EQ(SoundTick.data(), tick);
#ifndef _WIN32
    EXPECT_TRUE(TakeRecordedSounds().empty());
#endif
}

TEST(SettingsRecord, EmptyPartialOrMalformedRecordsChangeOnlyWhatCanBeRead)
{
    ResetAccountAreas();
    g_app.settings.hint = false;
    Receive("");
    EXPECT_FALSE(g_app.settings.hint);
    EXPECT_FALSE(g_app.flags.settings_arrived.load());

    Receive("{\"hint\":true,\"conn\":maybe,\"snd_vol_pct\":\"80\",\"btn_scale_pct\":140");
    EXPECT_TRUE(g_app.settings.hint);
    EXPECT_TRUE(g_app.settings.conn);
    EXPECT_FLOAT_EQ(g_app.settings.snd_vol_pct, 0.55f);
    EXPECT_FLOAT_EQ(g_app.settings.btn_scale_pct, 1.4f);
}

TEST(SettingsRecord, ItsOwnTextComesBackAsTheSameRecord)
{
    ResetAccountAreas();
    SettingsRecord& s = g_app.settings;
    s.btn_alpha_pct = 0.37f;
    s.btn_scale_pct = 0.8f;
    s.toggle_vk = 0x24;
    s.hint = false;
    s.notif_en = false;
    s.notif_scale_pct = 1.25f;
    s.notif_alpha_pct = 0.65f;
    s.notif_style = 1;
    s.conn = false;
    s.snd_en = false;
    s.snd_vol_pct = 0.1f;
    const SettingsRecord sent = s;
    const std::string text = BuildSettingsJson();
    s = SettingsRecord{};
    Receive(text);
    EXPECT_FLOAT_EQ(s.btn_alpha_pct, sent.btn_alpha_pct);
    EXPECT_FLOAT_EQ(s.btn_scale_pct, sent.btn_scale_pct);
    EXPECT_EQ(s.toggle_vk, sent.toggle_vk);
    EXPECT_EQ(s.hint, sent.hint);
    EXPECT_EQ(s.notif_en, sent.notif_en);
    EXPECT_FLOAT_EQ(s.notif_scale_pct, sent.notif_scale_pct);
    EXPECT_FLOAT_EQ(s.notif_alpha_pct, sent.notif_alpha_pct);
    EXPECT_EQ(s.notif_style, sent.notif_style);
    EXPECT_EQ(s.conn, sent.conn);
    EXPECT_EQ(s.snd_en, sent.snd_en);
    EXPECT_FLOAT_EQ(s.snd_vol_pct, sent.snd_vol_pct);
}
