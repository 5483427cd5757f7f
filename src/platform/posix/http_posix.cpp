// HTTP POST on Linux through libcurl, kept to WinHTTP's observable behaviour:
// same request line and headers, result contract, one overall deadline. The
// connections are kept between requests, one request at a time on each.
#include "platform/platform.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>


namespace {

struct Sink
{
    std::string data;
    bool too_big = false;
};

size_t Append(char* bytes, size_t size, size_t count, void* user)
{
    Sink& sink = *static_cast<Sink*>(user);
    const size_t n = size * count;
    if (n > kHttpMaxReplyBytes - sink.data.size()) {
        sink.too_big = true;
        return 0; // a short count makes libcurl abort the transfer
    }
    sink.data.append(bytes, n);
    return n;
}

// Paths are ASCII literals; anything else is encoded as UTF-8.
std::string Utf8(const std::wstring& text)
{
    std::string out;
    for (wchar_t wc : text) {
        const uint32_t c = (uint32_t)wc;
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Once, at start-up on the main thread, as libcurl asks: it is not
// thread-safe, and OpenSSL's exit-time clean-up then frees on the thread that
// allocated (set up from a worker, it raced that worker's last writes).
const bool g_curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;

// The body goes out through a read callback with no way back: libcurl then
// cannot resend a request whose body bytes it wrote. It still reopens once,
// on its own, a kept connection that failed before any of the body went out,
// which the service cannot have acted on.
struct Upload
{
    const std::string* body;
    size_t at = 0;
};

size_t ReadBody(char* out, size_t size, size_t count, void* user)
{
    Upload& up = *static_cast<Upload*>(user);
    const size_t n = std::min(size * count, up.body->size() - up.at);
    memcpy(out, up.body->data() + up.at, n);
    up.at += n;
    return n;
}

// TLS sessions shared by every connection to one address, so a second
// connection, or one reopened after the service closed the last, resumes.
struct Share
{
    CURLSH* handle = nullptr;
    std::mutex locks[CURL_LOCK_DATA_LAST];
    Share()
    {
        handle = curl_share_init();
        if (!handle)
            return;
        curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, Lock);
        curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, Unlock);
        curl_share_setopt(handle, CURLSHOPT_USERDATA, this);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~Share()
    {
        if (handle)
            curl_share_cleanup(handle);
    }
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user)
    {
        static_cast<Share*>(user)->locks[data].lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* user) { static_cast<Share*>(user)->locks[data].unlock(); }
};

// An easy handle keeps the connection its last request used.
struct Kept
{
    CURL* curl = nullptr;
    std::shared_ptr<Share> share; // outlives the handle that uses it
    int64_t idle_since_ns = 0;
    ~Kept()
    {
        if (curl)
            curl_easy_cleanup(curl);
    }
};

struct Pool
{
    std::shared_ptr<Share> share;
    std::vector<std::unique_ptr<Kept>> idle; // the most recently used last
};

// Never destroyed: a detached worker may still give a connection back while
// the process exits, after static destructors have run.
std::mutex& g_lock = *new std::mutex;
std::map<std::string, Pool>& g_pools = *new std::map<std::string, Pool>; // by scheme, host, port and pin
uint64_t g_generation = 0;           // moved on by HttpCloseConnections
std::atomic<uint64_t> g_opened{0}, g_resumed{0};

// Takes an idle handle of `key`, the most recently used, or makes one.
std::unique_ptr<Kept> Take(const std::string& key, uint64_t& generation)
{
    std::vector<std::unique_ptr<Kept>> stale;
    std::unique_ptr<Kept> kept;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        generation = g_generation;
        Pool& pool = g_pools[key];
        const int64_t now = SteadyNowNs();
        for (auto it = pool.idle.begin(); it != pool.idle.end();) {
            if (now - (*it)->idle_since_ns > (int64_t)kHttpKeptIdleMs * 1000000) {
                stale.push_back(std::move(*it));
                it = pool.idle.erase(it);
            } else {
                ++it;
            }
        }
        if (!pool.idle.empty()) {
            kept = std::move(pool.idle.back());
            pool.idle.pop_back();
        } else {
            if (!pool.share)
                pool.share = std::make_shared<Share>();
            kept.reset(new Kept);
            kept->share = pool.share;
        }
    }
    if (!kept->curl) {
        kept->curl = curl_easy_init();
        if (kept->curl && kept->share->handle)
            curl_easy_setopt(kept->curl, CURLOPT_SHARE, kept->share->handle);
    }
    return kept; // `stale` closes its connections here, outside the lock
}

