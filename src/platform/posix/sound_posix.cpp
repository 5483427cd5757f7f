// Linux has no PlaySound and no shell open: every call is recorded for tests to read.
#include "platform/platform.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex g_lock;
std::vector<RecordedSound> g_played;
std::vector<std::string> g_opened;
// A harness may run for hours without anyone taking what was recorded.
constexpr size_t kMaxRecorded = 4096;

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
    if (g_played.size() >= kMaxRecorded)
        g_played.erase(g_played.begin());
    g_played.push_back(sound);
}

std::vector<RecordedSound> TakeRecordedSounds()
{
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<RecordedSound> out;
    out.swap(g_played);
    return out;
}

void OpenWebPage(const char* url)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_opened.size() >= kMaxRecorded)
        g_opened.erase(g_opened.begin());
    g_opened.push_back(url ? url : "");
}

std::vector<std::string> TakeOpenedPages()
{
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::string> out;
    out.swap(g_opened);
    return out;
}
