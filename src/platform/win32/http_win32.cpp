// HTTP POST through WinHTTP, synchronous, one fresh session per call.
#include "platform/platform.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>

bool HttpPost(const char* host, uint16_t port, const std::wstring& path, const std::string& body,
              uint32_t& status, std::string& response)
{
    HINTERNET session = WinHttpOpen(L"Kestrel/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        return false;
    WinHttpSetTimeouts(session, 8000, 8000, 8000, 8000);

    const std::wstring whost(host, host + strlen(host)); // an IPv4 literal: ASCII
    HINTERNET connection = WinHttpConnect(session, whost.c_str(), port, 0);
    if (!connection) {
        WinHttpCloseHandle(session);
        return false;
    }
    HINTERNET request = WinHttpOpenRequest(connection, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (!request) {
        WinHttpCloseHandle(connection);
        WinHttpCloseHandle(session);
        return false;
    }
    const DWORD length = (DWORD)body.size();
    if (!WinHttpSendRequest(request, L"Content-Type: application/json\r\n", (DWORD)-1L, (LPVOID)body.data(), length,
                            length, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        WinHttpCloseHandle(request);
        WinHttpCloseHandle(connection);
        WinHttpCloseHandle(session);
        return false;
    }

    DWORD code = 0;
    DWORD code_size = sizeof(code);
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &code, &code_size, WINHTTP_NO_HEADER_INDEX);

    std::string got;
    bool too_big = false;
    for (;;) {
        DWORD available = 0;
        WinHttpQueryDataAvailable(request, &available);
        if (available == 0)
            break;
        if (available > kHttpMaxReplyBytes - got.size()) {
            too_big = true;
            break;
        }
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (WinHttpReadData(request, chunk.data(), available, &read))
            got.append(chunk.data(), read);
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    if (too_big)
        return false;
    status = code;
    response = std::move(got);
    return true;
}
