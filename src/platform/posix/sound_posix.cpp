// Linux has no PlaySound: every call is recorded for tests to read.
#include "platform/platform.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex g_lock;
std::vector<RecordedSound> g_played;

} // namespace

void PlayWavImage(const uint8_t* image)
{
    RecordedSound sound;
    sound.image = image;
    if (image) {
        uint32_t riff_size = 0;
        memcpy(&riff_size, image + 4, 4); // little-endian, as the host is
        sound.size = (size_t)riff_size + 8;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    g_played.push_back(sound);
}

std::vector<RecordedSound> TakeRecordedSounds()
{
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<RecordedSound> out;
    out.swap(g_played);
    return out;
}
