#include "front/http_front.h"
#include "log/log.h"
#include "metrics/metrics.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/detect_ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

// Request line and header fields, empty lines before them included.
constexpr size_t kMaxHead = 16 * 1024;

// PROXY protocol v2: 12 signature bytes, version/command, family, length.
constexpr unsigned char kProxySignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr size_t kProxyFixed = 16;
constexpr size_t kMaxProxyHeader = kProxyFixed + 1024; // addresses plus a few TLVs

enum class ProxyParse { NeedMore, Bad, Done };

// Reads a v2 header at the front of `data`. A PROXY command over TCP/IPv4
// gives the carried source address (`ip`, `set`); a LOCAL command (the
// balancer's own health check) carries none. `used` is the header's length.
ProxyParse ParseProxyV2(const unsigned char* data, size_t size, uint32_t& ip, bool& set, size_t& used)
{
    if (size == 0)
        return ProxyParse::NeedMore;
    const size_t seen = std::min(size, sizeof(kProxySignature));
    if (memcmp(data, kProxySignature, seen) != 0)
        return ProxyParse::Bad;
    if (size < kProxyFixed)
        return ProxyParse::NeedMore;
    const unsigned version = data[12] >> 4, command = data[12] & 0x0F;
    const size_t length = ((size_t)data[14] << 8) | data[15];
    if (version != 2 || command > 1 || kProxyFixed + length > kMaxProxyHeader)
        return ProxyParse::Bad;
    if (size < kProxyFixed + length)
        return ProxyParse::NeedMore;
    used = kProxyFixed + length;
    set = false;
    if (command == 0) // LOCAL
        return ProxyParse::Done;
    if (data[13] != 0x11 || length < 12) // only TCP over IPv4 is served
        return ProxyParse::Bad;
    ip = ((uint32_t)data[16] << 24) | ((uint32_t)data[17] << 16) | ((uint32_t)data[18] << 8) | data[19];
    set = true;
    return ProxyParse::Done;
}

// ---------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------

int Hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string UrlDecode(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && Hex(s[i + 1]) >= 0 && Hex(s[i + 2]) >= 0) {
            out += (char)(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool FindParam(const std::string& text, const char* name, std::string& out)
{
    size_t at = 0;
    while (at <= text.size()) {
        size_t amp = text.find('&', at);
        if (amp == std::string::npos)
            amp = text.size();
        const std::string pair = text.substr(at, amp - at);
        const size_t eq = pair.find('=');
        if (UrlDecode(pair.substr(0, eq)) == name) {
            out = eq == std::string::npos ? std::string() : UrlDecode(pair.substr(eq + 1));
            return true;
        }
        at = amp + 1;
    }
    return false;
}

} // namespace

std::string HttpParam(const HttpRequest& req, const char* name)
{
    std::string v;
    if (FindParam(req.query, name, v))
        return v;
    if (req.content_type.rfind("application/x-www-form-urlencoded", 0) == 0 && FindParam(req.body, name, v))
        return v;
    return std::string();
}

// ---------------------------------------------------------------------------
// Server
// ---------------------------------------------------------------------------

namespace {

struct Connection;

struct Job
{
    std::shared_ptr<Connection> conn;
    const HttpRoute* route;
    HttpRequest req;
    bool keep_alive;
};

struct Pool
{
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Job> jobs;
    std::vector<std::thread> threads;
    bool stop = false;
};

} // namespace

// Everything but the pools is touched by the event thread alone.
struct HttpFront
{
    HttpFrontOptions o;
    std::vector<HttpRoute> routes;
    std::shared_ptr<ssl::context> tls; // for new connections; each keeps the one it began with
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer resume{io};
    std::thread loop;
    Pool cheap, costly;
    std::unordered_map<uint32_t, int> per_ip;
    int open = 0;
    HttpCounters own;             // stands in when the caller keeps no figures
    HttpCounters* counts = &own;
    bool accepting = false, waiting = false, stopping = false, draining = false;
    std::atomic<int> busy{0}; // requests read and not yet answered
    LogLimit handshake_log;
    uint16_t port = 0;
};

namespace {

void Accept(HttpFront& f);

const char* Reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 426: return "Upgrade Required";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// A refused head or body: what the peer is told.
int RefusalStatus(const error_code& ec)
{
    if (ec == http::error::header_limit)
        return 431;
    if (ec == http::error::body_limit)
        return 413;
    return 400;
}

// Refusals by cause, for the metrics page.
void Count(HttpFront& f, std::atomic<uint64_t> HttpCounters::*cause)
{
    AddOwn(f.counts->*cause, 1);
}

void CountOpen(HttpFront& f, int delta)
{
    f.open += delta;
    f.counts->open_connections.store(f.open, std::memory_order_relaxed);
}

// True for the parser's own verdicts (a malformed or oversized request), as
// against the connection failing or the deadline closing it.
bool IsRefusal(const error_code& ec)
{
    return ec.category() == http::make_error_code(http::error::bad_method).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message && ec != http::error::need_more;
}

// One connection: detection of TLS, then requests one at a time. A deadline
// covers each request from the end of the previous answer (or the accept) to
// its last body byte, the handshake included; bytes that trickle in do not
// move it. While a handler runs the clock is stopped: that time is ours.
struct Connection : std::enable_shared_from_this<Connection>
{
    HttpFront& f;
    tcp::socket sock;
    std::shared_ptr<ssl::context> context; // outlives the stream made with it
    std::unique_ptr<ssl::stream<tcp::socket>> tls;
    uint32_t ip;
    bool counted; // holds a place in per_ip (a balancer's connection: once its header is read)
    asio::steady_timer timer;
    beast::flat_buffer in;
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> out;
    size_t skipped = 0; // empty lines before the current request
    bool closed = false;
    bool served = false; // answered a request: silence before the next one is idling
    bool idling = false; // kept alive, no byte of the next request yet: the idle deadline runs
    enum Phase { kRequest, kHandler, kWriting, kClosing } phase = kRequest;
    char drain[512];
    // What the request log says of the one being answered.
    std::string log_method, log_path;
    std::chrono::steady_clock::time_point log_start;

    static bool Busy(Phase p) { return p == kHandler || p == kWriting; }
    void SetPhase(Phase p)
    {
        f.busy.fetch_add((int)Busy(p) - (int)Busy(phase));
        phase = p;
    }

    Connection(HttpFront& front, tcp::socket s, uint32_t addr, bool holds_place)
        : f(front), sock(std::move(s)), ip(addr), counted(holds_place), timer(front.io),
          in(kMaxHead + front.o.max_body + 4096)
    {
    }

    std::string RemoteAddress() const
    {
        return asio::ip::address_v4(ip).to_string();
    }

    tcp::socket& Raw() { return tls ? tls->next_layer() : sock; }

    template <class Fn> void WithStream(Fn&& fn)
    {
        if (tls)
            fn(*tls);
        else
            fn(sock);
    }

    void Deadline(int ms)
    {
        timer.expires_after(std::chrono::milliseconds(ms));
        timer.async_wait([self = shared_from_this()](const error_code& ec) {
            if (!ec)
                self->TimedOut();
        });
    }

    // A kept-alive connection left silent is closed like any other, but it was
    // not refused anything; nor was one whose last answer is already out.
    void TimedOut()
    {
        const bool idle = served && !parser && in.size() == 0 && skipped == 0;
        if (!closed && (phase == kWriting || (phase == kRequest && !idle)))
            Count(f, &HttpCounters::refused_deadline);
        Close();
    }

    void Start()
    {
        Deadline(f.o.request_deadline_ms);
        if (f.o.proxy_protocol)
            return ReadProxyHeader();
        Detect();
    }

    void Detect()
    {
        beast::async_detect_ssl(sock, in, [self = shared_from_this()](const error_code& ec, bool is_tls) {
            self->Detected(ec, is_tls);
        });
    }

    // The balancer's header, within the request deadline; then the peer it
    // names is held to the per-address cap like a direct one.
    void ReadProxyHeader()
    {
        uint32_t carried = 0;
        bool set = false;
        size_t used = 0;
        const ProxyParse r =
            ParseProxyV2((const unsigned char*)in.data().data(), in.size(), carried, set, used);
        if (r == ProxyParse::Bad) {
            Count(f, &HttpCounters::refused_malformed);
            return Close();
        }
        if (r == ProxyParse::NeedMore) {
            sock.async_read_some(in.prepare(kMaxProxyHeader - in.size()),
                                 [self = shared_from_this()](const error_code& e, size_t got) {
                                     if (e || self->closed)
                                         return self->Close();
                                     self->in.commit(got);
                                     self->ReadProxyHeader();
                                 });
            return;
        }
        in.consume(used);
        if (set) {
            ip = carried;
            int& held = f.per_ip[ip];
            if (held >= f.o.per_address) {
                if (held == 0)
                    f.per_ip.erase(ip);
                Count(f, &HttpCounters::refused_per_address);
                return Close();
            }
            held++;
            counted = true;
        }
        Detect();
    }

    void Detected(const error_code& ec, bool is_tls)
    {
        if (ec || closed)
            return Close();
        if (!is_tls) {
            if (f.o.tls_only)
                return Refuse(426);
            return Next();
        }
        if (!f.tls) { // a handshake where none can be made: nothing to answer it with
            Count(f, &HttpCounters::refused_tls);
            return Close();
        }
        context = f.tls;
        tls = std::make_unique<ssl::stream<tcp::socket>>(std::move(sock), *context);
        tls->async_handshake(ssl::stream_base::server, in.data(),
                             [self = shared_from_this()](const error_code& e, size_t used) {
                                 if (self->closed)
                                     return;
                                 if (e) {
                                     Count(self->f, &HttpCounters::refused_tls);
                                     LogLimited(self->f.handshake_log, LogLevel::Warn,
                                                "TLS handshake failed on the " + self->f.o.name + " port from " +
                                                    self->RemoteAddress() + ": " + e.message() + " (" +
                                                    std::to_string(self->f.counts->refused_tls.load()) +
                                                    " failed since start)");
                                     return self->Close();
                                 }
                                 self->in.consume(used);
                                 self->Next();
                             });
    }

    // Empty lines may come before a request; they count toward its head.
    void Next()
    {
        for (;;) {
            const char* p = (const char*)in.data().data();
            const size_t n = in.size();
            size_t k = 0;
            while (k + 1 < n && p[k] == '\r' && p[k + 1] == '\n')
                k += 2;
            in.consume(k);
            skipped += k;
            if (skipped > kMaxHead)
                return Refuse(431);
            if (in.size() > 1 || (in.size() == 1 && *(const char*)in.data().data() != '\r')) {
                // The next request has begun: from here it has the request
                // deadline, however long the connection idled before.
                if (idling) {
                    idling = false;
                    Deadline(f.o.request_deadline_ms);
                }
                break;
            }
            WithStream([&](auto& s) {
                s.async_read_some(in.prepare(2048), [self = shared_from_this()](const error_code& e, size_t got) {
                    if (e || self->closed)
                        return self->Close();
                    self->in.commit(got);
                    self->Next();
                });
            });
            return;
        }
        parser.emplace();
        parser->header_limit((uint32_t)(kMaxHead - skipped));
        parser->body_limit(f.o.max_body);
        WithStream([&](auto& s) {
            http::async_read_header(s, in, *parser, [self = shared_from_this()](const error_code& e, size_t) {
                self->Headed(e);
            });
        });
    }

    void Headed(const error_code& ec)
    {
        if (closed)
            return;
        if (ec)
            return IsRefusal(ec) ? Refuse(RefusalStatus(ec)) : Close();
        const auto& head = parser->get();
        if (head.version() != 11 && head.version() != 10)
            return Refuse(400);
        const beast::string_view target = head.target();
        if (target.empty() || target[0] != '/')
            return Refuse(400);
        for (unsigned char c : target)
            if (c <= ' ' || c >= 127)
                return Refuse(400);
        if (head.find(http::field::transfer_encoding) != head.end())
            return Refuse(501); // never sent by the client; refused, not guessed at
        WithStream([&](auto& s) {
            http::async_read(s, in, *parser, [self = shared_from_this()](const error_code& e, size_t) {
                self->Read(e);
            });
        });
    }

    void Read(const error_code& ec)
    {
        if (closed)
            return;
        if (ec)
            return IsRefusal(ec) ? Refuse(RefusalStatus(ec)) : Close();
        auto msg = parser->release();
        parser.reset();
        HttpRequest req;
        req.method = std::string(msg.method_string());
        const std::string target(msg.target());
        const size_t q = target.find('?');
        req.path = target.substr(0, q);
        req.query = q == std::string::npos ? std::string() : target.substr(q + 1);
        req.content_type = std::string(msg[http::field::content_type]);
        req.body = std::move(msg.body());
        req.remote_addr = RemoteAddress();
        const bool keep_alive = msg.keep_alive() && !f.draining;
        log_method = req.method;
        log_path = req.path; // never the query: links carry their token there
        log_start = std::chrono::steady_clock::now();
        const HttpRoute* route = nullptr;
        for (const HttpRoute& r : f.routes)
            if (r.path == req.path && r.method == req.method)
                route = &r;
        if (!route)
            return Answer(ErrorAnswer(404), keep_alive);
        timer.cancel();
        SetPhase(kHandler);
        Pool& pool = route->costly ? f.costly : f.cheap;
        {
            std::lock_guard<std::mutex> hold(pool.lock);
            if (pool.jobs.size() < f.o.queue_limit) {
                pool.jobs.push_back(Job{shared_from_this(), route, std::move(req), keep_alive});
                pool.ready.notify_one();
                return;
            }
        }
        Refuse(503);
    }

    HttpAnswer ErrorAnswer(int status)
    {
        HttpAnswer a;
        a.status = status;
        a.body = f.o.error_body ? f.o.error_body(status) : std::string();
        return a;
    }

    // The answer, then the connection is closed: the rest of the input is not trusted.
    void Refuse(int status)
    {
        if (log_path.empty())
            log_method = "-", log_path = "-", log_start = std::chrono::steady_clock::now();
        Count(f, status == 431 || status == 413 ? &HttpCounters::refused_size
                 : status == 503                ? &HttpCounters::refused_busy
                 : status == 426                ? &HttpCounters::refused_plain
                                                : &HttpCounters::refused_malformed);
        parser.reset();
        Answer(ErrorAnswer(status), false);
    }

    void Answer(const HttpAnswer& a, bool keep_alive_asked)
    {
        if (closed)
            return;
        bool keep_alive = keep_alive_asked;
        out = {};
        out.version(11);
        out.result((unsigned)a.status);
        out.reason(Reason(a.status));
        out.set(http::field::content_type, a.content_type);
        keep_alive = keep_alive && !f.draining;
        out.set(http::field::connection, keep_alive ? "keep-alive" : "close");
        if (f.o.log_requests) {
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - log_start).count();
            char took[32];
            snprintf(took, sizeof(took), "%.1f ms", ms);
            LogInfo("request " + f.o.name + " " + log_method + " " + log_path + " " + std::to_string(a.status) + " " +
                    took + " from " + RemoteAddress());
        }
        log_method.clear();
        log_path.clear();
        if (a.status == 426)
            out.set(http::field::upgrade, "TLS/1.2, HTTP/1.1");
        out.body() = a.body;
        out.prepare_payload();
        SetPhase(kWriting);
        Deadline(f.o.write_deadline_ms);
        WithStream([&](auto& s) {
            http::async_write(s, out, [self = shared_from_this(), keep_alive](const error_code& e, size_t) {
                self->Written(e, keep_alive);
            });
        });
    }

    void Written(const error_code& ec, bool keep_alive)
    {
        if (ec || closed)
            return Close();
        if (!keep_alive)
            return Finish();
        skipped = 0;
        served = true;
        SetPhase(kRequest);
        idling = true;
        Deadline(f.o.idle_ms);
        Next();
    }

    // A last answer must reach the peer before the close: TLS says so with
    // close_notify; plain stops sending and lets the peer finish, so unread
    // input does not reset the connection under the answer. Bounded by the
    // write deadline already running.
    void Finish()
    {
        SetPhase(kClosing);
        if (tls) {
            tls->async_shutdown([self = shared_from_this()](const error_code&) { self->Close(); });
            return;
        }
        error_code e;
        sock.shutdown(tcp::socket::shutdown_send, e);
        Drain();
    }

    void Drain()
    {
        sock.async_read_some(asio::buffer(drain), [self = shared_from_this()](const error_code& e, size_t) {
            if (e || self->closed)
                return self->Close();
            self->Drain();
        });
    }

    void Close()
    {
        if (closed)
            return;
        closed = true;
        SetPhase(kClosing);
        timer.cancel();
        error_code e;
        Raw().close(e);
        auto it = counted ? f.per_ip.find(ip) : f.per_ip.end();
        if (it != f.per_ip.end() && --it->second <= 0)
            f.per_ip.erase(it);
        CountOpen(f, -1);
        if (!f.accepting && !f.waiting && !f.stopping)
            Accept(f);
    }
};

bool OutOfDescriptors(const error_code& ec)
{
    return ec == asio::error::no_descriptors || ec.value() == ENFILE || ec == asio::error::no_buffer_space ||
           ec == asio::error::no_memory;
}

// One accept at a time; past the connection cap, or out of descriptors,
// new peers wait in the listen queue.
void Accept(HttpFront& f)
{
    if (f.stopping || f.open >= f.o.max_connections)
        return;
    f.accepting = true;
    f.acceptor.async_accept([&f](const error_code& ec, tcp::socket s) {
        f.accepting = false;
        if (f.stopping)
            return;
        if (ec) {
            if (OutOfDescriptors(ec)) {
                f.waiting = true;
                f.resume.expires_after(std::chrono::milliseconds(100));
                f.resume.async_wait([&f](const error_code& e) {
                    f.waiting = false;
                    if (!e && !f.accepting)
                        Accept(f);
                });
                return;
            }
            return Accept(f);
        }
        error_code e;
        const tcp::endpoint from = s.remote_endpoint(e);
        const uint32_t ip = e ? 0 : from.address().to_v4().to_uint();
        if (f.o.proxy_protocol && !e) {
            // The balancer's own address is every player's: the cap applies
            // to the address its header carries.
            CountOpen(f, 1);
            s.set_option(tcp::no_delay(true), e);
            std::make_shared<Connection>(f, std::move(s), ip, false)->Start();
            return Accept(f);
        }
        int& held = f.per_ip[ip];
        if (e || held >= f.o.per_address) {
            if (!e)
                Count(f, &HttpCounters::refused_per_address);
            if (held == 0)
                f.per_ip.erase(ip);
            s.close(e);
            return Accept(f);
        }
        held++;
        CountOpen(f, 1);
        s.set_option(tcp::no_delay(true), e);
        std::make_shared<Connection>(f, std::move(s), ip, true)->Start();
        Accept(f);
    });
}

void Work(HttpFront* front, Pool* pool, bool costly)
{
    if (costly) // hashing yields the CPU to cheap requests
        setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), 10);
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> hold(pool->lock);
            pool->ready.wait(hold, [pool] { return pool->stop || !pool->jobs.empty(); });
            if (pool->stop)
                return;
            job = std::move(pool->jobs.front());
            pool->jobs.pop_front();
        }
        HttpAnswer answer;
        try {
            answer = job.route->handler(job.req);
        } catch (...) {
            answer = job.conn->ErrorAnswer(500);
        }
        // The connection is the event thread's: the answer goes back to it.
        asio::post(front->io, [conn = std::move(job.conn), answer = std::move(answer), keep = job.keep_alive] {
            conn->Answer(answer, keep);
        });
    }
}