// Keeps a handle whose request was answered, unless the connections were
// closed meanwhile (sign-out) or enough of its kind wait already.
void GiveBack(const std::string& key, std::unique_ptr<Kept> kept, uint64_t generation)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (generation != g_generation)
        return;
    Pool& pool = g_pools[key];
    if (pool.idle.size() >= kHttpKeptPerPort || kept->share != pool.share)
        return;
    kept->idle_since_ns = SteadyNowNs();
    pool.idle.push_back(std::move(kept));
}

// Whether the connection a request goes out on resumed its TLS session; read
// while the transfer holds the connection (afterwards libcurl has let go of it).
int NoteResumed(void* user, char*, char*, int, int)
{
    CURL* curl = static_cast<CURL*>(static_cast<void**>(user)[0]);
    bool& resumed = *static_cast<bool*>(static_cast<void**>(user)[1]);
    curl_tlssessioninfo* info = nullptr;
    resumed = curl_easy_getinfo(curl, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info &&
              info->backend == CURLSSLBACKEND_OPENSSL && info->internals &&
              SSL_session_reused(static_cast<SSL*>(info->internals));
    return CURL_PREREQFUNC_OK;
}

// Counts the connection a request opened, and whether its TLS session was resumed.
void CountConnection(CURL* curl, bool resumed)
{
    long connects = 0;
    if (curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects) != CURLE_OK || connects <= 0)
        return;
    g_opened.fetch_add((uint64_t)connects);
    if (resumed)
        g_resumed.fetch_add(1);
}

} // namespace

bool HttpPost(const char* host, uint16_t port, const std::wstring& path, const std::string& body,
              const std::string& pin, uint32_t& status, std::string& response)
{
    if (!g_curl_ready)
        return false;

    const bool secure = !pin.empty();
    const std::string origin = std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port);
    const std::string key = origin + " " + pin;
    uint64_t generation = 0;
    std::unique_ptr<Kept> kept = Take(key, generation);
    CURL* curl = kept->curl;
    if (!curl)
        return false;
    const std::string url = origin + Utf8(path);
    // libcurl's own default headers are switched off so the server sees only
    // what WinHTTP sends: Host, User-Agent, Content-Type and Content-Length.
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept:");
    headers = curl_slist_append(headers, "Expect:");
    Sink sink;
    Upload upload{&body};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http");
    const std::string pinned = "sha256//" + pin;
    if (secure) {
        // The key alone is trusted: libcurl compares it right after every
        // handshake, a resumed one included (the session keeps the
        // certificate it was made with), and sends nothing to any other;
        // names and issuers of a self-signed certificate for an IP address
        // mean nothing here.
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pinned.c_str());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1_2);
    }
    curl_easy_setopt(curl, CURLOPT_PROXY, ""); // never through a proxy from the environment
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadBody);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.size());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Kestrel/1.0");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // One connection per handle, given up before the service's idle time-out
    // could cut it under a request.
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, (long)(kHttpKeptIdleMs / 1000));
    // One deadline from connection to last byte: a server that drips or
    // stalls cannot hold a worker or the heartbeat past it.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, (long)kHttpDeadlineMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, (long)kHttpDeadlineMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

    bool resumed = false;
    void* note[2] = {curl, &resumed};
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, NoteResumed);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, note);

    const CURLcode rc = curl_easy_perform(curl);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    CountConnection(curl, resumed);
    // Nothing of this request may outlive it in the handle.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, nullptr);
    curl_slist_free_all(headers);

    // Only a whole reply is an answer: a status line followed by a stall or a
    // cut-off body is no answer, never an empty 200.
    if (rc != CURLE_OK || sink.too_big || code == 0)
        return false; // the handle and whatever is left of its connection close
    GiveBack(key, std::move(kept), generation);
    status = (uint32_t)code;
    response = std::move(sink.data);
    return true;
}

void HttpCloseConnections()
{
    std::map<std::string, Pool> closing;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_generation++;
        closing.swap(g_pools);
    }
}

HttpConnectionCounts HttpCountConnections()
{
    HttpConnectionCounts c;
    c.opened = g_opened.load();
    c.resumed = g_resumed.load();
    return c;
}
