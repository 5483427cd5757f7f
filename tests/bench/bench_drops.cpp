// Drop figures (run inside tests/netns-run), through the real service with
// kestrel-partner as both players:
//   blackout  the time from the end of a 20 s freeze of the joiner (SIGSTOP,
//             SIGCONT) to the host's file, changed during the freeze, written
//             in the joiner's folder;
//   restart   the time from starting a killed joiner again with --rejoin (its
//             one operation) to its link up, and to the host's latest file in
//             its folder.
#include "raw_peer.h"
#include "service_process.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::string g_root;

pid_t Partner(const std::string& tag, std::vector<std::string> args, int run)
{
    args.insert(args.begin(), BuiltProgram("tools/kestrel-partner"));
    args.insert(args.end(), {"--dir", g_root + "/" + tag});
    return StartProgram(args, g_root + "/" + tag + "-" + std::to_string(run) + ".log");
}

std::string Log(const std::string& tag, int run)
{
    return ReadFileText(g_root + "/" + tag + "-" + std::to_string(run) + ".log");
}

template <class Pred>
bool Until(Pred pred, std::chrono::milliseconds limit, std::chrono::microseconds step = 1000us)
{
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
        if (pred())
            return true;
        std::this_thread::sleep_for(step);
    }
    return pred();
}

std::string Data(const std::string& tag, const std::string& name)
{
    return g_root + "/" + tag + "/reframework/data/" + name;
}

void Report(const char* what, std::vector<double> s, int runs)
{
    if (s.empty()) {
        printf("%s: no run completed\n", what);
        return;
    }
    std::sort(s.begin(), s.end());
    printf("%s, %zu of %d runs: median %.3f s, min %.3f s, max %.3f s\n", what, s.size(), runs, s[s.size() / 2],
           s.front(), s.back());
    fflush(stdout);
}

// A host and a joiner, both ready, both links up; the joiner's pid, or -1.
pid_t Pair(pid_t& host)
{
    host = Partner("host", {"--create", "Bench room", "--ready"}, 0);
    std::string code;
    Until([&] {
        const std::string log = Log("host", 0);
        const size_t at = log.find("room: ");
        if (at == std::string::npos)
            return false;
        code = log.substr(at + 6, log.find(',', at) - at - 6);
        return true;
    }, 10000ms, 10ms);
    const pid_t joiner = Partner("joiner", {"--join", code, "--ready"}, 0);
    const bool up = Until([&] { return Log("host", 0).find("link up") != std::string::npos &&
                                       Log("joiner", 0).find("link up") != std::string::npos; },
                          15000ms, 10ms);
    return up ? joiner : -1;
}

void Blackouts(int runs)
{
    pid_t host = -1;
    const pid_t joiner = Pair(host);
    if (joiner < 0) {
        printf("blackout: no link\n%s\n", Log("joiner", 0).c_str());
        return;
    }
    std::vector<double> seconds;
    for (int run = 0; run < runs; run++) {
        kill(joiner, SIGSTOP);
        const auto frozen = Clock::now();
        // Written after the relay let the frozen address go (15 s): its three
        // sends are lost, and only the resend on return can carry it.
        std::this_thread::sleep_until(frozen + 17s);
        const std::string text = "{\"flags\":" + std::to_string(1000 + run) + "}";
        WriteFileText(Data("host", "Kestrel_Flags_A.json"), text);
        std::this_thread::sleep_until(frozen + 20s);
        kill(joiner, SIGCONT);
        const auto end = Clock::now();
        if (Until([&] { return ReadFileText(Data("joiner", "Kestrel_Flags_A.json")) == text; }, 10000ms))
            seconds.push_back(std::chrono::duration<double>(Clock::now() - end).count());
        else
            printf("run %d: not arrived\n--- host\n%s--- joiner\n%s", run, Log("host", 0).c_str(), Log("joiner", 0).c_str());
        std::this_thread::sleep_for(4s); // the partner seen back on both sides
    }
    Report("end of a 20 s blackout to the partner's file written", seconds, runs);
    StopProgram(joiner);
    StopProgram(host);
}

void Restarts(int runs)
{
    pid_t host = -1;
    pid_t joiner = Pair(host);
    if (joiner < 0) {
        printf("restart: no link\n");
        return;
    }
    std::vector<double> linked, caught_up;
    for (int run = 1; run <= runs; run++) {
        kill(joiner, SIGKILL);
        waitpid(joiner, nullptr, 0);
        const std::string text = "{\"packet\":" + std::to_string(run) + "}";
        WriteFileText(Data("host", "Kestrel_Packet_A.json"), text);
        std::this_thread::sleep_for(2s); // the game takes a moment to come back
        const auto click = Clock::now();
        joiner = Partner("joiner", {"--rejoin"}, run);
        bool up = false, arrived = false;
        Until([&] {
            if (!up && Log("joiner", run).find("link up") != std::string::npos) {
                up = true;
                linked.push_back(std::chrono::duration<double>(Clock::now() - click).count());
            }
            if (!arrived && ReadFileText(Data("joiner", "Kestrel_Packet_A.json")) == text) {
                arrived = true;
                caught_up.push_back(std::chrono::duration<double>(Clock::now() - click).count());
            }
            return up && arrived;
        }, 15000ms);
        if (!up)
            printf("run %d: no link\n%s\n", run, Log("joiner", run).c_str());
    }
    Report("restart with --rejoin to the link up", linked, runs);
    Report("restart with --rejoin to the partner's latest file written", caught_up, runs);
    StopProgram(joiner);
    StopProgram(host);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "all";
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 9;
    g_root = MakeTempDir("kestrel-drop-bench");
    ServiceProcess service;
    if (!StartService(service)) {
        printf("service did not start: %s\n", service.output.c_str());
        return 1;
    }
    if (what == "all" || what == "blackout")
        Blackouts(runs);
    if (what == "all" || what == "restart")
        Restarts(runs);
    StopService(service);
    std::error_code ec;
    fs::remove_all(g_root, ec);
    return 0;
}
