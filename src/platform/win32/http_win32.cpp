// HTTP POST through WinHTTP. One session and connection handle per address,
// port and pin live as long as the plugin (or until sign-out), so WinHTTP
// keeps their sockets between requests and resumes TLS sessions through the
// system's cache. The session runs in WinHTTP's asynchronous mode only so
// that the caller can wait on each step with what is left of one overall
// deadline: synchronous WinHTTP limits each wait, not the request, so a
// server dripping headers or body could hold the caller for as long as it
// liked.
#include "platform/platform.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

// Shared with WinHTTP's callback. Freed by the callback on the request
// handle's closing notice, the last one WinHTTP sends, since a step abandoned
// at the deadline may still complete after the caller has returned.
struct Call
{
    HANDLE done = nullptr; // auto-reset: one completion per step
    bool ok = false;       // the step's outcome
    DWORD error = 0;       // a failed step's reason
    DWORD count = 0;       // bytes available or read
    char buffer[16384];
};

std::atomic<uint64_t> g_opened{0};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD info_size)
{
    Call* call = reinterpret_cast<Call*>(context);
    if (!call)
        return;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        g_opened.fetch_add(1);
        return;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
        call->ok = true;
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        call->ok = true;
        call->count = info ? *static_cast<DWORD*>(info) : 0;
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        call->ok = true;
        call->count = info_size;
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        call->ok = false;
        call->error = info ? static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError : 0;
        break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        CloseHandle(call->done);
        delete call;
        return;
    default:
        return;
    }
    SetEvent(call->done);
}

// Waits for the step just started; false when it failed or the deadline passed.
bool Finish(Call* call, BOOL started, ULONGLONG deadline)
{
    if (!started)
        return false;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline)
        return false;
    return WaitForSingleObject(call->done, (DWORD)(deadline - now)) == WAIT_OBJECT_0 && call->ok;
}

std::string Base64(const BYTE* data, DWORD size)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (DWORD i = 0; i < size; i += 3) {
        const uint32_t v = (uint32_t)data[i] << 16 | (i + 1 < size ? (uint32_t)data[i + 1] << 8 : 0) |
                           (i + 2 < size ? data[i + 2] : 0);
        out += digits[v >> 18 & 63];
        out += digits[v >> 12 & 63];
        out += i + 1 < size ? digits[v >> 6 & 63] : '=';
        out += i + 2 < size ? digits[v & 63] : '=';
    }
    return out;
}

enum class KeyCheck { Pinned, Other, Unknown };

// Whether the certificate the server showed on this request carries the
// pinned key: SHA-256 over its SubjectPublicKeyInfo, as HPKP and libcurl take it.
KeyCheck ServerKey(HINTERNET request, const std::string& pin)
{
    PCCERT_CONTEXT cert = nullptr;
    DWORD size = sizeof(cert);
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size) || !cert)
        return KeyCheck::Unknown;
    BYTE* spki = nullptr;
    DWORD spki_size = 0;
    BYTE hash[32];
    DWORD hash_size = sizeof(hash);
    const bool hashed =
        CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &cert->pCertInfo->SubjectPublicKeyInfo,
                            CRYPT_ENCODE_ALLOC_FLAG, nullptr, &spki, &spki_size) &&
        CryptHashCertificate2(L"SHA256", 0, nullptr, spki, spki_size, hash, &hash_size) && hash_size == 32;
    if (spki)
        LocalFree(spki);
    CertFreeCertificateContext(cert);
    return hashed && Base64(hash, 32) == pin ? KeyCheck::Pinned : KeyCheck::Other;
}

// The handles kept for one address, port and pin; closed when the last
// request using them ends after sign-out dropped them.
struct Kept
{
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    // The server proved to hold the pinned key once: its self-signed
    // certificate's name, issuer and dates are let pass from the start, and
    // the key is still compared on every request before its body.
    std::atomic<bool> proven{false};
    ~Kept()
    {
        if (connection)
            WinHttpCloseHandle(connection);
        if (session)
            WinHttpCloseHandle(session);
    }
};

// Never destroyed: a detached worker may still use a connection while the
// process exits, after static destructors have run.
std::mutex& g_lock = *new std::mutex;
std::map<std::string, std::shared_ptr<Kept>>& g_kept = *new std::map<std::string, std::shared_ptr<Kept>>;

