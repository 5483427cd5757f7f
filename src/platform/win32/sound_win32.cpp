// In-memory WAV playback through the multimedia PlaySound call, and the shell open.
#include "platform/platform.h"

#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

void PlayWavImage(const uint8_t* image)
{
    if (image)
        PlaySoundA(reinterpret_cast<LPCSTR>(image), nullptr, SND_ASYNC | SND_NODEFAULT | SND_MEMORY);
    else
        PlaySoundA(nullptr, nullptr, 0);
}

void OpenWebPage(const char* url)
{
    ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWNORMAL);
}
