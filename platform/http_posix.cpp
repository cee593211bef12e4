#include <curl/curl.h>

#include "platform/http.h"

namespace platform {
namespace {

struct Sink {
    std::string* body;
    std::uint64_t limit;
    bool too_large = false;
};

// Returning less than was offered makes libcurl abort the transfer with CURLE_WRITE_ERROR.
size_t append_to_body(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t bytes = size * count;
    if (sink->body->size() + bytes > sink->limit) {
        sink->too_large = true;
        return 0;
    }
    sink->body->append(data, bytes);
    return bytes;
}

}  // namespace

void http_global_init() { curl_global_init(CURL_GLOBAL_ALL); }

void http_global_cleanup() { curl_global_cleanup(); }

HttpClient::HttpClient() : handle(curl_easy_init()) {}

HttpClient::~HttpClient() {
    if (handle != nullptr) curl_easy_cleanup(static_cast<CURL*>(handle));
}

HttpResult HttpClient::get(const std::string& url, const HttpOptions& options, std::string& body) {
    if (handle == nullptr) return HttpResult::kFailed;
    CURL* curl = static_cast<CURL*>(handle);
    const size_t original_size = body.size();
    Sink sink{&body, options.max_body_bytes};

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_to_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_USERAGENT,
                     options.user_agent.empty() ? nullptr : options.user_agent.c_str());
    // The update runs on a worker thread; time-outs must not rely on signals.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options.connect_timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, options.stall_timeout_seconds);
    // Setting the option to null would switch certificate checks to no CA at all, not to the
    // default bundle, so it is only ever set to a file.
    if (!options.ca_bundle.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, options.ca_bundle.c_str());

    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) return HttpResult::kOk;
    body.resize(original_size);
    return sink.too_large ? HttpResult::kTooLarge : HttpResult::kFailed;
}

}  // namespace platform
