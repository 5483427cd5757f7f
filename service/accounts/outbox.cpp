#include "accounts/outbox.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

bool WriteMail(const std::string& outbox_dir, const std::string& to, const std::string& subject,
               const std::string& body, std::string& path, const std::string& from)
{
    static std::atomic<unsigned> sequence{0};
    std::error_code ec;
    std::filesystem::create_directories(outbox_dir, ec);
    if (ec)
        return false;

    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long ms =
        (long long)std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    tm utc{};
    gmtime_r(&seconds, &utc);
    char date[64];
    strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S +0000", &utc);

    char name[64];
    snprintf(name, sizeof(name), "%013lld-%06u.eml", ms, sequence.fetch_add(1) % 1000000);
    path = outbox_dir + "/" + name;
    const std::string temp = outbox_dir + "/." + name + ".tmp";
    const std::string text = "From: Kestrel Multiplayer <" + from + ">\r\nTo: " + to + "\r\nSubject: " + subject +
                             "\r\nDate: " + date + "\r\nMessage-ID: <" + std::string(name).substr(0, strlen(name) - 4) + "@" +
                             from.substr(from.find('@') + 1) + ">" +
                             "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + body;
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    if (fclose(f) != 0 || !written || rename(temp.c_str(), path.c_str()) != 0) {
        remove(temp.c_str());
        return false;
    }
    return true;
}
