#include "backend/click_sounds.h"

#include "platform/platform.h"
#include "state/app_state.h"

#include <cmath>

std::vector<uint8_t> SoundTick;
std::vector<uint8_t> SoundConfirm;
std::vector<uint8_t> SoundBack;

namespace {

constexpr int kRate = 44100;

void Put16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back((uint8_t)(v & 0xFF));
    out.push_back((uint8_t)((v >> 8) & 0xFF));
}

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

void PutTag(std::vector<uint8_t>& out, const char* tag)
{
    for (int i = 0; i < 4; i++)
        out.push_back((uint8_t)tag[i]);
}

} // namespace

void SynthTone(std::vector<int16_t>& samples, double f_start, double f_end, int duration_ms, double amplitude,
               double decay)
{
    const int n = duration_ms * kRate / 1000;
    if (n < 1)
        return;
    const double two_pi = 6.283185307179586476925286766559;
    double phase = 0.0;
    for (int i = 0; i < n; i++) {
        const double t = n == 1 ? 0.0 : (double)i / (double)(n - 1);
        const double f = f_start + (f_end - f_start) * t;
        phase += two_pi * f / kRate; // advances before the sample: the first uses one step
        const double attack = t < 0.04 ? t / 0.04 : 1.0;
        const double release = t > 0.85 ? (1.0 - t) / 0.15 : 1.0;
        double value = std::exp(-decay * t) * attack * release * std::sin(phase) * amplitude * 32767.0;
        // -32768 is never produced, so the waveform stays symmetric.
        if (value > 32767.0)
            value = 32767.0;
        if (value < -32767.0)
            value = -32767.0;
        samples.push_back((int16_t)value);
    }
}

std::vector<uint8_t> MakeWav(const std::vector<int16_t>& samples)
{
    const uint32_t data_size = (uint32_t)(samples.size() * 2);
    std::vector<uint8_t> out;
    out.reserve(44 + data_size);
    PutTag(out, "RIFF");
    Put32(out, 36 + data_size);
    PutTag(out, "WAVE");
    PutTag(out, "fmt ");
    Put32(out, 16);
    Put16(out, 1);     // PCM
    Put16(out, 1);     // mono
    Put32(out, kRate);
    Put32(out, kRate * 2);
    Put16(out, 2);     // block align
    Put16(out, 16);    // bits per sample
    PutTag(out, "data");
    Put32(out, data_size);
    for (int16_t s : samples)
        Put16(out, (uint16_t)s);
    return out;
}

void BuildClickSounds()
{
    const double v = g_app.settings.snd_vol_pct;
    std::vector<int16_t> tick;
    SynthTone(tick, 1500, 1300, 26, 0.22 * v, 5.0);
    SoundTick = MakeWav(tick);

    std::vector<int16_t> confirm;
    SynthTone(confirm, 720, 720, 55, 0.2 * v, 2.2);
    SynthTone(confirm, 1080, 1140, 70, 0.2 * v, 2.4);
    SoundConfirm = MakeWav(confirm);

    std::vector<int16_t> back;
    SynthTone(back, 620, 460, 95, 0.18 * v, 2.6);
    SoundBack = MakeWav(back);
}

void PlayClickSound(const std::vector<uint8_t>& sound)
{
    if (!g_app.settings.snd_en || !(g_app.settings.snd_vol_pct > 0.0f) || sound.empty())
        return;
    PlayWavImage(sound.data());
}

void RequestClickSound(ClickSoundKind kind)
{
    g_app.flags.sound_request.store(kind);
}

void PlayRequestedClickSound()
{
    switch (g_app.flags.sound_request.exchange(ClickNone)) {
    case ClickTick: PlayClickSound(SoundTick); break;
    case ClickConfirm: PlayClickSound(SoundConfirm); break;
    case ClickBack: PlayClickSound(SoundBack); break;
    default: break;
    }
}
