// kestrel-service's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RelayFaults // test-only fault injection on forwarded datagrams
{
    double drop = 0;       // probability a datagram is dropped
    double duplicate = 0;  // probability it is sent twice
    double reorder = 0;    // probability it is held back behind the next one
    int delay_ms = 0;      // added delay...
    int jitter_ms = 0;     // ...plus a uniform 0..jitter
    uint64_t seed = 1;
};

struct ServiceOptions
{
    std::string data_dir = "kestrel-data";
    std::string store;      // "" = accounts.sqlite3 in data_dir; or a postgresql:// address
    std::string bind = "127.0.0.1";
    int away_grace_s = 120;  // a member silent past the time-out stays in its room, away, this long
    int relay_expire_s = 15; // a registration silent this long is forgotten
    int relay_takeover_s = 3; // a HELLO from another address moves a registration silent this long
    bool relay_open = false;  // any well-formed HELLO registers (link tests without rooms)
    bool relay_any_ip = false; // a HELLO need not come from the member's own IP
    int relay_workers = 0;    // relay threads, each on its own socket of the port; 0 = one per core
    int relay_batch = 64;     // datagrams per receive and send call (1: one call per datagram)
    bool relay_segment = true; // runs of datagrams to one address leave as one segmented send
    bool relay_introduce = true; // tell a room's members each other's address (direct path)
    RelayFaults faults;
    std::vector<std::string> channels = {"beta2"}; // client channels "/clientcheck" allows
    std::string public_url; // base of the links in mails; "" = http(s)://<bind>:39001
    std::string tls_cert, tls_key; // PEM; with both, the HTTP ports also speak TLS
    int keep_alive_idle_s = 30;    // a kept HTTP connection silent this long after an answer is closed
    bool tls_only = false;         // plain HTTP is refused (every player has a pinned client)
    std::string metrics;    // "ADDR:PORT" of the metrics page; "" = none
    std::string relay_public; // "ADDR:PORT" players reach this relay at; "" = the backend's address, port 39000
    size_t max_rooms = 1000; // rooms open at once
    size_t max_rooms_per_address = 4; // rooms hosted from one address at once; 0 = no bound
    int per_address_connections = 64; // HTTP connections held at once from one address
    bool proxy_protocol = false; // HTTP connections start with a PROXY v2 header (behind a balancer)
    int online_window_s = 60; // a signed-in player counts as online this long after its last request
    int invite_life_s = 600;  // a room invite not taken up lapses after this
    bool log_requests = false; // one log line per HTTP request
    int stop_wait_s = 10;      // on SIGTERM, how long requests in flight may take to be answered
    // Mail delivery: "" keeps mails as files in DIR/outbox only.
    std::string smtp_url;      // smtp://HOST:PORT (STARTTLS required) or smtps://; smtp+plain:// a local relay
    std::string smtp_user, smtp_password_file, smtp_ca;
    std::string mail_from = "no-reply@kestrel.invalid";
    bool mail_from_set = false;
    std::string smtp_password; // read from smtp_password_file at start, never logged
    std::vector<std::string> warnings; // options that do nothing as given: said at start
};

// Parses argv; on failure returns false with a one-line reason in `error`.
bool ParseServiceOptions(int argc, char** argv, ServiceOptions& out, std::string& error);

const char* ServiceUsage();

bool IsIpv4Endpoint(const std::string& text);
