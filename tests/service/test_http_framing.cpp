// The front over real sockets, plain and TLS on one port: what it takes, what
// it refuses and why, where one request ends and the next begins, and peers
// that stall the handshake.
#include "front/http_front.h"
#include "service_process.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// A throwaway P-256 key and self-signed certificate, as the package makes one.
struct TlsFiles
{
    std::string dir, cert, key;
    TlsFiles()
    {
        char templ[] = "/tmp/kestrel-tls.XXXXXX";
        dir = mkdtemp(templ);
        cert = dir + "/cert.pem";
        key = dir + "/key.pem";
        const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
                                "-subj /CN=test -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    ~TlsFiles() { std::filesystem::remove_all(dir); }
};

// A front on a free port with one route that tells what it was given.
struct Front
{
    HttpFront* front = nullptr;
    uint16_t port = 0;
    Front(HttpFrontOptions o = {})
    {
        o.max_body = 100;
        o.error_body = [](int status) { return "refused " + std::to_string(status); };
        HttpRoute echo{"POST", "/echo", [](const HttpRequest& r) {
                           HttpAnswer a;
                           a.body = r.method + " " + r.path + " ?" + r.query + " t=" + HttpParam(r, "t") + " [" +
                                    r.content_type + "] " + r.body + " from " + r.remote_addr;
                           return a;
                       }};
        std::string error;
        front = StartHttpFront(o, {echo}, error);
        EXPECT_TRUE(front) << error;
        port = HttpFrontPort(front);
    }
    ~Front() { StopHttpFront(front); }
};

int Connect(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, (sockaddr*)&a, sizeof(a)), 0);
    return fd;
}

std::string Exchange(uint16_t port, const std::string& text)
{
    const int fd = Connect(port);
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    std::string got = ReadAll(fd);
    close(fd);
    return got;
}

// The same exchange inside TLS; "" when the handshake fails.
std::string ExchangeTls(uint16_t port, const std::string& text)
{
    asio::io_context io;
    asio::ssl::context ctx(asio::ssl::context::tls_client);
    ctx.set_verify_mode(asio::ssl::verify_none); // the key is pinned by the client, tested elsewhere
    asio::ssl::stream<tcp::socket> s(io, ctx);
    boost::system::error_code ec;
    s.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
    if (!ec)
        s.handshake(asio::ssl::stream_base::client, ec);
    if (ec)
        return std::string();
    asio::write(s, asio::buffer(text), ec);
    std::string got;
    asio::read(s, asio::dynamic_buffer(got), ec); // to the close
    return got;
}

std::string Post(const std::string& body, const std::string& extra = "")
{
    return "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

} // namespace

