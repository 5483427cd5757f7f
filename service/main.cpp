// kestrel-service: the backend (account port 39001, room port 39002) and the
// UDP relay (39000) in one process. Prints "kestrel-service ready" once every
// port is bound, and runs until SIGINT or SIGTERM.
#include "account_port.h"
#include "options.h"
#include "relay.h"
#include "room_port.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

static volatile sig_atomic_t g_stop = 0;

static void OnSignal(int)
{
    g_stop = 1;
}

int main(int argc, char** argv)
{
    // Alone, so a package script or an operator can ask without any other effect.
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("kestrel-service %s\n", KESTREL_VERSION);
        return 0;
    }
    ServiceOptions options;
    std::string error;
    if (!ParseServiceOptions(argc, argv, options, error)) {
        if (error != "help")
            fprintf(stderr, "kestrel-service: %s\n", error.c_str());
        fputs(ServiceUsage(), stderr);
        return error == "help" ? 0 : 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(options.data_dir, ec);
    if (ec) {
        fprintf(stderr, "kestrel-service: cannot create %s: %s\n", options.data_dir.c_str(), ec.message().c_str());
        return 1;
    }

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);

    // Each port binds before "ready" is printed and runs on threads of its own.
    RoomPort* rooms = StartRoomPort(options, error);
    if (!rooms) {
        fprintf(stderr, "kestrel-service: room port: %s\n", error.c_str());
        return 1;
    }
    const RelayHelloCheck check = options.relay_open ? RelayHelloCheck() : RoomRelayCheck(rooms, options.relay_any_ip);
    Relay* relay = StartRelay(options, error, check);
    if (!relay) {
        fprintf(stderr, "kestrel-service: relay: %s\n", error.c_str());
        StopRoomPort(rooms);
        return 1;
    }
    AccountPort* accounts = StartAccountPort(options, error, RoomPortDirectory(rooms));
    if (!accounts) {
        fprintf(stderr, "kestrel-service: account port: %s\n", error.c_str());
        StopRelay(relay);
        StopRoomPort(rooms);
        return 1;
    }

    printf("kestrel-service ready (data %s, bind %s)\n", options.data_dir.c_str(), options.bind.c_str());
    fflush(stdout);
    while (!g_stop)
        pause();
    StopAccountPort(accounts);
    StopRelay(relay);
    StopRoomPort(rooms);
    return 0;
}
