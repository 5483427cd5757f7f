// The click sounds: WAV images, tone shape, volume, and when they play.
#include "app_reset.h"
#include "backend/click_sounds.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

uint32_t U32(const std::vector<uint8_t>& b, size_t at)
{
    return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

uint16_t U16(const std::vector<uint8_t>& b, size_t at)
{
    return (uint16_t)(b[at] | b[at + 1] << 8);
}

std::vector<int16_t> Samples(const std::vector<uint8_t>& wav)
{
    std::vector<int16_t> out;
    for (size_t at = 44; at + 1 < wav.size(); at += 2)
        out.push_back((int16_t)U16(wav, at));
    return out;
}

int Peak(const std::vector<int16_t>& s)
{
    int peak = 0;
    for (int16_t v : s)
        peak = std::max(peak, std::abs((int)v));
    return peak;
}

void BuildAt(float volume)
{
    g_app.settings.snd_vol_pct = volume;
    BuildClickSounds();
}

} // namespace

TEST(ClickSounds, ImagesHaveTheirSizesAndAPlainPcmHeader)
{
    ResetAccountAreas();
    BuildClickSounds();
    EXPECT_EQ(SoundTick.size(), 2336u);
    EXPECT_EQ(SoundConfirm.size(), 11068u);
    EXPECT_EQ(SoundBack.size(), 8422u);
    for (const auto* wav : {&SoundTick, &SoundConfirm, &SoundBack}) {
        const std::vector<uint8_t>& w = *wav;
        EXPECT_EQ(memcmp(w.data(), "RIFF", 4), 0);
        EXPECT_EQ(U32(w, 4), w.size() - 8);
        EXPECT_EQ(memcmp(w.data() + 8, "WAVEfmt ", 8), 0);
        EXPECT_EQ(U32(w, 16), 16u);
        EXPECT_EQ(U16(w, 20), 1);     // PCM
        EXPECT_EQ(U16(w, 22), 1);     // mono
        EXPECT_EQ(U32(w, 24), 44100u);
        EXPECT_EQ(U32(w, 28), 88200u);
        EXPECT_EQ(U16(w, 32), 2);
        EXPECT_EQ(U16(w, 34), 16);
        EXPECT_EQ(memcmp(w.data() + 36, "data", 4), 0);
        EXPECT_EQ(U32(w, 40), w.size() - 44);
    }
}

TEST(ClickSounds, EveryToneStartsAndEndsAtZeroAndNeverReachesMinus32768)
{
    ResetAccountAreas();
    BuildAt(1.0f);
    const auto tick = Samples(SoundTick), confirm = Samples(SoundConfirm), back = Samples(SoundBack);
    ASSERT_EQ(confirm.size(), 2425u + 3087u);
    // Tone starts: the tick, both notes of the confirm sound, the back sound.
    EXPECT_EQ(tick[0], 0);
    EXPECT_EQ(confirm[0], 0);
    EXPECT_EQ(confirm[2425], 0);
    EXPECT_EQ(back[0], 0);
    // The release closes every tone at zero.
    EXPECT_EQ(tick.back(), 0);
    EXPECT_EQ(confirm[2424], 0);
    EXPECT_EQ(back.back(), 0);
    for (const auto* s : {&tick, &confirm, &back})
        for (int16_t v : *s)
            ASSERT_NE(v, -32768);

    // Even a tone driven far past full scale is clipped symmetrically.
    std::vector<int16_t> loud;
    SynthTone(loud, 440, 440, 50, 4.0, 0.0);
    EXPECT_EQ(*std::min_element(loud.begin(), loud.end()), -32767);
    EXPECT_EQ(*std::max_element(loud.begin(), loud.end()), 32767);
}

TEST(ClickSounds, ToneLengthAndPitchFollowTheArguments)
{
    std::vector<int16_t> s;
    SynthTone(s, 620, 460, 95, 0.5, 0.0);
    ASSERT_EQ(s.size(), 4189u);
    // A sweep from 620 to 460 Hz averages 540 Hz: about 2 x 540 x 0.095 sign changes.
    int crossings = 0;
    for (size_t i = 1; i < s.size(); i++)
        if ((s[i - 1] < 0) != (s[i] < 0) && s[i - 1] != 0 && s[i] != 0)
            crossings++;
    EXPECT_NEAR(crossings, 102.6, 3.0);

    std::vector<int16_t> none;
    SynthTone(none, 1000, 1000, 0, 1.0, 1.0);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(MakeWav(none).size(), 44u);
}

TEST(ClickSounds, PeakScalesWithTheVolumeAndZeroIsSilence)
{
    ResetAccountAreas();
    BuildAt(1.0f);
    const int full_tick = Peak(Samples(SoundTick)), full_back = Peak(Samples(SoundBack));
    BuildAt(0.5f);
    EXPECT_NEAR(Peak(Samples(SoundTick)) * 2, full_tick, 2);
    EXPECT_NEAR(Peak(Samples(SoundBack)) * 2, full_back, 2);
    // The envelope peaks where the attack ends: e^(-5 x 0.04) of 0.22 of full scale.
    EXPECT_LE(full_tick, 0.22 * 32767 * std::exp(-0.2) + 1);
    EXPECT_GT(full_tick, 0.95 * 0.22 * 32767 * std::exp(-0.2));
    BuildAt(0.0f);
    EXPECT_EQ(Peak(Samples(SoundTick)), 0);
    EXPECT_EQ(Peak(Samples(SoundConfirm)), 0);
    EXPECT_EQ(SoundTick.size(), 2336u);
}

#ifndef _WIN32
TEST(ClickSounds, PlaysOnlyWhenEnabledAudibleAndBuilt)
{
    ResetAccountAreas();
    TakeRecordedSounds();
    BuildClickSounds();
    PlayClickSound(SoundConfirm);
    auto played = TakeRecordedSounds();
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0].image, SoundConfirm.data());
    EXPECT_EQ(played[0].size, SoundConfirm.size());

    g_app.settings.snd_en = false;
    PlayClickSound(SoundTick);
    g_app.settings.snd_en = true;
    g_app.settings.snd_vol_pct = 0.0f;
    PlayClickSound(SoundTick);
    g_app.settings.snd_vol_pct = 0.55f;
    const std::vector<uint8_t> empty;
    PlayClickSound(empty);
    EXPECT_TRUE(TakeRecordedSounds().empty());
}
#endif
