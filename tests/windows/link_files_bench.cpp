// File propagation A -> B for the Windows build under Wine: this process runs
// the link as A beside the Linux relay and partner that tests/windows/with-relay
// starts, writes its Packet file as the scripts do and times until the
// partner's folder holds the same bytes.
#include "link/peer_link.h"
#include "raw_peer.h"
#include "state/app_state.h"
#include "writer_rates.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

static double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, (size_t)(p * v.size()))];
}

static std::string Version(size_t size, int v)
{
    std::string s = "{\"v\":" + std::to_string(v) + ",\"p\":\"";
    s.resize(size - 2, 'x');
    return s + "\"}";
}

// One pass: `scan_only` runs the 1/30 s scan alone, as before change notices.
static void Propagation(const std::string& target, bool scan_only)
{
    SetLinkFileWatch(!scan_only);
    StartPeerLink(1, "R1");
    std::this_thread::sleep_for(1500ms);
    std::vector<double> ms;
    for (int v = 1; v <= 200; v++) {
        const std::string content = Version(600, v + (scan_only ? 1000 : 0));
        const auto t0 = Clock::now();
        FILE* f = fopen("reframework/data/Kestrel_Packet_A.json", "wb"); // in place, whole, closed
        if (f) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
        // Polled gently: every read of the partner's folder goes through Wine.
        while (ReadFileText(target) != content && Clock::now() - t0 < 2s)
            std::this_thread::sleep_for(1ms);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + v % 17));
    }
    printf("propagation A->B, Windows build under Wine, %s (600 B file, %zu writes): median %.1f ms, p99 %.1f ms, "
           "max %.1f ms\n",
           scan_only ? "scan only (before)" : "change notices", ms.size(), Percentile(ms, 0.5), Percentile(ms, 0.99),
           Percentile(ms, 1.0));
    fflush(stdout);
    StopPeerLink();
    for (int i = 0; i < 300 && g_app.flags.link_running.load(); i++)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(1500ms); // the relay lets a new registration take over after 1 s of silence
}

int main()
{
    const char* partner_dir = getenv("KESTREL_PARTNER_DIR");
    if (!partner_dir) {
        printf("run through tests/windows/with-relay\n");
        return 1;
    }
    const fs::path root = fs::temp_directory_path() / "kestrel-link-win-bench";
    fs::create_directories(root / "reframework" / "data");
    fs::current_path(root);
    const std::string target = std::string(partner_dir) + "/reframework/data/Kestrel_Packet_A.json";
    Propagation(target, true);
    Propagation(target, false);
    // One busy file at 60, 144, 240 Hz and flat out, closed each time and held open.
    StartPeerLink(1, "R1");
    std::this_thread::sleep_for(2500ms);
    int first = 1;
    for (bool hold : {false, true})
        for (double hz : {60.0, 144.0, 240.0, 0.0}) {
            const WriterRateResult r =
                MeasureWriterRate("reframework/data/Kestrel_Joints_A.json",
                                  std::string(partner_dir) + "/reframework/data/Kestrel_Joints_A.json", hz, hold, 4.0, first);
            first += r.writes + 10;
            PrintWriterRate("Windows build under Wine", hz, hold, r);
        }
    StopPeerLink();
    for (int i = 0; i < 300 && g_app.flags.link_running.load(); i++)
        std::this_thread::sleep_for(10ms);
    fs::current_path(fs::temp_directory_path());
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
