#include "log/log.h"

#include <chrono>
#include <ctime>
#include <unistd.h>

static int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void LogLine(LogLevel level, const std::string& text)
{
    const int64_t ms = WallMs();
    const time_t seconds = (time_t)(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[40];
    const size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(stamp + n, sizeof(stamp) - n, ".%03dZ", (int)(ms % 1000));
    std::string line = stamp;
    line += level == LogLevel::Info ? " info " : level == LogLevel::Warn ? " warn " : " error ";
    for (char c : text) // one event, one line
        line += c == '\n' || c == '\r' ? ' ' : c;
    line += '\n';
    size_t at = 0;
    while (at < line.size()) {
        const ssize_t w = write(2, line.data() + at, line.size() - at);
        if (w <= 0)
            break;
        at += (size_t)w;
    }
}

void LogInfo(const std::string& text)
{
    LogLine(LogLevel::Info, text);
}

void LogWarn(const std::string& text)
{
    LogLine(LogLevel::Warn, text);
}

void LogError(const std::string& text)
{
    LogLine(LogLevel::Error, text);
}

void LogLimited(LogLimit& limit, LogLevel level, const std::string& text)
{
    const int64_t now = WallMs();
    uint64_t held = 0;
    {
        std::lock_guard<std::mutex> g(limit.lock);
        if (limit.last_ms != 0 && now - limit.last_ms < (int64_t)limit.every_s * 1000) {
            limit.held++;
            return;
        }
        held = limit.held;
        limit.held = 0;
        limit.last_ms = now;
    }
    LogLine(level, held ? text + " (" + std::to_string(held) + " more like it since the last such line)" : text);
}

std::string WithoutPassword(const std::string& uri)
{
    std::string out = uri;
    const size_t scheme = out.find("://");
    if (scheme != std::string::npos) {
        const size_t start = scheme + 3;
        const size_t at = out.find('@', start);
        const size_t slash = out.find('/', start);
        if (at != std::string::npos && (slash == std::string::npos || at < slash)) {
            const size_t colon = out.find(':', start);
            if (colon != std::string::npos && colon < at)
                out = out.substr(0, colon) + ":***" + out.substr(at);
        }
    }
    const size_t p = out.find("password=");
    if (p != std::string::npos) {
        const size_t end = out.find('&', p);
        out = out.substr(0, p) + "password=***" + (end == std::string::npos ? std::string() : out.substr(end));
    }
    return out;
}

static std::mutex g_fault_lock;
static std::string g_fault;

void NoteStoreFault(const std::string& reason)
{
    std::lock_guard<std::mutex> g(g_fault_lock);
    g_fault = reason;
}

std::string LastStoreFault()
{
    std::lock_guard<std::mutex> g(g_fault_lock);
    return g_fault;
}
