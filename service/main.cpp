// kestrel-service: the backend (account port 39001, room port 39002) and the
// UDP relay (39000) in one process. Prints "kestrel-service ready" on stdout
// once every port is bound; everything it has to say goes to stderr, one line
// per event (log/log.h). SIGTERM or SIGINT: stop accepting, answer what is in
// flight, keep the rooms (embedded store), stop. SIGHUP: load the TLS key and
// certificate again.
#include "accounts/account_port.h"
#include "front/http_front.h"
#include "log/log.h"
#include "accounts/mail_sender.h"
#include "metrics/metrics.h"
#include "options/options.h"
#include "relay/relay.h"
#include "rooms/room_port.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

static std::string MetricsPage(Relay* relay, RoomPort* rooms, AccountPort* accounts, int64_t started_s)
{
    std::string out;
    MetricHead(out, "kestrel_build_info", "gauge", "The running build: always 1, its version as a label.");
    MetricLine(out, "kestrel_build_info", std::string("version=\"") + KESTREL_VERSION + "\"", 1);
    MetricHead(out, "kestrel_start_time_seconds", "gauge", "When this process started, in seconds since the epoch.");
    MetricLine(out, "kestrel_start_time_seconds", "", (double)started_s);
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
    MetricHead(out, "kestrel_relay_introductions_total", "counter", "PEER datagrams sent: a member told its partner's address.");
    MetricLine(out, "kestrel_relay_introductions_total", "", (double)s.introductions);
    MetricHead(out, "kestrel_relay_direct_sessions_total", "counter",
               "Rooms whose members reported a direct path, once per pair of registrations.");
    MetricLine(out, "kestrel_relay_direct_sessions_total", "", (double)s.direct_sessions_total);
    MetricHead(out, "kestrel_relay_direct_sessions", "gauge", "Rooms whose latest path report of either member is direct.");
    MetricLine(out, "kestrel_relay_direct_sessions", "", (double)s.direct_sessions_now);
    return out;
}


// Watches the stores' counters once a second and says when calls start
// failing (players then get 503) and when they answer again.
struct StoreWatch
{
    std::vector<const StoreCounters*> stores;
    std::atomic<bool> stop{false};
    std::thread thread;
};