void StopPool(Pool& pool)
{
    {
        std::lock_guard<std::mutex> hold(pool.lock);
        pool.stop = true;
    }
    pool.ready.notify_all();
    for (std::thread& t : pool.threads)
        t.join();
    pool.jobs.clear();
}

// Room for every connection the caps allow, up to what the system grants.
void RaiseFileLimit()
{
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

// The newest OpenSSL reason on this thread's error queue, and the queue emptied.
std::string OpenSslReason()
{
    std::string out;
    while (const unsigned long e = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(e);
        if (reason && out.find(reason) == std::string::npos)
            out += (out.empty() ? "" : ", ") + std::string(reason);
    }
    return out.empty() ? std::string("unknown reason") : out;
}

// A file the system will not open, named with the system's reason.
bool Readable(const std::string& path, const char* what, std::string& error)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        error = std::string("cannot read the TLS ") + what + " " + path + ": " + strerror(errno);
        return false;
    }
    fclose(file);
    return true;
}

// TLS 1.2 and 1.3 with the operator's key; nullptr with a reason naming the file.
std::shared_ptr<ssl::context> MakeTls(const std::string& cert, const std::string& key, std::string& error)
{
    if (!Readable(cert, "certificate", error) || !Readable(key, "key", error))
        return nullptr;
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    SSL_CTX* native = ctx->native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(native, cert.c_str()) != 1) {
        error = "the TLS certificate " + cert + " does not load: " + OpenSslReason() + " (a PEM certificate?)";
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(native, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        const std::string why = OpenSslReason();
        error = why.find("mismatch") != std::string::npos
                    ? "the TLS key " + key + " is not the key of the certificate " + cert + " (" + why + ")"
                    : "the TLS key " + key + " does not load: " + why + " (a PEM private key?)";
        return nullptr;
    }
    if (SSL_CTX_check_private_key(native) != 1) {
        error = "the TLS key " + key + " is not the key of the certificate " + cert + ": " + OpenSslReason();
        return nullptr;
    }
    return ctx;
}

