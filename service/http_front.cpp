#include "http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

constexpr size_t kMaxHead = 16 * 1024;
constexpr uint64_t kListenId = 0;
constexpr uint64_t kWakeId = 1;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------
// Framing
// ---------------------------------------------------------------------------

bool EqualNoCase(const std::string& a, const char* b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

std::string Trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t'))
        a++;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t'))
        b--;
    return s.substr(a, b - a);
}

bool IsToken(const std::string& s)
{
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (c <= ' ' || c >= 127 || strchr("()<>@,;:\\\"/[]?={}", c))
            return false;
    return true;
}

// Every comma-separated item of a Content-Length value must be the same
// number; a disagreement anywhere is a request smuggling attempt or a broken
// peer, and is refused rather than guessed at.
bool MergeLength(const std::string& value, long long& length)
{
    size_t at = 0;
    do {
        size_t comma = value.find(',', at);
        if (comma == std::string::npos)
            comma = value.size();
        const std::string item = Trim(value.substr(at, comma - at));
        if (item.empty() || item.size() > 15 || item.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const long long v = std::stoll(item);
        if (length >= 0 && v != length)
            return false;
        length = v;
        at = comma + 1;
    } while (at <= value.size());
    return true;
}

const char* Reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::string Render(const HttpAnswer& a, bool keep_alive)
{
    std::string out = "HTTP/1.1 " + std::to_string(a.status) + " " + Reason(a.status) +
                      "\r\nContent-Type: " + a.content_type + "\r\nContent-Length: " + std::to_string(a.body.size()) +
                      (keep_alive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
    out += a.body;
    return out;
}

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

HttpParse ParseHttpRequest(const std::string& in, size_t max_body, HttpRequest& req, size_t& used, bool& keep_alive,
                           int& status)
{
    size_t start = 0;
    while (start + 1 < in.size() && in[start] == '\r' && in[start + 1] == '\n')
        start += 2; // empty lines before a request are allowed
    const size_t end = in.find("\r\n\r\n", start);
    if (end == std::string::npos) {
        if (in.size() - start > kMaxHead) {
            status = 431;
            return HttpParse::Refused;
        }
        return HttpParse::Incomplete;
    }
    if (end - start > kMaxHead) {
        status = 431;
        return HttpParse::Refused;
    }
    status = 400;
    const std::string head = in.substr(start, end - start);
    size_t line_end = head.find("\r\n");
    const std::string first = head.substr(0, line_end);
    const size_t sp1 = first.find(' ');
    const size_t sp2 = first.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos || first.find(' ', sp2 + 1) != std::string::npos)
        return HttpParse::Refused;
    const std::string method = first.substr(0, sp1);
    const std::string target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = first.substr(sp2 + 1);
    if (!IsToken(method) || target.empty() || target[0] != '/' || (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return HttpParse::Refused;
    for (unsigned char c : target)
        if (c <= ' ' || c >= 127)
            return HttpParse::Refused;

    long long length = -1;
    bool close = version == "HTTP/1.0", keep = false;
    std::string content_type;
    size_t at = line_end == std::string::npos ? head.size() : line_end + 2;
    while (at < head.size()) {
        size_t e = head.find("\r\n", at);
        if (e == std::string::npos)
            e = head.size();
        const std::string line = head.substr(at, e - at);
        at = e + 2;
        const size_t colon = line.find(':');
        // No folded lines, no space before the colon, no bare CR or LF.
        if (colon == std::string::npos || !IsToken(line.substr(0, colon)) ||
            line.find_first_of("\r\n") != std::string::npos)
            return HttpParse::Refused;
        const std::string name = line.substr(0, colon);
        const std::string value = Trim(line.substr(colon + 1));
        if (EqualNoCase(name, "Content-Length")) {
            if (!MergeLength(value, length))
                return HttpParse::Refused;
        } else if (EqualNoCase(name, "Transfer-Encoding")) {
            status = 501; // never sent by the client; refused, not guessed at
            return HttpParse::Refused;
        } else if (EqualNoCase(name, "Connection")) {
            std::string v = value;
            for (char& c : v)
                c = (char)tolower((unsigned char)c);
            close = close || v.find("close") != std::string::npos;
            keep = keep || v.find("keep-alive") != std::string::npos;
        } else if (EqualNoCase(name, "Content-Type")) {
            content_type = value;
        }
    }
    if (length < 0)
        length = 0;
    if ((size_t)length > max_body) {
        status = 413;
        return HttpParse::Refused;
    }
    const size_t total = end + 4 + (size_t)length;
    if (in.size() < total)
        return HttpParse::Incomplete;
    req.method = method;
    const size_t q = target.find('?');
    req.path = target.substr(0, q);
    req.query = q == std::string::npos ? std::string() : target.substr(q + 1);
    req.content_type = content_type;
    req.body = in.substr(end + 4, (size_t)length);
    used = total;
    keep_alive = version == "HTTP/1.1" ? !close : keep && !close;
    status = 0;
    return HttpParse::Complete;
}

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

struct Connection
{
    int fd = -1;
    uint32_t ip = 0;
    std::string in;
    std::string out;
    size_t out_at = 0;
    int64_t deadline_ns = 0;
    bool busy = false;        // a handler has its request
    bool close_after = false; // close once `out` is written
    bool peer_done = false;   // the peer half-closed
    uint32_t watching = 0;    // epoll events asked for
};

struct Job
{
    uint64_t id;
    const HttpRoute* route;
    HttpRequest req;
    bool keep_alive;
};

struct Finished
{
    uint64_t id;
    std::string bytes;
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

struct HttpFront
{
    HttpFrontOptions o;
    std::vector<HttpRoute> routes;
    int listen_fd = -1, ep = -1, wake = -1;
    std::atomic<bool> stop{false};
    std::thread loop;
    Pool cheap, costly;
    std::mutex finished_lock;
    std::vector<Finished> finished;
    std::unordered_map<uint64_t, Connection> conns;
    std::unordered_map<uint32_t, int> per_ip;
    uint64_t next_id = 2;
    bool accepting = true;
    int64_t resume_ns = 0;
};

namespace {

std::string ErrorBody(HttpFront& f, int status)
{
    return f.o.error_body ? f.o.error_body(status) : std::string();
}

void Watch(HttpFront& f, uint64_t id, Connection& c)
{
    uint32_t want = 0;
    if (c.out_at < c.out.size())
        want = EPOLLOUT;
    else if (!c.busy && !c.peer_done)
        want = EPOLLIN;
    if (want == c.watching)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = id;
    epoll_ctl(f.ep, EPOLL_CTL_MOD, c.fd, &ev);
    c.watching = want;
}

void Close(HttpFront& f, uint64_t id)
{
    auto it = f.conns.find(id);
    if (it == f.conns.end())
        return;
    epoll_ctl(f.ep, EPOLL_CTL_DEL, it->second.fd, nullptr);
    close(it->second.fd);
    auto ip = f.per_ip.find(it->second.ip);
    if (ip != f.per_ip.end() && --ip->second <= 0)
        f.per_ip.erase(ip);
    f.conns.erase(it);
}

void Advance(HttpFront& f, uint64_t id);

// Writes what it can; returns false when the connection was closed.
bool Flush(HttpFront& f, uint64_t id, Connection& c)
{
    while (c.out_at < c.out.size()) {
        const ssize_t n = send(c.fd, c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_NOSIGNAL);
        if (n > 0) {
            c.out_at += (size_t)n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Watch(f, id, c);
            return true;
        }
        Close(f, id);
        return false;
    }
    c.out.clear();
    c.out_at = 0;
    if (c.close_after) {
        Close(f, id);
        return false;
    }
    c.deadline_ns = NowNs() + (int64_t)f.o.request_deadline_ms * 1000000;
    Watch(f, id, c);
    return true;
}

void Send(HttpFront& f, uint64_t id, Connection& c, std::string bytes, bool keep_alive)
{
    c.busy = false;
    c.out = std::move(bytes);
    c.out_at = 0;
    c.close_after = c.close_after || !keep_alive;
    c.deadline_ns = NowNs() + (int64_t)f.o.write_deadline_ms * 1000000;
    if (Flush(f, id, c))
        Advance(f, id); // a pipelined request may already be waiting
}

void Refuse(HttpFront& f, uint64_t id, Connection& c, int status)
{
    HttpAnswer a;
    a.status = status;
    a.body = ErrorBody(f, status);
    Send(f, id, c, Render(a, false), false);
}

bool Queue(HttpFront& f, Pool& pool, Job job)
{
    std::lock_guard<std::mutex> hold(pool.lock);
    if (pool.jobs.size() >= f.o.queue_limit)
        return false;
    pool.jobs.push_back(std::move(job));
    pool.ready.notify_one();
    return true;
}

// Takes the next whole request off the connection's input, if any, and hands
// it to a pool; one request at a time, so answers go out in order.
void Advance(HttpFront& f, uint64_t id)
{
    auto it = f.conns.find(id);
    if (it == f.conns.end())
        return;
    Connection& c = it->second;
    if (c.busy || c.out_at < c.out.size())
        return;
    HttpRequest req;
    size_t used = 0;
    bool keep_alive = false;
    int status = 0;
    switch (ParseHttpRequest(c.in, f.o.max_body, req, used, keep_alive, status)) {
    case HttpParse::Incomplete:
        if (c.peer_done)
            Close(f, id); // half a request and nothing more coming
        else
            Watch(f, id, c);
        return;
    case HttpParse::Refused:
        c.in.clear();
        Refuse(f, id, c, status);
        return;
    case HttpParse::Complete:
        break;
    }
    c.in.erase(0, used);
    char addr[INET_ADDRSTRLEN] = {};
    const in_addr a{htonl(c.ip)};
    inet_ntop(AF_INET, &a, addr, sizeof(addr));
    req.remote_addr = addr;
    const HttpRoute* route = nullptr;
    for (const HttpRoute& r : f.routes)
        if (r.path == req.path && r.method == req.method)
            route = &r;
    if (!route) {
        HttpAnswer none;
        none.status = 404;
        none.body = ErrorBody(f, 404);
        Send(f, id, c, Render(none, keep_alive), keep_alive);
        return;
    }
    c.busy = true;
    Watch(f, id, c);
    if (!Queue(f, route->costly ? f.costly : f.cheap, Job{id, route, std::move(req), keep_alive}))
        Refuse(f, id, c, 503);
}

void Read(HttpFront& f, uint64_t id, Connection& c)
{
    const size_t cap = kMaxHead + f.o.max_body + 4096;
    char buf[16384];
    while (c.in.size() < cap) {
        const ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
        if (n > 0) {
            c.in.append(buf, (size_t)n);
            continue;
        }
        if (n == 0) {
            c.peer_done = true; // answered all the same, then closed
            break;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        Close(f, id);
        return;
    }
    Advance(f, id);
}

void Accept(HttpFront& f)
{
    while (f.accepting) {
        if ((int)f.conns.size() >= f.o.max_connections) {
            f.accepting = false; // the rest wait in the listen queue
            break;
        }
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        const int fd = accept4(f.listen_fd, (sockaddr*)&from, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                f.accepting = false;
                f.resume_ns = NowNs() + 100000000;
            }
            break;
        }
        const uint32_t ip = ntohl(from.sin_addr.s_addr);
        int& held = f.per_ip[ip];
        if (held >= f.o.per_address) {
            close(fd);
            continue;
        }
        held++;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        const uint64_t id = f.next_id++;
        Connection& c = f.conns[id];
        c.fd = fd;
        c.ip = ip;
        c.deadline_ns = NowNs() + (int64_t)f.o.request_deadline_ms * 1000000;
        c.watching = EPOLLIN;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = id;
        epoll_ctl(f.ep, EPOLL_CTL_ADD, fd, &ev);
    }
    if (!f.accepting) {
        epoll_event ev{};
        ev.data.u64 = kListenId;
        epoll_ctl(f.ep, EPOLL_CTL_MOD, f.listen_fd, &ev); // level-triggered: stop asking
    }
}

void ResumeAccepting(HttpFront& f, int64_t now)
{
    if (f.accepting || (int)f.conns.size() >= f.o.max_connections || now < f.resume_ns)
        return;
    f.accepting = true;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenId;
    epoll_ctl(f.ep, EPOLL_CTL_MOD, f.listen_fd, &ev);
}

void TakeFinished(HttpFront& f)
{
    std::vector<Finished> done;
    {
        std::lock_guard<std::mutex> hold(f.finished_lock);
        done.swap(f.finished);
    }
    for (Finished& d : done) {
        auto it = f.conns.find(d.id);
        if (it != f.conns.end()) // the peer may have gone meanwhile
            Send(f, d.id, it->second, std::move(d.bytes), d.keep_alive);
    }
}

// Connections past their deadline: a request that did not arrive whole, an
// idle keep-alive, or an answer the peer would not take. Not while a handler
// runs: that time is the service's own.
void Sweep(HttpFront& f, int64_t now)
{
    std::vector<uint64_t> late;
    for (const auto& [id, c] : f.conns)
        if (!c.busy && now > c.deadline_ns)
            late.push_back(id);
    for (uint64_t id : late)
        Close(f, id);
}

void Loop(HttpFront* front)
{
    HttpFront& f = *front;
    epoll_event events[256];
    int64_t last_sweep = NowNs();
    while (!f.stop.load()) {
        const int n = epoll_wait(f.ep, events, 256, 100);
        for (int i = 0; i < n; i++) {
            const uint64_t id = events[i].data.u64;
            if (id == kListenId) {
                Accept(f);
                continue;
            }
            if (id == kWakeId) {
                uint64_t count = 0;
                if (read(f.wake, &count, sizeof(count)) < 0) {
                    // nothing pending: the answers are taken below either way
                }
                continue;
            }
            auto it = f.conns.find(id);
            if (it == f.conns.end())
                continue;
            Connection& c = it->second;
            if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                Close(f, id);
                continue;
            }
            if (events[i].events & EPOLLOUT) {
                if (Flush(f, id, c))
                    Advance(f, id);
                continue;
            }
            if (events[i].events & EPOLLIN)
                Read(f, id, c);
        }
        TakeFinished(f);
        const int64_t now = NowNs();
        if (now - last_sweep >= 100000000) {
            Sweep(f, now);
            ResumeAccepting(f, now);
            last_sweep = now;
        }
    }
}

void Work(HttpFront* front, Pool* pool, bool costly)
{
    if (costly) // hashing yields the CPU to cheap requests
        setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), 10);
    HttpFront& f = *front;
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
            answer = HttpAnswer();
            answer.status = 500;
            answer.body = ErrorBody(f, 500);
        }
        {
            std::lock_guard<std::mutex> hold(f.finished_lock);
            f.finished.push_back(Finished{job.id, Render(answer, job.keep_alive), job.keep_alive});
        }
        const uint64_t one = 1;
        if (write(f.wake, &one, sizeof(one)) < 0) {
            // the counter is full: the event thread is awake already
        }
    }
}