static void WatchStores(StoreWatch* w)
{
    std::vector<uint64_t> calls(w->stores.size()), errors(w->stores.size());
    std::vector<int64_t> down_since(w->stores.size(), 0), said_at(w->stores.size(), 0);
    std::vector<uint64_t> failed(w->stores.size(), 0);
    for (size_t i = 0; i < w->stores.size(); i++)
        calls[i] = w->stores[i]->calls.load(), errors[i] = w->stores[i]->errors.load();
    for (int64_t tick = 1; !w->stop.load(); tick++) {
        for (int slice = 0; slice < 10 && !w->stop.load(); slice++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (size_t i = 0; i < w->stores.size(); i++) {
            const StoreCounters& s = *w->stores[i];
            const uint64_t c = s.calls.load(), e = s.errors.load();
            const uint64_t new_calls = c - calls[i], new_errors = e - errors[i];
            calls[i] = c, errors[i] = e;
            const std::string name = std::string("store ") + s.kind;
            if (new_errors > 0) {
                failed[i] += new_errors;
                if (down_since[i] == 0) {
                    down_since[i] = tick, said_at[i] = tick;
                    LogError(name + ": " + std::to_string(new_errors) + " of " + std::to_string(new_calls) +
                             " calls had no answer (" + LastStoreFault() +
                             "); players get 503 and keep their sessions until it answers");
                } else if (tick - said_at[i] >= 60) {
                    said_at[i] = tick;
                    LogError(name + ": still no answer after " + std::to_string(tick - down_since[i]) + " s (" +
                             std::to_string(failed[i]) + " calls failed; " + LastStoreFault() + ")");
                }
            } else if (new_calls > 0 && down_since[i] != 0) {
                LogInfo(name + ": answers again after " + std::to_string(tick - down_since[i]) + " s (" +
                        std::to_string(failed[i]) + " calls had no answer)");
                down_since[i] = 0, failed[i] = 0;
            }
        }
    }
}

static bool ReadFirstLine(const std::string& path, std::string& line, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return true;
}

static std::string Seconds(std::chrono::steady_clock::time_point since)
{
    char text[32];
    snprintf(text, sizeof(text), "%.1f s",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
    return text;
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
        if (error == "help") {
            fputs(ServiceUsage(), stdout);
            return 0;
        }
        fprintf(stderr, "kestrel-service: %s\n", error.c_str());
        return 2;
    }
    // Accounts, sessions, mail links and the outbox: for the service's user alone.
    umask(077);
    std::error_code ec;
    std::filesystem::create_directories(options.data_dir, ec);
    if (ec) {
        fprintf(stderr, "kestrel-service: cannot create the data folder %s: %s\n", options.data_dir.c_str(),
                ec.message().c_str());
        return 1;
    }
    std::string tls_summary;
    if (!options.tls_cert.empty() && !CheckTlsFiles(options.tls_cert, options.tls_key, tls_summary, error)) {
        fprintf(stderr, "kestrel-service: %s\n", error.c_str());
        return 1;
    }
    if (!options.smtp_password_file.empty() && !ReadFirstLine(options.smtp_password_file, options.smtp_password, error)) {
        fprintf(stderr, "kestrel-service: %s\n", error.c_str());
        return 1;
    }
    if (!options.smtp_ca.empty() && access(options.smtp_ca.c_str(), R_OK) != 0) {
        fprintf(stderr, "kestrel-service: cannot read %s: %s\n", options.smtp_ca.c_str(), strerror(errno));
        return 1;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT); // before any thread

    // The signals are taken by this thread alone (sigwait below); every
    // thread started from here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const auto started = std::chrono::steady_clock::now();
    const int64_t started_s = (int64_t)time(nullptr);

    // Each port binds before "ready" is printed and runs on threads of its own.
    RoomPort* rooms = StartRoomPort(options, error);
    if (!rooms) {
        LogError("room port (TCP " + options.bind + ":39002): " + error);
        return 1;
    }
    const bool any_ip = options.relay_any_ip;
    const RelayHelloCheck check = options.relay_open ? RelayHelloCheck() : RoomRelayCheck(rooms, any_ip);
    Relay* relay = StartRelay(options, error, check, options.relay_open ? RelayRefusalNote() : RoomRelayRefusalNote(rooms, any_ip));
    if (!relay) {
        LogError("relay (UDP " + options.bind + ":39000): " + error);
        StopRoomPort(rooms);
        return 1;
    }
    AccountPort* accounts = StartAccountPort(options, error, RoomPortDirectory(rooms));
    if (!accounts) {
        LogError("account port (TCP " + options.bind + ":39001): " + error);
        StopRelay(relay);
        StopRoomPort(rooms);
        return 1;
    }

    SetRoomPortAccounts(rooms, [accounts](const std::string& token, std::string& gamertag) {
        return AccountOfToken(accounts, token, gamertag);
    });

    std::atomic<bool> stopping{false};
    MetricsServer* metrics = nullptr;
    if (!options.metrics.empty()) {
        const size_t colon = options.metrics.rfind(':');
        metrics = StartMetricsServer(
            options.metrics.substr(0, colon), (uint16_t)std::stoi(options.metrics.substr(colon + 1)),
            [=] { return MetricsPage(relay, rooms, accounts, started_s); }, error,
            [&stopping, accounts, rooms](std::string& reason) {
                if (stopping.load())
                    reason = "stopping";
                else if (!AccountPortStoreAnswers(accounts) || !RoomPortStoreAnswers(rooms))
                    reason = "the store does not answer (" + LastStoreFault() + ")";
                else
                    return true;
                return false;
            });
        if (!metrics) {
            LogError("metrics (" + options.metrics + "): " + error);
            SetRoomPortAccounts(rooms, {});
            StopAccountPort(accounts);
            StopRelay(relay);
            StopRoomPort(rooms);
            return 1;
        }
    }

    MailSender* mail = nullptr;
    if (!options.smtp_url.empty()) {
        MailSenderOptions m;
        m.url = options.smtp_url;
        m.user = options.smtp_user;
        m.password = options.smtp_password;
        m.ca = options.smtp_ca;
        m.from = options.mail_from;
        mail = StartMailSender(options.data_dir + "/outbox", m);
    }

    StoreWatch watch;
    watch.stores.push_back(&AccountPortStoreCounters(accounts));
    if (const StoreCounters* shared = RoomPortStoreCounters(rooms))
        watch.stores.push_back(shared);
    watch.thread = std::thread(WatchStores, &watch);

    const std::string http = options.tls_only ? "TLS only" : options.tls_cert.empty() ? "plain HTTP" : "plain HTTP and TLS";
    const std::string mails = options.smtp_url.empty()
                                  ? "kept in " + options.data_dir + "/outbox (no --smtp-url: nothing sends them)"
                                  : "sent through " + WithoutPassword(options.smtp_url) +
                                        (options.smtp_user.empty() ? "" : " as " + options.smtp_user) + " from " +
                                        options.mail_from;
    LogInfo(std::string("kestrel-service ") + KESTREL_VERSION + " ready: account port TCP " + options.bind +
            ":39001 and room port TCP " + options.bind + ":39002 (" + http + "), relay UDP " + options.bind +
            ":39000 announced as " + (options.relay_public.empty() ? "the backend address" : options.relay_public) +
            (options.relay_open ? " (open: every HELLO)" : options.relay_any_ip ? " (HELLO from any IP)" : "") +
            (options.relay_introduce ? "" : " (no introductions: no direct paths)") + ", metrics " + (options.metrics.empty() ? "off" : "http://" + options.metrics + "/metrics") + ", store " +
            (options.store.empty() ? "sqlite " + options.data_dir + "/accounts.sqlite3 (rooms kept across restarts)"
                                   : "postgresql " + WithoutPassword(options.store) + " (rooms shared)") +
            ", data " + options.data_dir + ", mail " + mails + ", links " +
            (options.public_url.empty() ? "http://" + options.bind + ":39001 (default)" : options.public_url) +
            "; limits: " + std::to_string(options.max_rooms) + " rooms, away grace " +
            std::to_string(options.away_grace_s) + " s, " + std::to_string(options.per_address_connections) +
            " connections per address" + (options.proxy_protocol ? " (by the PROXY v2 header)" : "") +
            ", 5 s per request, stop wait " +
            std::to_string(options.stop_wait_s) + " s" + (options.log_requests ? ", one line per request" : ""));
    if (!tls_summary.empty())
        LogInfo("TLS certificate " + options.tls_cert + ": " + tls_summary);
    for (const std::string& w : options.warnings)
        LogWarn(w);
    printf("kestrel-service ready (data %s, bind %s)\n", options.data_dir.c_str(), options.bind.c_str());
    fflush(stdout);

    auto asked = std::chrono::steady_clock::now();
    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0)
            continue;
        if (sig == SIGHUP) {
            if (options.tls_cert.empty()) {
                LogInfo("SIGHUP: no TLS key and certificate to load again; nothing else is reloaded");
                continue;
            }
            std::string why, summary;
            if (!CheckTlsFiles(options.tls_cert, options.tls_key, summary, why) ||
                !ReloadHttpFrontTls(AccountPortFront(accounts), why) || !ReloadHttpFrontTls(RoomPortFront(rooms), why))
                LogError("SIGHUP: TLS not reloaded, the certificate in use stays: " + why);
            else
                LogInfo("SIGHUP: TLS certificate reloaded for new connections (" + summary +
                        "); open connections go on");
            continue;
        }
        asked = std::chrono::steady_clock::now();
        stopping.store(true);
        DrainHttpFront(AccountPortFront(accounts));
        DrainHttpFront(RoomPortFront(rooms));
        LogInfo(std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") +
                ": stopping; no new connections, answering what is in flight (up to " +
                std::to_string(options.stop_wait_s) + " s)");
        const auto until = asked + std::chrono::seconds(options.stop_wait_s);
        int left = 0;
        while ((left = HttpFrontBusy(AccountPortFront(accounts)) + HttpFrontBusy(RoomPortFront(rooms))) > 0 &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (left > 0)
            LogWarn(std::to_string(left) + " requests still unanswered after " + std::to_string(options.stop_wait_s) +
                    " s: dropped");
        break;
    }
    watch.stop.store(true);
    watch.thread.join();
    StopMailSender(mail);
    StopMetricsServer(metrics);
    SetRoomPortAccounts(rooms, {});
    StopAccountPort(accounts);
    StopRelay(relay);
    StopRoomPort(rooms);
    curl_global_cleanup();
    LogInfo("stopped " + Seconds(asked) + " after the signal (up " + Seconds(started) + ")");
    return 0;
}
