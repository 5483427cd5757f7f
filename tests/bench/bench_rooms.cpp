// Room figures (run inside tests/netns-run): the time from the second "Ready
// Up" to both links running, through the real service and kestrel-partner;
// and the requests a client idle in a lobby sends per minute.
#include "backend/lobby_chat.h"
#include "backend/messages.h"
#include "backend/ready.h"
#include "backend/rooms.h"
#include "mini_http_server.h"
#include "raw_peer.h"
#include "service_process.h"
#include "state/app_state.h"
#include "state/config.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

template <class Pred>
static bool Frames(Pred pred, std::chrono::milliseconds limit)
{
    const auto until = Clock::now() + limit;
    double timer = -100;
    while (Clock::now() < until) {
        LinkStartStep();
        ChatPollTimerStep(std::chrono::duration<double>(Clock::now().time_since_epoch()).count(), timer);
        if (pred())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// `old`: both sides keep the 3 s heartbeat while ready (before the quick
// ready beat), measured in the same run for comparison.
static void ReadyToLinked(const std::string& root, int runs, bool old)
{
    SetFastReadyHeartbeat(!old);
    ServiceProcess service;
    if (!StartService(service)) {
        printf("service did not start: %s\n", service.output.c_str());
        return;
    }
    std::vector<double> seconds;
    for (int run = 0; run < runs; run++) {
        StartRoomOp({.mode = RoomOpQuickmatch});
        Frames([] { return g_app.flags.room_state.load() == RoomIn; }, 5000ms);
        const std::string log = root + "/b" + std::to_string(run) + (old ? "-old" : "") + ".log";
        std::vector<std::string> args = {BuiltProgram("tools/kestrel-partner"), "--quickmatch", "--ready", "--dir",
                                         root + "/b" + std::to_string(run)};
        if (old)
            args.push_back("--old-timing");
        const pid_t b = StartProgram(args, log);
        // B readies as it arrives; A is the second to ready.
        Frames([] { return g_app.room.peer_ready.load(); }, 10000ms);
        // The partner learns "started" on its next heartbeat; spread the
        // second ready evenly over the 3 s beat so the figure is not a phase.
        Frames([] { return false; }, std::chrono::milliseconds(3000 * run / runs));
        const auto t0 = Clock::now();
        SetReady(true);
        const bool up = Frames(
            [&] { return g_app.flags.link_running.load() && ReadFileText(log).find("link up") != std::string::npos; },
            10000ms);
        if (up)
            seconds.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        if (getenv("KESTREL_BENCH_VERBOSE"))
            printf("run %d: %s\n%s\n", run, up ? "up" : "not up", ReadFileText(log).c_str());
        LeaveRoom();
        StopProgram(b);
        while (g_app.flags.link_running.load())
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(200ms);
    }
    StopService(service);
    std::sort(seconds.begin(), seconds.end());
    if (seconds.empty()) {
        printf("second ready to both links up: no run completed\n");
        return;
    }
    printf("second ready to both links up, %s, %zu runs: median %.2f s, min %.2f s, max %.2f s\n",
           old ? "3 s beat throughout (before)" : "0.5 s beat while ready", seconds.size(), seconds[seconds.size() / 2],
           seconds.front(), seconds.back());
    SetFastReadyHeartbeat(true);
}

static void IdleLobbyRequests(double window_s)
{
    MiniHttpServer* server = StartMiniHttpServer(kRoomPort);
    if (!server) {
        printf("port %d is taken\n", kRoomPort);
        return;
    }
    SetMiniHttpHandler(server, [](const MiniHttpRequest& req) {
        MiniHttpAnswer a;
        if (req.target == "/quickmatch")
            a.body = "{\"ok\":true,\"code\":\"IDLE1\",\"role\":\"A\"}";
        else if (req.target == "/heartbeat")
            a.body = "{\"ok\":true,\"my_ready\":false,\"peer_ready\":false,\"started\":false,\"peer\":\"Bob\"}";
        else
            a.body = "{\"ok\":true,\"messages\":[]}";
        return a;
    });
    // Signed in, the account port hears from the client too: the message
    // threads poll, whose reply also carries the room invites.
    MiniHttpServer* accounts = StartMiniHttpServer(kAccountPort);
    if (!accounts) {
        printf("port %d is taken\n", kAccountPort);
        StopMiniHttpServer(server);
        return;
    }
    SetMiniHttpHandler(accounts, [](const MiniHttpRequest&) {
        MiniHttpAnswer a;
        a.body = "{\"ok\":true,\"threads\":[],\"invites\":[]}";
        return a;
    });
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        g_app.account.token = "0123456789abcdef0123456789abcdef";
        g_app.account.gamertag = "Idle";
    }
    StartMessagePoller();
    StartRoomOp({.mode = RoomOpQuickmatch});
    Frames([] { return g_app.flags.room_state.load() == RoomIn; }, 5000ms);
    const size_t before = MiniHttpRequests(server).size(), before_accounts = MiniHttpRequests(accounts).size();
    Frames([] { return false; }, std::chrono::milliseconds((int)(window_s * 1000)));
    size_t beats = 0, polls = 0;
    const std::vector<MiniHttpRequest> all = MiniHttpRequests(server);
    for (size_t i = before; i < all.size(); i++)
        (all[i].target == "/heartbeat" ? beats : polls)++;
    const size_t account_requests = MiniHttpRequests(accounts).size() - before_accounts;
    printf("idle in a lobby for %.0f s: %.1f requests per minute to the room port (heartbeat %.1f, chat poll %.1f)\n",
           window_s, (beats + polls) * 60 / window_s, beats * 60 / window_s, polls * 60 / window_s);
    printf("signed in, idle in a lobby: %.1f requests per minute in all (account port %.1f: threads and invites)\n",
           (beats + polls + account_requests) * 60 / window_s, account_requests * 60 / window_s);
    StopMessagePoller();
    LeaveRoom();
    std::this_thread::sleep_for(300ms);
    StopMiniHttpServer(server);
    StopMiniHttpServer(accounts);
}

// "idle" or "ready": each part binds the room port, so each runs in a
// namespace of its own (see scripts/bench).
int main(int argc, char** argv)
{
    const std::string part = argc > 1 ? argv[1] : "ready";
    const std::string root = MakeTempDir("kestrel-room-bench");
    fs::create_directories(root + "/a/reframework/data");
    fs::current_path(root + "/a");
    if (part == "idle")
        IdleLobbyRequests(60);
    else
        for (bool old : {true, false})
            ReadyToLinked(root, getenv("KESTREL_BENCH_VERBOSE") ? 2 : 9, old);
    fs::current_path("/");
    fs::remove_all(root);
    return 0;
}
