// One busy channel file written at a fixed rate (or as fast as possible), in
// place and closed each time as the scripts do, or through a handle kept open
// and rewritten in place; the partner's copy watched meanwhile. For the link
// benchmarks on Linux and under Wine.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

struct WriterRateResult
{
    int writes = 0;
    double versions_per_s = 0; // distinct versions seen at the partner while writing
    double p50_ms = 0, p99_ms = 0; // a write until it or a newer one shows at the partner
    int torn = 0;              // partner contents that were no version written
    int never = 0;             // writes never seen (nor a newer one) within 2 s
    int refused = 0;           // the writer's opens that failed
    // The longest a write finished after it was due (flat out: after the one
    // before it) and the longest the watcher went between two looks: a p99
    // near either is a stall of the writer or of the harness, not the link's.
    double writer_late_ms = 0, watcher_gap_ms = 0;
};

inline std::string RateVersion(int v)
{
    std::string s = "{\"v\":" + std::to_string(v) + ",\"p\":\"";
    s.resize(1000 - 2, (char)('a' + v % 26));
    return s + "\"}";
}

inline int RateVersionOf(const std::string& s)
{
    if (s.compare(0, 5, "{\"v\":") != 0)
        return -1;
    const int v = atoi(s.c_str() + 5);
    return s == RateVersion(v) ? v : -1;
}

inline std::string ReadWhole(const std::string& path)
{
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// `hz` 0: as fast as possible. `first` numbers the versions, so runs differ.
inline WriterRateResult MeasureWriterRate(const std::string& own, const std::string& partner, double hz, bool hold_open,
                                          double seconds, int first)
{
    using Clock = std::chrono::steady_clock;
    WriterRateResult r;
    std::vector<Clock::time_point> written; // index: version - first
    std::vector<Clock::time_point> seen;    // first time the partner showed >= version
    const int most = (int)(seconds * 6000) + 10;
    written.resize((size_t)most);
    std::vector<char> have((size_t)most, 0);
    seen.resize((size_t)most);
    std::atomic<int> last_written{first - 1};
    std::atomic<bool> stop{false};
    int newest_seen = first - 1, torn = 0;
    std::atomic<int> distinct{0}; // read while the writer still writes
    // What the partner's copy held before (an earlier run's) is no version of this one.
    const std::string before = ReadWhole(partner);
    double watcher_gap_ms = 0, writer_late_ms = 0;
    std::thread watcher([&] {
        std::string last = before;
        Clock::time_point looked = Clock::now();
        while (!stop.load()) {
            const Clock::time_point now = Clock::now();
            watcher_gap_ms = std::max(watcher_gap_ms, std::chrono::duration<double, std::milli>(now - looked).count());
            looked = now;
            const std::string s = ReadWhole(partner);
            if (!s.empty() && s != last) {
                last = s;
                const int v = RateVersionOf(s);
                if (v < 0) {
                    torn++;
                } else if (v > newest_seen && v - first < most) {
                    const Clock::time_point now = Clock::now();
                    if (v <= last_written.load())
                        distinct++;
                    for (int k = std::max(newest_seen + 1, first); k <= v; k++)
                        if (!have[(size_t)(k - first)]) {
                            have[(size_t)(k - first)] = 1;
                            seen[(size_t)(k - first)] = now;
                        }
                    newest_seen = v;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    FILE* held = hold_open ? fopen(own.c_str(), "wb") : nullptr;
    const Clock::time_point t0 = Clock::now();
    Clock::time_point due = t0;
    int v = first;
    for (; Clock::now() - t0 < std::chrono::duration<double>(seconds) && v - first < most; v++) {
        const std::string content = RateVersion(v);
        written[(size_t)(v - first)] = Clock::now();
        if (held) {
            fseek(held, 0, SEEK_SET);
            fwrite(content.data(), 1, content.size(), held);
            fflush(held);
        } else {
#ifdef _WIN32
            // As a script of the game does: shares reading only, truncates.
            HANDLE f = CreateFileA(own.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD n = 0;
            if (f == INVALID_HANDLE_VALUE)
                r.refused++;
            else if (!WriteFile(f, content.data(), (DWORD)content.size(), &n, nullptr) || n != content.size())
                r.refused++;
            if (f != INVALID_HANDLE_VALUE)
                CloseHandle(f);
#else
            FILE* f = fopen(own.c_str(), "wb");
            if (!f)
                r.refused++;
            else {
                fwrite(content.data(), 1, content.size(), f);
                fclose(f);
            }
#endif
        }
        last_written.store(v);
        const Clock::time_point done = Clock::now();
        writer_late_ms = std::max(writer_late_ms, std::chrono::duration<double, std::milli>(done - due).count());
        due = done;
        if (hz > 0) {
            due = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>((v - first + 1) / hz));
            std::this_thread::sleep_until(due);
        }
    }
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    const int distinct_while_writing = distinct.load();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop.store(true);
    watcher.join();
    if (held)
        fclose(held);
    r.writes = v - first;
    r.versions_per_s = distinct_while_writing / took;
    r.torn = torn;
    r.writer_late_ms = writer_late_ms;
    r.watcher_gap_ms = watcher_gap_ms;
    std::vector<double> ms;
    for (int k = 0; k < r.writes; k++) {
        if (!have[(size_t)k]) {
            r.never++;
            continue;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(seen[(size_t)k] - written[(size_t)k]).count());
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        r.p50_ms = ms[ms.size() / 2];
        r.p99_ms = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    }
    return r;
}

inline void PrintWriterRate(const char* how, double hz, bool hold_open, const WriterRateResult& r)
{
    char rate[32];
    if (hz > 0)
        snprintf(rate, sizeof(rate), "%3.0f Hz", hz);
    else
        snprintf(rate, sizeof(rate), "flat out");
    printf("busy file %s, %s, %s: %d writes, %.1f new versions/s at the partner while writing, visible p50 %.1f ms "
           "p99 %.1f ms, %d never, %d torn, %d opens refused; writer late up to %.1f ms, watcher gap up to %.1f ms\n",
           how, rate, hold_open ? "held open" : "closed each time", r.writes, r.versions_per_s, r.p50_ms, r.p99_ms,
           r.never, r.torn, r.refused, r.writer_late_ms, r.watcher_gap_ms);
    fflush(stdout);
}