bool LoadTls(HttpFront& f, std::string& error)
{
    if (f.o.tls_cert.empty() && f.o.tls_key.empty())
        return true;
    f.tls = MakeTls(f.o.tls_cert, f.o.tls_key, error);
    return f.tls != nullptr;
}

} // namespace

HttpFront* StartHttpFront(const HttpFrontOptions& options, std::vector<HttpRoute> routes, std::string& error)
{
    RaiseFileLimit();
    std::unique_ptr<HttpFront> f(new HttpFront);
    f->o = options;
    f->routes = std::move(routes);
    if (!LoadTls(*f, error))
        return nullptr;
    error_code ec;
    const asio::ip::address_v4 addr = asio::ip::make_address_v4(options.bind, ec);
    if (ec) {
        error = "bad bind address " + options.bind;
        return nullptr;
    }
    const tcp::endpoint at(addr, options.port);
    f->acceptor.open(at.protocol(), ec);
    if (!ec)
        f->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        f->acceptor.bind(at, ec);
    if (!ec)
        f->acceptor.listen(options.backlog, ec);
    if (ec) {
        error = "cannot bind TCP " + options.bind + ":" + std::to_string(options.port) + ": " + ec.message();
        return nullptr;
    }
    f->port = f->acceptor.local_endpoint(ec).port();
    if (options.counters) {
        f->counts = options.counters;
        f->counts->front_fills.store(true);
    }
    HttpFront* front = f.release();
    for (int i = 0; i < options.workers; i++)
        front->cheap.threads.emplace_back(Work, front, &front->cheap, false);
    for (int i = 0; i < options.costly_workers; i++)
        front->costly.threads.emplace_back(Work, front, &front->costly, true);
    Accept(*front);
    front->loop = std::thread([front] { front->io.run(); });
    return front;
}

