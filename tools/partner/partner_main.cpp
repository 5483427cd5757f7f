// kestrel-partner: the client core without the overlay, for tests and for
// developing the game's scripts alone. One client per process (the client
// state is process-wide).
//
//   kestrel-partner link --role A|B --code CODE --dir DIR [--mirror] [--host ADDR] [--for SECONDS]
//   kestrel-partner [--guest | --user ...] (--quickmatch | --create NAME | --join CODE) [--ready] ...
//   either with --old-timing: the scan alone and the 3 s heartbeat (for comparisons)
//   either with --old-framing: the "FILE:" framing alone, never offering or
//   understanding the compact one, as older clients
//   either with --no-direct: ignores the relay's introduction and stays on the
//   relay, as clients of before the direct path
//   either with --no-resume: a client that does not ride out drops (no saved
//   room, no away partner, no files sent again on a return), as clients were
#include "backend/rooms.h"
#include "link/link_keys.h"
#include "link/link_seal.h"
#include "link/peer_link.h"
#include "state/config.h"
#include "partner_room.h"
#include "link/role_file.h"
#include "mirror.h"
#include "state/app_state.h"
#include "state/config.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

static volatile int g_stop = 0;

static void OnSignal(int)
{
    g_stop = 1;
}

struct LinkOptions
{
    char role = 0;
    std::string code;
    std::string dir;
    std::string host;
    bool mirror = false;
    double seconds = 0; // 0: until Ctrl-C
};

static int Usage(const char* why)
{
    if (why)
        fprintf(stderr, "kestrel-partner: %s\n", why);
    fputs("usage: kestrel-partner link --role A|B --code CODE --dir DIR [--mirror] [--host ADDR] [--for SECONDS]\n",
          stderr);
    fputs(kRoomUsage, stderr);
    fputs("either form takes --old-timing: channel files by the 1/30 s scan alone, the 3 s heartbeat throughout\n",
          stderr);
    fputs("link takes --seal-seeds OWN PARTNER: seals without a room, keys made from the two seed words\n", stderr);
    fputs("either form takes --keyless (an older client: no link key, no versions, a plain link), --sealed-only\n"
          "(no plain link) and --game-version V (the game build it reports)\n",
          stderr);
    fputs("either form takes --old-framing: the \"FILE:\" framing alone, as older clients (no acknowledged, compressed versions)\n",
          stderr);
    fputs("either form takes --no-direct: ignores the partner's address from the relay and stays on the relay\n", stderr);
    fputs("either form takes --no-resume: no saved room, no away partner, no files sent again when the partner returns\n",
          stderr);
    return 2;
}

static bool ParseLinkOptions(int argc, char** argv, LinkOptions& o, std::string& error)
{
    for (int i = 2; i < argc; i++) {
        const std::string flag = argv[i];
        if (flag == "--mirror") {
            o.mirror = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = "missing value after " + flag;
            return false;
        }
        const std::string value = argv[++i];
        if (flag == "--role" && (value == "A" || value == "B"))
            o.role = value[0];
        else if (flag == "--code")
            o.code = value;
        else if (flag == "--dir")
            o.dir = value;
        else if (flag == "--host")
            o.host = value;
        else if (flag == "--for" && atof(value.c_str()) > 0)
            o.seconds = atof(value.c_str());
        else {
            error = "bad option " + flag + " " + value;
            return false;
        }
    }
    if (!o.role || o.code.empty() || o.dir.empty()) {
        error = "--role, --code and --dir are required";
        return false;
    }
    uint32_t ip = 0;
    if (!o.host.empty() && !ParseIpv4(o.host.c_str(), ip)) {
        error = "--host takes an IPv4 address";
        return false;
    }
    return true;
}

