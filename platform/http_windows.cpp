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

std::string narrow(const wchar_t* text, int length) {
    if (length <= 0) return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

int milliseconds(long seconds) {
    const long long ms = static_cast<long long>(seconds) * 1000;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

// The system's words for a WinHTTP or Win32 error; WinHTTP keeps its messages in its own module.
std::string error_text(DWORD code) {
    wchar_t* buffer = nullptr;
    // With both sources given, the module's table is searched first, then the system's.
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD length = FormatMessageW(flags, GetModuleHandleW(L"winhttp.dll"), code, 0,
                                        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = narrow(buffer, static_cast<int>(length));
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

// A response header as text, or empty when the answer has none.
std::string response_header(HINTERNET request, DWORD which) {
    DWORD bytes = 0;
    WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &bytes, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
    std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    return narrow(value.data(), static_cast<int>(bytes / sizeof(wchar_t)));
}

// Sends one GET and appends its body. False on any failure, with the system's error code in
// `error` (0 when the body outgrew the cap).
bool transfer(HINTERNET session, const std::string& url, const HttpOptions& options,
              std::string& body, HttpResult& result, DWORD& error) {
    error = ERROR_WINHTTP_INVALID_URL;
    const std::wstring wide_url = widen(url);
    if (wide_url.empty()) return false;

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) {
        error = GetLastError();
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        error = ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
        return false;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object = L"/";

    InternetHandle connection(WinHttpConnect(session, host.c_str(), parts.nPort, 0));
    if (connection.get() == nullptr) {
        error = GetLastError();
        return false;
    }
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              flags));
    if (request.get() == nullptr) {
        error = GetLastError();
        return false;
    }

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
    std::vector<std::string> headers;
    if (!options.user_agent.empty()) headers.push_back("User-Agent: " + options.user_agent);
    headers.insert(headers.end(), options.headers.begin(), options.headers.end());
    for (const auto& header : headers) {
        const std::wstring wide = widen(header);
        if (!WinHttpAddRequestHeaders(request.get(), wide.c_str(), static_cast<DWORD>(-1),
                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            error = GetLastError();
            return false;
        }
    }

    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        error = GetLastError();
        return false;
    }
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                             WINHTTP_NO_HEADER_INDEX)) {
        error = GetLastError();
        return false;
    }
    result.status = static_cast<long>(status);
    result.etag = response_header(request.get(), WINHTTP_QUERY_ETAG);
    result.last_modified = response_header(request.get(), WINHTTP_QUERY_LAST_MODIFIED);

    std::vector<char> chunk(64 * 1024);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            error = GetLastError();
            return false;
        }
        if (available == 0) return true;
        if (available > chunk.size()) available = static_cast<DWORD>(chunk.size());
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), chunk.data(), available, &read)) {
            error = GetLastError();
            return false;
        }
        if (read == 0) return true;
        if (body.size() + read > options.max_body_bytes) {
            error = 0;
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
    HttpResult result;
    if (handle == nullptr) {
        result.error_code = ERROR_WINHTTP_INTERNAL_ERROR;
        result.error = error_text(ERROR_WINHTTP_INTERNAL_ERROR);
        return result;
    }
    const size_t original_size = body.size();
    DWORD error = 0;
    if (transfer(static_cast<HINTERNET>(handle), url, options, body, result, error)) {
        result.outcome = HttpOutcome::kAnswered;
        return result;
    }
    body.resize(original_size);
    result.status = 0;
    result.etag.clear();
    result.last_modified.clear();
    if (error == 0) {
        result.outcome = HttpOutcome::kTooLarge;
        return result;
    }
    // Wine's WinHTTP reports a stalled answer as the socket's time-out rather than its own.
    const bool timed_out = error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT;
    result.outcome = timed_out ? HttpOutcome::kTimedOut : HttpOutcome::kFailed;
    result.error_code = static_cast<long>(error);
    result.error = error_text(error);
    return result;
}

}  // namespace platform
