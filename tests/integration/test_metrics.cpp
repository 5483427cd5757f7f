// The metrics page of the real service: a little traffic on each part, then
// one scrape, read the way Prometheus reads it.
#include "loopback_udp.h"
#include "service_process.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <vector>

namespace {

// "name{labels} value" lines; comments must be HELP or TYPE lines.
std::map<std::string, double> ReadPage(const std::string& page, std::string& bad_line)
{
    std::map<std::string, double> out;
    std::istringstream in(page);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0)
            continue;
        const size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) {
            bad_line = line;
            continue;
        }
        out[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return out;
}


std::map<std::string, double> Scrape()
{
    std::string bad;
    auto page = httplib::Client("127.0.0.1", 39090).Get("/metrics");
    return page ? ReadPage(page->body, bad) : std::map<std::string, double>();
}

} // namespace

TEST(Metrics, ThePageCountsWhatEachPartDid)
{
    ServiceProcess service;
    ASSERT_TRUE(StartService(service, {"--metrics", "39090", "--relay-open"})) << service.output;

    httplib::Client rooms("127.0.0.1", 39002), accounts("127.0.0.1", 39001);
    auto created = rooms.Post("/create", R"({"gamertag":"ann","cid":"c1","name":"r"})", "application/json");
    ASSERT_TRUE(created);
    auto refused = rooms.Post("/join", R"({"gamertag":"bob","cid":"c2","code":"ZZZZZZ"})", "application/json");
    ASSERT_TRUE(refused);
    auto session = accounts.Post("/session", "{\"token\":\"" + std::string(64, 'a') + "\"}", "application/json");
    ASSERT_TRUE(session);

    const int a = LoopbackUdp(), b = LoopbackUdp(), stranger = LoopbackUdp();
    SendToRelayPort(a, "HELLO R A\n");
    SendToRelayPort(b, "HELLO R B\n");
    usleep(100000);
    SendToRelayPort(a, "FILE:one");
    SendToRelayPort(a, "FILE:two!");
    SendToRelayPort(stranger, "FILE:nobody");
    // Path reports: a stranger's is not taken; a room counts once however often its members report.
    SendToRelayPort(stranger, "PATH R A direct\n");
    SendToRelayPort(a, "PATH R B direct\n"); // not a's letter
    SendToRelayPort(a, "PATH R A direct\n");
    SendToRelayPort(b, "PATH R B direct\n");
    SendToRelayPort(a, "PATH R A direct\n");
    usleep(100000);

    httplib::Client scrape("127.0.0.1", 39090);
    auto page = scrape.Get("/metrics");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    std::string bad;
    auto m = ReadPage(page->body, bad);
    EXPECT_EQ(bad, "");

    EXPECT_EQ(m[R"(kestrel_http_requests_total{port="room",route="/create",status="200"})"], 1);
    EXPECT_EQ(m[R"(kestrel_http_requests_total{port="room",route="/join",status="200"})"], 1);
    EXPECT_EQ(m[R"(kestrel_http_requests_total{port="account",route="/session",status="200"})"], 1);
    EXPECT_EQ(m[R"(kestrel_http_handler_seconds_count{port="room"})"], 2);
    EXPECT_EQ(m[R"(kestrel_http_handler_seconds_bucket{port="room",le="+Inf"})"], 2);
    EXPECT_LE(m[R"(kestrel_http_handler_seconds_bucket{port="room",le="0.0001"})"], 2);
    EXPECT_EQ(m[R"(kestrel_store_calls_total{store="sqlite"})"], 1); // the session lookup
    EXPECT_EQ(m[R"(kestrel_store_errors_total{store="sqlite"})"], 0);
    EXPECT_EQ(m[R"(kestrel_rooms{state="waiting"})"], 1);
    EXPECT_EQ(m[R"(kestrel_rooms{state="started"})"], 0);
    EXPECT_EQ(m["kestrel_room_members"], 1);
    EXPECT_EQ(m[R"(kestrel_relay_hellos_total{outcome="registered"})"], 2);
    EXPECT_EQ(m["kestrel_relay_registrations"], 2);
    EXPECT_EQ(m["kestrel_relay_forwarded_datagrams_total"], 2);
    EXPECT_EQ(m["kestrel_relay_forwarded_bytes_total"], 8 + 9);
    EXPECT_EQ(m[R"(kestrel_relay_dropped_datagrams_total{cause="unregistered"})"], 3);
    EXPECT_EQ(m["kestrel_relay_introductions_total"], 2); // the pair formed: one to each
    EXPECT_EQ(m["kestrel_relay_direct_sessions_total"], 1);
    EXPECT_EQ(m["kestrel_relay_direct_sessions"], 1);

    // Other paths are not the page, and by default only loopback's first address listens.
    auto other = scrape.Get("/");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404);
    ASSERT_EQ(system("ip addr add 10.9.0.1/24 dev lo"), 0);
    httplib::Client outside("10.9.0.1", 39090);
    outside.set_connection_timeout(1, 0);
    EXPECT_FALSE(outside.Get("/metrics"));

    close(a);
    close(b);
    close(stranger);
    StopService(service);
}