uint16_t HttpFrontPort(const HttpFront* front)
{
    return front ? front->port : 0;
}

void StopHttpFront(HttpFront* front)
{
    if (!front)
        return;
    asio::post(front->io, [front] {
        front->stopping = true;
        error_code e;
        front->acceptor.close(e);
        front->io.stop();
    });
    front->loop.join();
    StopPool(front->cheap);
    StopPool(front->costly);
    front->counts->open_connections.store(0);
    delete front; // pending handlers, and the connections they hold, go with the io context
}

void DrainHttpFront(HttpFront* front)
{
    if (!front)
        return;
    asio::post(front->io, [front] {
        front->draining = true;
        front->stopping = true; // no accept from here on
        error_code e;
        front->acceptor.close(e);
    });
}

int HttpFrontBusy(const HttpFront* front)
{
    return front ? front->busy.load() : 0;
}

bool ReloadHttpFrontTls(HttpFront* front, std::string& error)
{
    if (!front || front->o.tls_cert.empty())
        return true;
    std::shared_ptr<ssl::context> fresh = MakeTls(front->o.tls_cert, front->o.tls_key, error);
    if (!fresh)
        return false;
    asio::post(front->io, [front, fresh] { front->tls = fresh; });
    return true;
}

bool CheckTlsFiles(const std::string& cert, const std::string& key, std::string& summary, std::string& error)
{
    if (!MakeTls(cert, key, error))
        return false;
    summary.clear();
    FILE* file = fopen(cert.c_str(), "rb");
    X509* x = file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
    if (file)
        fclose(file);
    if (x) {
        char name[256] = "";
        X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, name, sizeof(name));
        BIO* bio = BIO_new(BIO_s_mem());
        ASN1_TIME_print(bio, X509_get0_notAfter(x));
        char until[64] = "";
        const int n = BIO_read(bio, until, sizeof(until) - 1);
        until[n > 0 ? n : 0] = 0;
        BIO_free(bio);
        char serial[80] = "";
        if (BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr)) {
            char* hex = BN_bn2hex(bn);
            snprintf(serial, sizeof(serial), "%s", hex ? hex : "");
            OPENSSL_free(hex);
            BN_free(bn);
        }
        summary = std::string("CN=") + name + ", serial " + serial + ", valid until " + until;
        X509_free(x);
    }
    ERR_clear_error();
    return true;
}
