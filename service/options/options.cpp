#include "options/options.h"

#include "metrics/metrics.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

const char* ServiceUsage()
{
    return "usage: kestrel-service [--data DIR] [--bind ADDR]\n"
           "  --data DIR            data folder (default kestrel-data)\n"
           "  --store URI           keep accounts in PostgreSQL (postgresql://...) instead of\n"
           "                        DIR/accounts.sqlite3; rooms and lobby chat then live there too,\n"
           "                        shared by every instance that names the same store\n"
           "  --relay-public A:P    IPv4 address and port players reach this instance's relay at; named\n"
           "                        in the rooms it opens (several instances need one each)\n"
           "  --bind ADDR           IPv4 address of all three ports (default 127.0.0.1)\n"
           "  --away-grace S        keep a silent member's place S seconds past the 10 s time-out (120; 0: none)\n"
           "  --relay-expire S      forget a relay registration silent for S seconds (15)\n"
           "  --relay-takeover S    let another address take a registration silent for S seconds (3)\n"
           "  --relay-any-ip        accept a member's HELLO from any IP (unusual networks)\n"
           "  --relay-open          accept every HELLO, without a room (link tests, solo script work)\n"
           "  --relay-workers N     relay threads, each on its own socket of the port (one per core)\n"
           "  --relay-batch N       datagrams per receive and send call, 1 to 256 (64)\n"
           "  --relay-no-segment    send each datagram on its own (no UDP segmentation offload)\n"
           "  --relay-no-introduce  never tell a room's members each other's address: every byte\n"
           "                        goes through the relay (no direct path between players)\n"
           "  --channels LIST       comma-separated client channels allowed to connect (beta2)\n"
           "  --public-url URL      base of the links in mails (http://ADDR:39001, https:// with --tls-only)\n"
           "  --tls-cert FILE       PEM certificate: the HTTP ports take TLS as well as plain HTTP\n"
           "  --tls-key FILE        PEM private key of that certificate\n"
           "  --tls-only            refuse plain HTTP (needs --tls-cert and --tls-key)\n"
           "  --keep-alive-idle S   close a kept HTTP connection silent S seconds after an answer (30)\n"
           "  --max-rooms N         rooms open at once; a create beyond them is refused (1000)\n"
           "  --max-rooms-per-address N  rooms hosted from one IPv4 address at once (4; 0: no bound)\n"
           "  --per-address-connections N  HTTP connections held at once from one IPv4 address (64)\n"
           "  --proxy-protocol      the HTTP ports take only connections that start with a PROXY\n"
           "                        protocol v2 header (haproxy send-proxy-v2), and count the\n"
           "                        address it carries; only behind such a balancer\n"
           "  --metrics [ADDR:]PORT serve figures for Prometheus at /metrics (ADDR 127.0.0.1)\n"
           "  --online-window S     a player counts as online S seconds after its last request (60)\n"
           "  --invite-life S       a room invite lapses after S seconds (600)\n"
           "  --log-requests        one log line per HTTP request (method, path, status, time)\n"
           "  --stop-wait S         on SIGTERM, answer requests in flight for up to S seconds (10)\n"
           "  --smtp-url URL        deliver the outbox: smtp://HOST:587 (STARTTLS, required), smtps://HOST:465,\n"
           "                        or smtp+plain://HOST:25 for a local relay without TLS\n"
           "  --smtp-user NAME      log in to the mail server as NAME...\n"
           "  --smtp-password-file FILE  ...with the password in FILE (first line)\n"
           "  --smtp-ca FILE        PEM certificates that vouch for the mail server (system's by default)\n"
           "  --mail-from ADDR      sender of the mails (needed with --smtp-url)\n"
           "  --help                print this and exit\n"
           "  --version             print the version and exit\n"
           "test only, applied to every forwarded datagram:\n"
           "  --relay-drop P  --relay-duplicate P  --relay-reorder P   probabilities 0..1\n"
           "  --relay-delay MS  --relay-jitter MS  --relay-seed N\n";
}

// "A.B.C.D:PORT" in its one plain spelling, a unicast address a client can
// send its HELLO to (the client takes nothing else, so nothing else is announced).
bool IsIpv4Endpoint(const std::string& text)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    in_addr a{};
    char again[INET_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1 || !inet_ntop(AF_INET, &a, again, sizeof(again)) || host != again)
        return false;
    const uint32_t first = ntohl(a.s_addr) >> 24;
    if (first == 0 || first >= 224)
        return false;
    if (port.empty() || port.size() > 5 || port[0] == '0' || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return std::stol(port) <= 65535;
}