void StopPool(Pool& pool)
{
    {
        std::lock_guard<std::mutex> hold(pool.lock);
        pool.stop = true;
        pool.jobs.clear();
    }
    pool.ready.notify_all();
    for (std::thread& t : pool.threads)
        t.join();
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

} // namespace

HttpFront* StartHttpFront(const HttpFrontOptions& options, std::vector<HttpRoute> routes, std::string& error)
{
    RaiseFileLimit();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options.port);
    if (inet_pton(AF_INET, options.bind.c_str(), &addr.sin_addr) != 1) {
        error = "bad bind address " + options.bind;
        return nullptr;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = strerror(errno);
        return nullptr;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, (const sockaddr*)&addr, sizeof(addr)) != 0 || listen(fd, options.backlog) != 0) {
        error = "cannot bind TCP " + options.bind + ":" + std::to_string(options.port) + ": " + strerror(errno);
        close(fd);
        return nullptr;
    }
    HttpFront* f = new HttpFront;
    f->o = options;
    f->routes = std::move(routes);
    f->listen_fd = fd;
    f->ep = epoll_create1(EPOLL_CLOEXEC);
    f->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenId;
    epoll_ctl(f->ep, EPOLL_CTL_ADD, fd, &ev);
    ev.data.u64 = kWakeId;
    epoll_ctl(f->ep, EPOLL_CTL_ADD, f->wake, &ev);
    for (int i = 0; i < options.workers; i++)
        f->cheap.threads.emplace_back(Work, f, &f->cheap, false);
    for (int i = 0; i < options.costly_workers; i++)
        f->costly.threads.emplace_back(Work, f, &f->costly, true);
    f->loop = std::thread(Loop, f);
    return f;
}

void StopHttpFront(HttpFront* front)
{
    if (!front)
        return;
    front->stop.store(true);
    front->loop.join();
    StopPool(front->cheap);
    StopPool(front->costly);
    for (auto& [id, c] : front->conns)
        close(c.fd);
    close(front->listen_fd);
    close(front->ep);
    close(front->wake);
    delete front;
}
