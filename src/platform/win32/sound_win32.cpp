// In-memory WAV playback through the multimedia PlaySound call.
#include "platform/platform.h"

#include <windows.h>
#include <mmsystem.h>

void PlayWavImage(const uint8_t* image)
{
    if (image)
        PlaySoundA(reinterpret_cast<LPCSTR>(image), nullptr, SND_ASYNC | SND_NODEFAULT | SND_MEMORY);
    else
        PlaySoundA(nullptr, nullptr, 0);
}