static bool ParseNumber(const char* text, double lo, double hi, double& out)
{
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != 0 || !(v >= lo && v <= hi))
        return false;
    out = v;
    return true;
}

// "a,b,c": non-empty items, at most 64 bytes each.
static bool ParseList(const char* text, std::vector<std::string>& out)
{
    std::vector<std::string> items;
    std::string item;
    for (const char* p = text;; p++) {
        if (*p == ',' || *p == 0) {
            if (item.empty() || item.size() > 64)
                return false;
            items.push_back(item);
            item.clear();
            if (*p == 0)
                break;
        } else {
            item += *p;
        }
    }
    out = items;
    return true;
}

bool ParseServiceOptions(int argc, char** argv, ServiceOptions& out, std::string& error)
{
    for (int i = 1; i < argc; i++) {
        const char* flag = argv[i];
        if (strcmp(flag, "--help") == 0 || strcmp(flag, "-h") == 0) {
            error = "help";
            return false;
        }
        if (strcmp(flag, "--relay-open") == 0) {
            out.relay_open = true;
            continue;
        }
        if (strcmp(flag, "--relay-no-segment") == 0) {
            out.relay_segment = false;
            continue;
        }
        if (strcmp(flag, "--relay-no-introduce") == 0) {
            out.relay_introduce = false;
            continue;
        }
        if (strcmp(flag, "--tls-only") == 0) {
            out.tls_only = true;
            continue;
        }
        if (strcmp(flag, "--proxy-protocol") == 0) {
            out.proxy_protocol = true;
            continue;
        }
        if (strcmp(flag, "--relay-any-ip") == 0) {
            out.relay_any_ip = true;
            continue;
        }
        if (strcmp(flag, "--log-requests") == 0) {
            out.log_requests = true;
            continue;
        }
        // The value is looked at only once the option is known: "--bogus"
        // last on the line is unknown, not missing its value.
        const bool has_value = i + 1 < argc;
        const char* value = has_value ? argv[++i] : "";
        double v = 0;
        bool ok = true;
        if (strcmp(flag, "--data") == 0)
            out.data_dir = value;
        else if (strcmp(flag, "--store") == 0 &&
                 (ok = strncmp(value, "postgresql://", 13) == 0 || strncmp(value, "postgres://", 11) == 0))
            out.store = value;
        else if (strcmp(flag, "--bind") == 0)
            out.bind = value;
        else if (strcmp(flag, "--relay-public") == 0 && (ok = IsIpv4Endpoint(value)))
            out.relay_public = value;
        else if (strcmp(flag, "--channels") == 0)
            ok = ParseList(value, out.channels);
        else if (strcmp(flag, "--public-url") == 0 &&
                 (ok = strncmp(value, "http://", 7) == 0 || strncmp(value, "https://", 8) == 0))
            out.public_url = value;
        else if (strcmp(flag, "--away-grace") == 0 && (ok = ParseNumber(value, 0, 86400, v)))
            out.away_grace_s = (int)v;
        else if (strcmp(flag, "--tls-cert") == 0)
            out.tls_cert = value;
        else if (strcmp(flag, "--tls-key") == 0)
            out.tls_key = value;
        else if (strcmp(flag, "--keep-alive-idle") == 0 && (ok = ParseNumber(value, 1, 3600, v)))
            out.keep_alive_idle_s = (int)v;
        else if (strcmp(flag, "--max-rooms") == 0 && (ok = ParseNumber(value, 1, 1e6, v)))
            out.max_rooms = (size_t)v;
        else if (strcmp(flag, "--max-rooms-per-address") == 0 && (ok = ParseNumber(value, 0, 1e6, v)))
            out.max_rooms_per_address = (size_t)v;
        else if (strcmp(flag, "--per-address-connections") == 0 && (ok = ParseNumber(value, 1, 100000, v)))
            out.per_address_connections = (int)v;
        else if (strcmp(flag, "--metrics") == 0) {
            std::string addr;
            uint16_t port = 0;
            if ((ok = ParseMetricsAddress(value, addr, port)))
                out.metrics = addr + ":" + std::to_string(port);
        } else if (strcmp(flag, "--relay-expire") == 0 && (ok = ParseNumber(value, 1, 86400, v)))
            out.relay_expire_s = (int)v;
        else if (strcmp(flag, "--relay-takeover") == 0 && (ok = ParseNumber(value, 1, 3600, v)))
            out.relay_takeover_s = (int)v;
        else if (strcmp(flag, "--online-window") == 0 && (ok = ParseNumber(value, 1, 86400, v)))
            out.online_window_s = (int)v;
        else if (strcmp(flag, "--invite-life") == 0 && (ok = ParseNumber(value, 1, 86400, v)))
            out.invite_life_s = (int)v;
        else if (strcmp(flag, "--relay-workers") == 0 && (ok = ParseNumber(value, 1, 64, v)))
            out.relay_workers = (int)v;
        else if (strcmp(flag, "--relay-batch") == 0 && (ok = ParseNumber(value, 1, 256, v)))
            out.relay_batch = (int)v;
        else if (strcmp(flag, "--relay-drop") == 0 && (ok = ParseNumber(value, 0, 1, v)))
            out.faults.drop = v;
        else if (strcmp(flag, "--relay-duplicate") == 0 && (ok = ParseNumber(value, 0, 1, v)))
            out.faults.duplicate = v;
        else if (strcmp(flag, "--relay-reorder") == 0 && (ok = ParseNumber(value, 0, 1, v)))
            out.faults.reorder = v;
        else if (strcmp(flag, "--relay-delay") == 0 && (ok = ParseNumber(value, 0, 10000, v)))
            out.faults.delay_ms = (int)v;
        else if (strcmp(flag, "--relay-jitter") == 0 && (ok = ParseNumber(value, 0, 10000, v)))
            out.faults.jitter_ms = (int)v;
        else if (strcmp(flag, "--relay-seed") == 0 && (ok = ParseNumber(value, 0, 1e18, v)))
            out.faults.seed = (uint64_t)v;
        else if (strcmp(flag, "--stop-wait") == 0 && (ok = ParseNumber(value, 0, 600, v)))
            out.stop_wait_s = (int)v;
        else if (strcmp(flag, "--smtp-url") == 0 &&
                 (ok = strncmp(value, "smtp://", 7) == 0 || strncmp(value, "smtps://", 8) == 0 ||
                       strncmp(value, "smtp+plain://", 13) == 0))
            out.smtp_url = value;
        else if (strcmp(flag, "--smtp-user") == 0)
            out.smtp_user = value;
        else if (strcmp(flag, "--smtp-password-file") == 0)
            out.smtp_password_file = value;
        else if (strcmp(flag, "--smtp-ca") == 0)
            out.smtp_ca = value;
        else if (strcmp(flag, "--mail-from") == 0 && (ok = strchr(value, '@') && !strpbrk(value, "<>\r\n "))) {
            out.mail_from = value;
            out.mail_from_set = true;
        } else if (ok) {
            error = std::string("unknown option ") + flag + " (--help lists them)";
            return false;
        }
        if (!has_value) {
            error = std::string("missing value after ") + flag;
            return false;
        }
        if (!ok) {
            error = std::string("bad value for ") + flag + ": " + value;
            return false;
        }
    }
    if (out.tls_cert.empty() != out.tls_key.empty() || (out.tls_only && out.tls_cert.empty())) {
        error = "--tls-cert and --tls-key go together, and --tls-only needs both";
        return false;
    }
    if (!out.smtp_url.empty() && !out.mail_from_set) {
        error = "--smtp-url needs --mail-from (the address mail servers see as the sender)";
        return false;
    }
    if (out.smtp_user.empty() != out.smtp_password_file.empty()) {
        error = "--smtp-user and --smtp-password-file go together";
        return false;
    }
    if (out.smtp_url.empty() && (!out.smtp_user.empty() || !out.smtp_ca.empty())) {
        error = "--smtp-user, --smtp-password-file and --smtp-ca need --smtp-url";
        return false;
    }
    if (!out.relay_public.empty() && out.store.empty())
        out.warnings.push_back("--relay-public without --store: rooms name this relay, but no other instance "
                               "shares them (several instances need --store postgresql://...)");
    if (out.public_url.empty() && out.bind == "0.0.0.0")
        out.warnings.push_back("--bind 0.0.0.0 without --public-url: the links in reset and verify mails would "
                               "read http://0.0.0.0:39001/... and reach no player; set --public-url");
    if (out.relay_open)
        out.warnings.push_back("--relay-open: the relay takes every HELLO, with or without a room (tests only)");
    return true;
}
