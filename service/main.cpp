// kestrel-service: the backend (account port 39001, room port 39002) and the
// UDP relay (39000) in one process. Prints "kestrel-service ready" once every
// port is bound, and runs until SIGINT or SIGTERM.
#include "accounts/account_port.h"
#include "metrics/metrics.h"
#include "options/options.h"
#include "relay/relay.h"
#include "rooms/room_port.h"

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

static std::string MetricsPage(Relay* relay, RoomPort* rooms, AccountPort* accounts)
{
    std::string out;
    RenderHttpCounters(out, {&AccountPortCounters(accounts), &RoomPortCounters(rooms)});
    std::vector<const StoreCounters*> stores = {&AccountPortStoreCounters(accounts)};
    if (const StoreCounters* shared = RoomPortStoreCounters(rooms))
        stores.push_back(shared);
    RenderStoreCounters(out, stores);

    const RoomStats r = ReadRoomStats(rooms);
    MetricHead(out, "kestrel_rooms", "gauge", "Rooms now, by state.");
    MetricLine(out, "kestrel_rooms", "state=\"waiting\"", (double)r.waiting);
    MetricLine(out, "kestrel_rooms", "state=\"full\"", (double)r.full);
    MetricLine(out, "kestrel_rooms", "state=\"started\"", (double)r.started);
    MetricHead(out, "kestrel_room_members", "gauge", "Players in rooms now.");
    MetricLine(out, "kestrel_room_members", "", (double)r.members);
    MetricHead(out, "kestrel_room_chat_lines", "gauge", "Lobby chat lines kept now.");
    MetricLine(out, "kestrel_room_chat_lines", "", (double)r.chat_lines);

    const RelayStats s = ReadRelayStats(relay);
    MetricHead(out, "kestrel_relay_forwarded_datagrams_total", "counter", "Datagrams the relay passed on.");
    MetricLine(out, "kestrel_relay_forwarded_datagrams_total", "", (double)s.forwarded);
    MetricHead(out, "kestrel_relay_forwarded_bytes_total", "counter", "Bytes of the datagrams the relay passed on.");
    MetricLine(out, "kestrel_relay_forwarded_bytes_total", "", (double)s.forwarded_bytes);
    MetricHead(out, "kestrel_relay_dropped_datagrams_total", "counter", "Datagrams the relay did not pass on, by cause.");
    MetricLine(out, "kestrel_relay_dropped_datagrams_total", "cause=\"unregistered\"", (double)s.dropped_unregistered);
    MetricLine(out, "kestrel_relay_dropped_datagrams_total", "cause=\"no_partner\"", (double)s.dropped_no_partner);
    MetricLine(out, "kestrel_relay_dropped_datagrams_total", "cause=\"fault_injection\"", (double)s.dropped_fault);
    MetricLine(out, "kestrel_relay_dropped_datagrams_total", "cause=\"queue_full\"", (double)s.dropped_queue_full);
    MetricLine(out, "kestrel_relay_dropped_datagrams_total", "cause=\"send_error\"", (double)s.dropped_send_error);
    MetricHead(out, "kestrel_relay_hellos_total", "counter", "HELLOs, by outcome.");
    MetricLine(out, "kestrel_relay_hellos_total", "outcome=\"registered\"", (double)s.hellos_registered);
    MetricLine(out, "kestrel_relay_hellos_total", "outcome=\"refused\"", (double)s.hellos_refused);
    MetricHead(out, "kestrel_relay_registrations", "gauge", "Addresses registered with the relay now.");
    MetricLine(out, "kestrel_relay_registrations", "", (double)s.registrations);
    return out;
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

    SetRoomPortAccounts(rooms, [accounts](const std::string& token, std::string& gamertag) {
        return AccountOfToken(accounts, token, gamertag);
    });

    MetricsServer* metrics = nullptr;
    if (!options.metrics.empty()) {
        const size_t colon = options.metrics.rfind(':');
        metrics = StartMetricsServer(options.metrics.substr(0, colon), (uint16_t)std::stoi(options.metrics.substr(colon + 1)),
                                     [=] { return MetricsPage(relay, rooms, accounts); }, error);
        if (!metrics) {
            fprintf(stderr, "kestrel-service: metrics: %s\n", error.c_str());
            SetRoomPortAccounts(rooms, {});
            StopAccountPort(accounts);
            StopRelay(relay);
            StopRoomPort(rooms);
            return 1;
        }
    }

    printf("kestrel-service ready (data %s, bind %s)\n", options.data_dir.c_str(), options.bind.c_str());
    fflush(stdout);
    while (!g_stop)
        pause();
    StopMetricsServer(metrics);
    SetRoomPortAccounts(rooms, {});
    StopAccountPort(accounts);
    StopRelay(relay);
    StopRoomPort(rooms);
    return 0;
}