// The account port's front: held connections, a cap, an oversized head, a
// trickle. Catches a gauge left wrong on some close path, a refusal not counted
// or under another cause, and idle kept-alive connections counted as refused.
TEST(Metrics, TheFrontCountsOpenConnectionsAndRefusalsByCause)
{
    ServiceProcess service;
    ASSERT_TRUE(StartService(service, {"--metrics", "39090", "--keep-alive-idle", "5"})) << service.output;
    const std::string open = R"(kestrel_http_open_connections{port="account"})";
    const std::string refused = R"(kestrel_http_refused_total{port="account",cause=")";
    std::vector<int> held, capped; // three kept alive after an answer; one address 6 past its cap of 64
    for (int i = 0; i < 3; i++) {
        held.push_back(ConnectTcpFrom(39001, "127.0.0.2"));
        SendText(held.back(), "GET /nowhere HTTP/1.1\r\n\r\n");
        EXPECT_EQ(ReadAll(held.back(), 200).rfind("HTTP/1.1 404 ", 0), 0u);
    }
    for (int i = 0; i < 70; i++)
        capped.push_back(ConnectTcpFrom(39001, "127.0.0.3"));
    EXPECT_TRUE(ClosedByServer(capped.back(), 5000)); // accepted in order: the last is refused last
    auto m = Scrape();
    EXPECT_EQ(m[open], 3 + 64);
    EXPECT_EQ(m[refused + "per_address\"}"], 6);
    for (int fd : capped)
        close(fd);

    int fd = ConnectTcpFrom(39001, "127.0.0.4");
    SendText(fd, "GET / HTTP/1.1\r\nX-Pad: " + std::string(17 * 1024, 'a') + "\r\n\r\n");
    EXPECT_EQ(ReadAll(fd).rfind("HTTP/1.1 431 ", 0), 0u);
    close(fd);
    fd = ConnectTcpFrom(39001, "127.0.0.5"); // a head trickled in: closed at the deadline
    SendText(fd, "POST /session HTTP/1.1\r\n");
    for (int i = 0; i < 30 && !ClosedByServer(fd, 500); i++)
        SendText(fd, "X");
    close(fd);
    for (int h : held) { // closed at the idle time, silent since their answer
        EXPECT_TRUE(ClosedByServer(h, 10000));
        close(h);
    }
    m = Scrape();
    EXPECT_EQ(m[open], 0);
    EXPECT_EQ(m[refused + "size\"}"], 1);
    EXPECT_EQ(m[refused + "deadline\"}"], 1);
    StopService(service);
}

TEST(Metrics, ABadAddressStopsTheStart)
{
    ServiceProcess service;
    EXPECT_FALSE(StartService(service, {"--metrics", "127.0.0.1:99999"}));
    StopService(service);
}