std::shared_ptr<Kept> KeptFor(const char* host, uint16_t port, const std::string& pin)
{
    const std::string key = std::string(host) + ":" + std::to_string(port) + " " + pin;
    std::lock_guard<std::mutex> hold(g_lock);
    std::shared_ptr<Kept>& kept = g_kept[key];
    if (kept && kept->connection)
        return kept;
    kept = std::make_shared<Kept>();
    kept->session = WinHttpOpen(L"Kestrel/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!kept->session)
        return kept;
    WinHttpSetTimeouts(kept->session, kHttpDeadlineMs, kHttpDeadlineMs, kHttpDeadlineMs, kHttpDeadlineMs);
    const std::wstring whost(host, host + strlen(host)); // an IPv4 literal: ASCII
    kept->connection = WinHttpConnect(kept->session, whost.c_str(), port, 0);
    return kept;
}

const DWORD kIgnoreNames = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                           SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;

enum class Sent { Head, Refused, Failed };

// Sends the head only; the body follows once the key proved the pinned one.
// A self-signed certificate for an IP address fails the system's checks, so
// the first attempt to a server not yet proven ends after the handshake with
// nothing sent; its key is compared and only then are its name, issuer and
// dates let pass for a second attempt, whose key is compared again before
// the body goes. Where the system keeps no certificate of a refused
// handshake (Wine), and on a new connection to a server proven earlier, the
// head goes out before the comparison; the body never does.
Sent SendPinned(HINTERNET request, Call* call, DWORD_PTR context, const std::string& pin, DWORD length,
                ULONGLONG deadline, Kept& kept)
{
    const wchar_t* head = L"Content-Type: application/json\r\n";
    DWORD ignore = kIgnoreNames;
    if (kept.proven.load() && !WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof(ignore)))
        return Sent::Failed;
    if (!Finish(call, WinHttpSendRequest(request, head, (DWORD)-1L, WINHTTP_NO_REQUEST_DATA, 0, length, context),
                deadline)) {
        // Wine reports a refused certificate as a channel error.
        if (call->error != ERROR_WINHTTP_SECURE_FAILURE && call->error != ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
            return Sent::Failed;
        if (ServerKey(request, pin) == KeyCheck::Other)
            return Sent::Refused;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof(ignore)) ||
            !Finish(call, WinHttpSendRequest(request, head, (DWORD)-1L, WINHTTP_NO_REQUEST_DATA, 0, length, context),
                    deadline))
            return Sent::Failed;
    }
    if (ServerKey(request, pin) != KeyCheck::Pinned)
        return Sent::Refused;
    kept.proven.store(true);
    return Sent::Head;
}

enum class Outcome { Answered, Unsent, Lost };

// One request on the kept connection. Unsent: it failed before the whole
// body went out, so the server cannot have acted on it.
Outcome PostOnce(Kept& kept, const std::wstring& path, const std::string& body, const std::string& pin,
                 ULONGLONG deadline, DWORD& code, std::string& got)
{
    HINTERNET request = WinHttpOpenRequest(kept.connection, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, pin.empty() ? 0 : WINHTTP_FLAG_SECURE);
    if (!request)
        return Outcome::Lost;
    Call* call = new Call;
    call->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call);
    if (!call->done ||
        WinHttpSetStatusCallback(request, OnStatus,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                                     WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK ||
        !WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
        // No callback will ever free it.
        if (call->done)
            CloseHandle(call->done);
        delete call;
        WinHttpSetStatusCallback(request, nullptr, 0, 0);
        WinHttpCloseHandle(request);
        return Outcome::Lost;
    }

    // The body always goes out apart from the head, through WinHttpWriteData:
    // WinHTTP then holds no copy it could send a second time by itself.
    const DWORD length = (DWORD)body.size();
    Outcome outcome = Outcome::Unsent;
    bool sent = false;
    if (pin.empty()) {
        sent = Finish(call,
                      WinHttpSendRequest(request, L"Content-Type: application/json\r\n", (DWORD)-1L,
                                         WINHTTP_NO_REQUEST_DATA, 0, length, context),
                      deadline);
    } else {
        const Sent head = SendPinned(request, call, context, pin, length, deadline, kept);
        if (head == Sent::Refused)
            outcome = Outcome::Lost; // another key: never tried again
        sent = head == Sent::Head;
    }
    sent = sent && (length == 0 || Finish(call, WinHttpWriteData(request, body.data(), length, nullptr), deadline));
    bool whole = sent;
    if (sent) {
        outcome = Outcome::Lost; // from here the server may have it
        whole = Finish(call, WinHttpReceiveResponse(request, nullptr), deadline);
    }
    if (whole) {
        DWORD code_size = sizeof(code);
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_size, WINHTTP_NO_HEADER_INDEX);
        for (;;) {
            call->count = 0;
            if (!Finish(call, WinHttpQueryDataAvailable(request, nullptr), deadline)) {
                whole = false;
                break;
            }
            if (call->count == 0)
                break; // the end of the body
            if (call->count > kHttpMaxReplyBytes - got.size()) {
                whole = false;
                break;
            }
            const DWORD want = call->count < sizeof(call->buffer) ? call->count : (DWORD)sizeof(call->buffer);
            if (!Finish(call, WinHttpReadData(request, call->buffer, want, nullptr), deadline)) {
                whole = false;
                break;
            }
            got.append(call->buffer, call->count);
        }
    }
    // From here on `call` belongs to the callback.
    WinHttpCloseHandle(request);
    return whole ? Outcome::Answered : outcome;
}

} // namespace

bool HttpPost(const char* host, uint16_t port, const std::wstring& path, const std::string& body,
              const std::string& pin, uint32_t& status, std::string& response)
{
    const ULONGLONG deadline = GetTickCount64() + kHttpDeadlineMs;
    const std::shared_ptr<Kept> kept = KeptFor(host, port, pin);
    if (!kept->connection)
        return false;
    DWORD code = 0;
    std::string got;
    // A kept socket the server closed fails the send; once, on a fresh one.
    Outcome outcome = PostOnce(*kept, path, body, pin, deadline, code, got);
    if (outcome == Outcome::Unsent && GetTickCount64() < deadline) {
        code = 0;
        got.clear();
        outcome = PostOnce(*kept, path, body, pin, deadline, code, got);
    }
    if (outcome != Outcome::Answered)
        return false;
    status = code;
    response = std::move(got);
    return true;
}

void HttpCloseConnections()
{
    std::map<std::string, std::shared_ptr<Kept>> closing;
    std::lock_guard<std::mutex> hold(g_lock);
    closing.swap(g_kept);
}

HttpConnectionCounts HttpCountConnections()
{
    HttpConnectionCounts c;
    c.opened = g_opened.load();
    return c;
}
