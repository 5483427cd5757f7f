// HTTP POST on Linux through libcurl, kept to WinHTTP's observable behaviour:
// same request line and headers, result contract, one overall deadline.
#include "platform/platform.h"

#include <curl/curl.h>


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

} // namespace

bool HttpPost(const char* host, uint16_t port, const std::wstring& path, const std::string& body,
              const std::string& pin, uint32_t& status, std::string& response)
{
    if (!g_curl_ready)
        return false;

    CURL* curl = curl_easy_init();
    if (!curl)
        return false;
    const bool secure = !pin.empty();
    const std::string url = std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port) + Utf8(path);
    // libcurl's own default headers are switched off so the server sees only
    // what WinHTTP sends: Host, User-Agent, Content-Type and Content-Length.
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept:");
    headers = curl_slist_append(headers, "Expect:");
    Sink sink;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http");
    const std::string pinned = "sha256//" + pin;
    if (secure) {
        // The key alone is trusted: libcurl compares it right after the
        // handshake and sends nothing to any other; names and issuers of a
        // self-signed certificate for an IP address mean nothing here.
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pinned.c_str());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1_2);
    }
    curl_easy_setopt(curl, CURLOPT_PROXY, ""); // never through a proxy from the environment
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.size());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Kestrel/1.0");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // One deadline from connection to last byte: a server that drips or
    // stalls cannot hold a worker or the heartbeat past it.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, (long)kHttpDeadlineMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, (long)kHttpDeadlineMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

    const CURLcode rc = curl_easy_perform(curl);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);

    // Only a whole reply is an answer: a status line followed by a stall or a
    // cut-off body is no answer, never an empty 200.
    if (rc != CURLE_OK || sink.too_big || code == 0)
        return false;
    status = (uint32_t)code;
    response = std::move(sink.data);
    return true;
}