static int RunLink(const LinkOptions& o)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(o.dir) / "reframework" / "data", ec);
    std::filesystem::current_path(o.dir, ec);
    if (ec) {
        fprintf(stderr, "kestrel-partner: cannot enter %s: %s\n", o.dir.c_str(), ec.message().c_str());
        return 1;
    }
    if (!o.host.empty())
        OverrideBackendHost(o.host);

    const uint32_t role = o.role == 'A' ? 1 : 2;
    printf("link: role %c, code %s, relay %s, folder %s%s\n", o.role, o.code.c_str(), BackendHost().c_str(),
           o.dir.c_str(), o.mirror ? ", mirroring" : "");
    fflush(stdout);

    RoleFileState role_file;
    MirrorState mirror;
    std::string relay_shown;
    const auto start = std::chrono::steady_clock::now();
    auto next_report = start + std::chrono::seconds(1);
    while (!g_stop) {
        const auto now = std::chrono::steady_clock::now();
        if (o.seconds > 0 && now - start >= std::chrono::duration<double>(o.seconds))
            break;
        if (!g_app.flags.link_running.load())
            StartPeerLink(role, o.code); // again if the socket could not start
        UpdateRoleFile(role_file, o.role, g_app.flags.link_running.load());
        SayRelayChange(relay_shown);
        if (o.mirror)
            MirrorPartnerFiles(mirror, role);
        if (now >= next_report) {
            next_report += std::chrono::seconds(1);
            const int rtt = LinkRttMs(), loss = LinkLossPercent();
            printf("rtt %s ms, loss %s %%\n", rtt < 0 ? "--" : std::to_string(rtt).c_str(),
                   loss < 0 ? "--" : std::to_string(loss).c_str());
            printf("%s\n", SyncHealthLine().c_str());
            fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    StopPeerLink();
    for (int i = 0; i < 300 && g_app.flags.link_running.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    UpdateRoleFile(role_file, 0, false);
    printf("link: stopped\n");
    return 0;
}

int main(int argc, char** argv)
{
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // --old-timing, anywhere: the 1/30 s scan alone and the 3 s heartbeat
    // throughout, as before change notices and the quick ready beat (the
    // benchmarks measure both ways in one run).
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--old-timing") == 0) {
            SetLinkFileWatch(false);
            SetFastReadyHeartbeat(false);
            for (int j = i; j + 1 < argc; j++)
                argv[j] = argv[j + 1];
            argc--;
            break;
        }
    // --keyless: a client of before the sealed link (no key, no versions,
    // plain datagrams); --game-version V: the game build this client reports;
    // --sealed-only: refuses a plain link, as the setting does.
    for (int i = 1; i < argc;) {
        int take = 0;
        if (strcmp(argv[i], "--keyless") == 0) {
            SetSendLinkKeys(false);
            take = 1;
        } else if (strcmp(argv[i], "--no-direct") == 0) {
            SetLinkDirectPath(false); // as a client of before the direct path: the relay carries all
            take = 1;
        } else if (strcmp(argv[i], "--sealed-only") == 0) {
            g_app.settings.sealed_only = true;
            SetLinkSealedOnly(true);
            take = 1;
        } else if (strcmp(argv[i], "--seal-seeds") == 0 && i + 2 < argc) {
            UseLinkKeysFromSeeds(argv[i + 1], argv[i + 2]);
            take = 3;
        } else if (strcmp(argv[i], "--game-version") == 0 && i + 1 < argc) {
            OverrideGameVersion(argv[i + 1]);
            take = 2;
        }
        if (take == 0) {
            i++;
            continue;
        }
        for (int j = i; j + take < argc; j++)
            argv[j] = argv[j + take];
        argc -= take;
    }
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--old-framing") == 0) {
            SetLinkCompactFraming(false);
            for (int j = i; j + 1 < argc; j++)
                argv[j] = argv[j + 1];
            argc--;
            break;
        }
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--no-resume") == 0) {
            SetRideOutDrops(false);
            for (int j = i; j + 1 < argc; j++)
                argv[j] = argv[j + 1];
            argc--;
            break;
        }
    if (argc < 2)
        return Usage(nullptr);
    if (strcmp(argv[1], "link") == 0) {
        LinkOptions o;
        std::string error;
        if (!ParseLinkOptions(argc, argv, o, error))
            return Usage(error.c_str());
        return RunLink(o);
    }
    RoomOptions o;
    std::string error;
    if (!ParseRoomOptions(argc, argv, 1, o, error))
        return Usage(error.c_str());
    return RunRoom(o, g_stop);
}