TEST(HttpFraming, RefusalsWithTheirStatusThenTheClose)
{
    Front f;
    const struct
    {
        const char* in;
        int status;
    } cases[] = {
        {"POST /echo HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        {"POST /echo HTTP/1.1\r\nContent-Length: 2, 3\r\n\r\nabc", 400},
        {"POST /echo HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST /echo HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n", 400},
        {"POST /echo HTTP/1.1\r\nContent-Length : 1\r\n\r\na", 400},
        {"POST /echo HTTP/2.0\r\n\r\n", 400},
        {"POST nopath HTTP/1.1\r\n\r\n", 400},
        {"POST /echo extra HTTP/1.1\r\n\r\n", 400},
        {"POST /echo HTTP/1.1\r\nContent-Length: 101\r\n\r\n", 413},
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", 501},
    };
    for (const auto& c : cases) {
        // A good request behind the bad one is never answered.
        const std::string got = Exchange(f.port, std::string(c.in) + Post("{}"));
        EXPECT_EQ(got.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u) << c.in << "\n" << got;
        EXPECT_NE(got.find("refused " + std::to_string(c.status)), std::string::npos) << got;
        EXPECT_EQ(Count(got, "HTTP/1.1 "), 1u) << c.in;
    }
    const std::string huge = Exchange(f.port, "POST /echo HTTP/1.1\r\nX: " + std::string(17000, 'a'));
    EXPECT_EQ(huge.rfind("HTTP/1.1 431 ", 0), 0u) << huge;
}

TEST(HttpFraming, RequestsInOrderWithTheirConnectionRule)
{
    Front f;
    const std::string three = "\r\nPOST /echo?t=x%20y&z HTTP/1.1\r\nContent-Length: 2, 2\r\ncontent-type: text/x\r\n\r\n"
                              "{}POST /nowhere HTTP/1.1\r\n\r\n"
                              "POST /echo HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                              "Content-Length: 5\r\n\r\nt=a+b";
    const std::string got = Exchange(f.port, three);
    EXPECT_EQ(Count(got, "HTTP/1.1 "), 3u) << got;
    const size_t first = got.find("POST /echo ?t=x%20y&z t=x y [text/x] {} from 127.0.0.1");
    const size_t second = got.find("HTTP/1.1 404 ");
    const size_t third = got.find("POST /echo ? t=a b [application/x-www-form-urlencoded] t=a+b");
    EXPECT_LT(first, second) << got;
    EXPECT_LT(second, third) << got;
    EXPECT_NE(third, std::string::npos) << got;
    // HTTP/1.0 without keep-alive ends the connection after its answer.
    EXPECT_NE(got.find("Connection: close", second), std::string::npos) << got;
    EXPECT_EQ(Count(Exchange(f.port, Post("{}", "Connection: Close\r\n") + Post("{}")), "HTTP/1.1 200 "), 1u);
}

TEST(HttpFraming, PlainAndTlsOnOnePortAndTlsOnlyRefusesPlain)
{
    TlsFiles files;
    HttpFrontOptions o;
    o.tls_cert = files.cert;
    o.tls_key = files.key;
    {
        Front f(o);
        const std::string plain = Exchange(f.port, Post("{\"a\":1}", "Connection: close\r\n"));
        const std::string tls = ExchangeTls(f.port, Post("{\"a\":1}", "Connection: close\r\n"));
        EXPECT_EQ(plain.rfind("HTTP/1.1 200 ", 0), 0u) << plain;
        EXPECT_EQ(plain.substr(plain.find("\r\n\r\n")), tls.substr(tls.find("\r\n\r\n"))) << plain << tls;
        // Two requests on one TLS connection, and a refusal inside TLS.
        EXPECT_EQ(Count(ExchangeTls(f.port, Post("1") + Post("2", "Connection: close\r\n")), "HTTP/1.1 200 "), 2u);
        EXPECT_EQ(ExchangeTls(f.port, "POST /echo HTTP/1.1\r\nContent-Length: 101\r\n\r\n").rfind("HTTP/1.1 413 ", 0), 0u);
    }
    o.tls_only = true;
    Front only(o);
    const std::string refused = Exchange(only.port, Post("{}"));
    EXPECT_EQ(refused.rfind("HTTP/1.1 426 ", 0), 0u) << refused;
    EXPECT_EQ(Count(refused, "HTTP/1.1 "), 1u);
    EXPECT_EQ(ExchangeTls(only.port, Post("{}", "Connection: close\r\n")).rfind("HTTP/1.1 200 ", 0), 0u);

    // A front given a key it cannot read does not start.
    o.tls_key = files.dir + "/missing.pem";
    std::string error;
    EXPECT_EQ(StartHttpFront(o, {}, error), nullptr);
    EXPECT_NE(error.find("missing.pem"), std::string::npos) << error;
}

TEST(HttpFraming, AStalledHandshakeIsClosedAtTheDeadlineAndHoldsNoWorker)
{
    TlsFiles files;
    HttpFrontOptions o;
    o.tls_cert = files.cert;
    o.tls_key = files.key;
    o.request_deadline_ms = 1000;
    o.workers = 1;
    Front f(o);
    // A TLS record header and part of a hello, then nothing; one more that
    // dribbles a byte every 200 ms, which must not move its deadline.
    const char hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00};
    std::vector<int> stalled;
    for (int i = 0; i < 20; i++) {
        stalled.push_back(Connect(f.port));
        send(stalled.back(), hello, sizeof(hello), MSG_NOSIGNAL);
    }
    const int dribble = Connect(f.port);
    send(dribble, hello, sizeof(hello), MSG_NOSIGNAL);
    const auto t0 = std::chrono::steady_clock::now();
    // The one worker still answers others, plain and TLS.
    EXPECT_EQ(Exchange(f.port, Post("{}", "Connection: close\r\n")).rfind("HTTP/1.1 200 ", 0), 0u);
    EXPECT_EQ(ExchangeTls(f.port, Post("{}", "Connection: close\r\n")).rfind("HTTP/1.1 200 ", 0), 0u);
    bool dribble_closed = false;
    while (!dribble_closed && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(6)) {
        send(dribble, "\x01", 1, MSG_NOSIGNAL);
        pollfd p{dribble, POLLIN, 0};
        char c;
        dribble_closed = poll(&p, 1, 200) == 1 && recv(dribble, &c, 1, MSG_DONTWAIT) <= 0;
    }
    EXPECT_TRUE(dribble_closed);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(6));
    for (int fd : stalled) {
        EXPECT_EQ(ReadAll(fd, 5000), ""); // closed without an answer
        pollfd p{fd, POLLIN, 0};
        char c;
        EXPECT_TRUE(poll(&p, 1, 0) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) <= 0);
        close(fd);
    }
    close(dribble);
}

