// The three click sounds: short tones synthesised in memory as complete WAV
// images and played asynchronously. Render thread.
#pragma once

#include <cstdint>
#include <vector>

// The WAV images; empty until the first BuildClickSounds. PlayWavImage reads
// them while they play, so stop the sound before rebuilding.
extern std::vector<uint8_t> SoundTick;    // 1500 -> 1300 Hz, 26 ms
extern std::vector<uint8_t> SoundConfirm; // 720 Hz 55 ms, then 1080 -> 1140 Hz 70 ms
extern std::vector<uint8_t> SoundBack;    // 620 -> 460 Hz, 95 ms

// Appends one tone of signed 16-bit samples at 44100 Hz: a frequency sweep
// with a 4 % attack, a 15 % release and an exponential decay of constant
// `decay`, peak `amplitude` (a fraction of full scale).
void SynthTone(std::vector<int16_t>& samples, double f_start, double f_end, int duration_ms, double amplitude,
               double decay);

// A mono 16-bit 44100 Hz RIFF/WAVE image of the samples (44-byte header).
std::vector<uint8_t> MakeWav(const std::vector<int16_t>& samples);

// Synthesises the three images at the current volume, replacing the old ones.
void BuildClickSounds();

// Plays one image when click sounds are on, the volume is above 0 and the
// image is not empty; a new sound cuts off the one still playing.
void PlayClickSound(const std::vector<uint8_t>& sound);

// Other threads (the room heartbeat) do not touch the buffers or the sound
// settings, which belong to the render thread: they ask, and the overlay
// plays the request on its next frame (the newest request wins).
enum ClickSoundKind : int32_t { ClickNone = 0, ClickTick = 1, ClickConfirm = 2, ClickBack = 3 };
void RequestClickSound(ClickSoundKind kind);
void PlayRequestedClickSound(); // render thread
