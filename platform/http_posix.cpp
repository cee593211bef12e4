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

std::string response_header(CURL* curl, const char* name) {
    curl_header* header = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return {};
    return header->value;
}

// The request headers as libcurl takes them; frees the list when the request is done.
class HeaderList {
  public:
    ~HeaderList() { curl_slist_free_all(list); }
    bool add(const std::string& header) {
        curl_slist* longer = curl_slist_append(list, header.c_str());
        if (longer == nullptr) return false;
        list = longer;
        return true;
    }
    curl_slist* get() const { return list; }

  private:
    curl_slist* list = nullptr;
};

}  // namespace

void http_global_init() { curl_global_init(CURL_GLOBAL_ALL); }

void http_global_cleanup() { curl_global_cleanup(); }

HttpClient::HttpClient() : handle(curl_easy_init()) {}

HttpClient::~HttpClient() {
    if (handle != nullptr) curl_easy_cleanup(static_cast<CURL*>(handle));
}

HttpResult HttpClient::get(const std::string& url, const HttpOptions& options, std::string& body) {
    HttpResult result;
    if (handle == nullptr) {
        result.error_code = CURLE_FAILED_INIT;
        result.error = curl_easy_strerror(CURLE_FAILED_INIT);
        return result;
    }
    CURL* curl = static_cast<CURL*>(handle);
    HeaderList headers;
    for (const auto& header : options.headers) {
        if (!headers.add(header)) {
            result.error_code = CURLE_OUT_OF_MEMORY;
            result.error = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
            return result;
        }
    }
    const size_t original_size = body.size();
    Sink sink{&body, options.max_body_bytes};
    char error_text[CURL_ERROR_SIZE] = "";

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_to_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
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
    // The handle outlives this call's buffers and header list; it must not point at them.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);

    if (code == CURLE_OK) {
        result.outcome = HttpOutcome::kAnswered;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
        result.etag = response_header(curl, "ETag");
        result.last_modified = response_header(curl, "Last-Modified");
        return result;
    }
    body.resize(original_size);
    result.error_code = code;
    result.error = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
    if (sink.too_large) {
        result.outcome = HttpOutcome::kTooLarge;
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
        result.outcome = HttpOutcome::kTimedOut;
    } else {
        result.outcome = HttpOutcome::kFailed;
    }
    return result;
}

}  // namespace platform