namespace {

// Reads one whole answer (head and Content-Length bytes) from a connection
// that stays open; "" when the peer closed or went silent first.
std::string ReadAnswer(int fd)
{
    std::string got;
    char buf[4096];
    for (;;) {
        const size_t head = got.find("\r\n\r\n");
        if (head != std::string::npos) {
            const size_t at = got.find("Content-Length: ");
            const size_t length = at == std::string::npos ? 0 : std::stoul(got.substr(at + 16));
            if (got.size() >= head + 4 + length)
                return got;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return std::string();
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            return std::string();
        got.append(buf, (size_t)n);
    }
}

} // namespace

TEST(HttpFraming, AKeptConnectionMayIdleLongerThanARequestMayTakeThenIsClosed)
{
    HttpFrontOptions o;
    o.request_deadline_ms = 600;
    o.idle_ms = 2500;
    Front f(o);
    // Silence between requests is measured against the idle time, not the
    // request deadline: a client that polls every second keeps its connection.
    const int fd = Connect(f.port);
    for (int i = 0; i < 3; i++) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const std::string q = Post("{\"n\":" + std::to_string(i) + "}");
        send(fd, q.data(), q.size(), MSG_NOSIGNAL);
        const std::string a = ReadAnswer(fd);
        EXPECT_EQ(a.rfind("HTTP/1.1 200 ", 0), 0u) << i << ": " << a;
        EXPECT_NE(a.find("Connection: keep-alive"), std::string::npos) << a;
    }
    // Once a request has begun, its own deadline runs again: a head left
    // half-sent is closed at the request deadline, well before the idle time.
    const std::string half = "POST /echo HTTP/1.1\r\nHost: x\r\n";
    send(fd, half.data(), half.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(ClosedByServer(fd, 2000));
    close(fd);

    // Left idle, a kept connection is closed at the idle time.
    const int idle = Connect(f.port);
    const std::string q = Post("{}");
    send(idle, q.data(), q.size(), MSG_NOSIGNAL);
    ASSERT_EQ(ReadAnswer(idle).rfind("HTTP/1.1 200 ", 0), 0u);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(ClosedByServer(idle, 8000));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
    close(idle);
}
