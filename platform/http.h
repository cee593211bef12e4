// HTTP(S) downloads for the database update: libcurl on Linux, WinHTTP on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Process-wide set-up and tear-down of the HTTP library; one call each per run.
void http_global_init();
void http_global_cleanup();

struct HttpOptions {
    std::string user_agent;  // empty: the request carries no User-Agent header
    std::string ca_bundle;   // PEM file of CAs to trust instead of the system's; empty: system's.
                             // Only the libcurl build reads it.
    long connect_timeout_seconds = 30;
    long stall_timeout_seconds = 60;  // a transfer without any progress for this long fails
    // The body string may not grow beyond this many bytes (counting what it held before the call).
    std::uint64_t max_body_bytes = 512ull << 20;
    std::vector<std::string> headers;  // further request headers, each "Name: value"
};

enum class HttpOutcome {
    kAnswered,  // a complete answer arrived; `status` says what it is, the body was appended
    kTimedOut,  // the connection or the transfer made no progress within its time-out
    kFailed,    // no complete answer: bad URL, name lookup, connection, TLS or protocol failure
    kTooLarge,  // the body would have grown beyond max_body_bytes
};

struct HttpResult {
    HttpOutcome outcome = HttpOutcome::kFailed;
    long status = 0;            // the HTTP status of an answer
    long error_code = 0;        // for a failure: the libcurl code, or the WinHTTP/system error
    std::string error;          // for a failure: the library's or the system's own words, if any
    std::string etag;           // the answer's ETag header; empty when it has none
    std::string last_modified;  // the answer's Last-Modified header; empty when it has none
};

// One connection-reusing client for a series of GET requests. Redirects are not followed.
class HttpClient {
  public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // False when the library could not create its handle; get() then always fails.
    bool ok() const { return handle != nullptr; }

    // Appends the response body to `body`, whatever the HTTP status. On any outcome but
    // kAnswered, `body` is restored to what it held before the call, so a broken transfer never
    // leaves part of a response behind.
    HttpResult get(const std::string& url, const HttpOptions& options, std::string& body);

  private:
    void* handle = nullptr;
};

}  // namespace platform
