#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "platform/http.h"

namespace platform {
namespace {

class InternetHandle {
  public:
    explicit InternetHandle(HINTERNET h) : handle(h) {}
    ~InternetHandle() {
        if (handle != nullptr) WinHttpCloseHandle(handle);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return handle; }

  private:
    HINTERNET handle;
};

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

int milliseconds(long seconds) {
    const long long ms = static_cast<long long>(seconds) * 1000;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

// Sends one GET and appends its body; false on any failure, with `too_large` telling the cap apart.
bool transfer(HINTERNET session, const std::string& url, const HttpOptions& options,
              std::string& body, bool& too_large) {
    const std::wstring wide_url = widen(url);
    if (wide_url.empty()) return false;

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object = L"/";

    InternetHandle connection(WinHttpConnect(session, host.c_str(), parts.nPort, 0));
    if (connection.get() == nullptr) return false;
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              flags));
    if (request.get() == nullptr) return false;

    const int connect_ms = milliseconds(options.connect_timeout_seconds);
    const int stall_ms = milliseconds(options.stall_timeout_seconds);
    WinHttpSetTimeouts(request.get(), connect_ms, connect_ms, stall_ms, stall_ms);
    // The wait for the response headers has a time-out of its own.
    DWORD response_ms = static_cast<DWORD>(stall_ms);
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_ms,
                     sizeof(response_ms));
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                     sizeof(no_redirects));
    if (!options.user_agent.empty()) {
        const std::wstring header = L"User-Agent: " + widen(options.user_agent);
        WinHttpAddRequestHeaders(request.get(), header.c_str(), static_cast<DWORD>(-1),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
    }

    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }

    std::vector<char> chunk(64 * 1024);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) return false;
        if (available == 0) return true;
        if (available > chunk.size()) available = static_cast<DWORD>(chunk.size());
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), chunk.data(), available, &read)) return false;
        if (read == 0) return true;
        if (body.size() + read > options.max_body_bytes) {
            too_large = true;
            return false;
        }
        body.append(chunk.data(), read);
    }
}

}  // namespace

// WinHTTP needs no process-wide set-up: each session handle is self-contained.
void http_global_init() {}

void http_global_cleanup() {}

// The session is opened without an agent name, so only requests that ask for one carry a
// User-Agent header.
HttpClient::HttpClient()
    : handle(WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                         WINHTTP_NO_PROXY_BYPASS, 0)) {}

HttpClient::~HttpClient() {
    if (handle != nullptr) WinHttpCloseHandle(static_cast<HINTERNET>(handle));
}

HttpResult HttpClient::get(const std::string& url, const HttpOptions& options, std::string& body) {
    if (handle == nullptr) return HttpResult::kFailed;
    const size_t original_size = body.size();
    bool too_large = false;
    if (transfer(static_cast<HINTERNET>(handle), url, options, body, too_large)) {
        return HttpResult::kOk;
    }
    body.resize(original_size);
    return too_large ? HttpResult::kTooLarge : HttpResult::kFailed;
}

}  // namespace platform
