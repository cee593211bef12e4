#include "hashdb/database_update.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "console/logger.h"
#include "hashdb/hash_checker.h"
#include "hashdb/hash_database.h"
#include "platform/atomic_file.h"
#include "platform/http.h"

namespace {

constexpr const char* kUserAgent = "Quorvex/1.0";
constexpr std::string_view kHttps = "https://";
constexpr std::string_view kHttp = "http://";
constexpr std::string_view kFile = "file://";

platform::HttpOptions http_options(const UpdateSettings& settings, std::string user_agent,
                                   std::uint64_t cap) {
    platform::HttpOptions options;
    options.user_agent = std::move(user_agent);
    options.ca_bundle = settings.ca_bundle;
    options.connect_timeout_seconds = settings.connect_timeout_seconds;
    options.stall_timeout_seconds = settings.stall_timeout_seconds;
    options.max_body_bytes = cap;
    return options;
}

// 127.0.0.0/8 written as four decimal parts.
bool is_loopback_ipv4(std::string_view host) {
    int parts = 0;
    int first = -1;
    while (parts < 4) {
        std::size_t digits = 0;
        int value = 0;
        while (digits < host.size() && digits < 4 && host[digits] >= '0' && host[digits] <= '9') {
            value = value * 10 + (host[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        if (parts == 0) first = value;
        ++parts;
        host.remove_prefix(digits);
        if (parts < 4) {
            if (host.empty() || host.front() != '.') return false;
            host.remove_prefix(1);
        }
    }
    return host.empty() && first == 127;
}

// Whether a plain http URL names this machine, where nothing lies on the way to alter it.
bool is_loopback_url(std::string_view url) {
    std::string_view authority = url.substr(kHttp.size());
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    std::string_view host;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(1, close - 1);
        return host == "::1";
    }
    host = authority.substr(0, authority.find(':'));
    std::string lower(host);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "localhost" || is_loopback_ipv4(host);
}

// Why a URL may not be fetched, or empty when it may. A list over plain http could be altered on
// the way, and a poisoned list would have real files reported (and moved) as malware.
std::string refusal(std::string_view url, bool local_files_allowed) {
    if (url.starts_with(kHttps)) return {};
    if (url.starts_with(kHttp)) {
        if (is_loopback_url(url)) return {};
        return "refused: plain http can be altered on the way; use https (plain http is taken "
               "only from a loopback address)";
    }
    if (url.starts_with(kFile)) {
        if (local_files_allowed) return {};
        return "refused: an index fetched from a server may not name local files";
    }
    return "refused: not an https or file URL";
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The local path a file URL names ("file:///path", "file://localhost/path", "file:///C:/path"),
// with %XX escapes decoded; empty when it names another host.
std::string path_of_file_url(std::string_view url) {
    std::string_view rest = url.substr(kFile.size());
    if (rest.starts_with("localhost/")) rest.remove_prefix(std::string_view("localhost").size());
    std::string path;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && hex_value(rest[i + 1]) >= 0 &&
            hex_value(rest[i + 2]) >= 0) {
            path += static_cast<char>(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2]));
            i += 2;
        } else {
            path += rest[i];
        }
    }
    // "/C:/dir" names the drive's path where paths have drive letters.
    if (path.size() > 1 && path.front() == '/' &&
        std::filesystem::path(path.substr(1)).has_root_name()) {
        path.erase(0, 1);
    }
    if (path.empty() || !(path.front() == '/' || std::filesystem::path(path).has_root_name())) {
        return {};
    }
    return path;
}

std::string transfer_reason(const platform::HttpResult& result, std::uint64_t cap) {
    switch (result.outcome) {
        case platform::HttpOutcome::kAnswered:
            return "HTTP status " + std::to_string(result.status);
        case platform::HttpOutcome::kTimedOut:
            return "timed out" + (result.error.empty() ? "" : " (" + result.error + ")");
        case platform::HttpOutcome::kTooLarge:
            return "over the size cap of " + std::to_string(cap) + " bytes";
        case platform::HttpOutcome::kFailed:
            break;
    }
    if (result.error.empty())
        return "transport error (code " + std::to_string(result.error_code) + ")";
    return "transport error: " + result.error;
}

// Fetches one URL that passed refusal(): a local file, or an answer with a 2xx status.
bool fetch(platform::HttpClient& client, const std::string& url,
           const platform::HttpOptions& options, std::string& body, std::string& reason) {
    if (url.starts_with(kFile)) {
        const std::string path = path_of_file_url(url);
        if (path.empty()) {
            reason = url + ": names a file on another host";
            return false;
        }
        return read_list_file(path, body, reason, options.max_body_bytes);
    }
    const platform::HttpResult result = client.get(url, options, body);
    if (result.outcome == platform::HttpOutcome::kAnswered && result.status >= 200 &&
        result.status <= 299) {
        return true;
    }
    reason = url + ": " + transfer_reason(result, options.max_body_bytes);
    return false;
}

bool write_text_file(const std::string& path, const std::string& text, std::string& reason) {
    platform::AtomicFileWriter writer{std::filesystem::path(path)};
    if (writer.ok()) {
        writer.stream().write(text.data(), static_cast<std::streamsize>(text.size()));
        if (writer.commit()) return true;
    }
    reason = path + ": cannot be written";
    return false;
}

// Removes a file when it goes out of scope, if it is still there.
class RemoveOnExit {
  public:
    explicit RemoveOnExit(std::string path) : path(std::move(path)) {}
    ~RemoveOnExit() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

  private:
    std::string path;
};

// Replaces the text file, the binary file and the database in use, or none of them. The new
// database is read back from its staged file before anything is replaced; should the binary file
// not take its place after the text did, the old text is put back.
bool install(HashChecker& checker, const DatabaseFiles& files, const std::string& text,
             const std::vector<unsigned char>& sorted, std::string& reason) {
    const std::string staged = files.staged_binary();
    RemoveOnExit cleanup(staged);
    if (!write_database_file({reinterpret_cast<const char*>(sorted.data()), sorted.size()}, staged,
                             reason)) {
        return false;
    }
    HashDatabase fresh;
    const LoadResult read_back = HashDatabase::read(staged, fresh);
    if (!read_back) {
        reason = read_back.error;
        return false;
    }
    std::optional<std::string> old_text;
    {
        std::string content;
        std::string ignored;
        if (read_list_file(files.text, content, ignored)) old_text = std::move(content);
    }
    if (!write_text_file(files.text, text, reason)) return false;
    if (!platform::sync_and_replace(staged, files.binary)) {
        reason = files.binary + ": cannot be replaced";
        std::string ignored;
        if (old_text) {
            write_text_file(files.text, *old_text, ignored);
        } else {
            std::error_code ignored_error;
            std::filesystem::remove(files.text, ignored_error);
        }
        return false;
    }
    checker.replace(std::move(fresh));
    return true;
}

UpdateResult failed(UpdateResult result, std::string reason) {
    result.status = UpdateResult::Status::kFailed;
    result.reason = std::move(reason);
    return result;
}

}  // namespace

std::vector<std::string> parse_update_index(std::string_view body) {
    std::vector<std::string> urls;
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view line = body.substr(start, end - start);
        if (line.starts_with("http") || line.starts_with(kFile)) urls.emplace_back(line);
        start = body.find_first_not_of("\r\n", end);
        if (start == std::string_view::npos) break;
    }
    return urls;
}

std::string describe(const UpdateResult& result) {
    return std::to_string(result.lists) + (result.lists == 1 ? " list, " : " lists, ") +
           describe(result.counts);
}

DatabaseUpdater::DatabaseUpdater(Logger& logger, UpdateSettings settings)
    : logger(logger), settings(std::move(settings)) {}

UpdateResult DatabaseUpdater::update(HashChecker& checker, const DatabaseFiles& files) {
    UpdateResult result;
    platform::HttpClient client;
    if (!client.ok()) return failed(result, "the HTTP library could not be set up");

    if (list_urls.empty()) {
        const std::string& index_url = settings.index_url;
        if (const std::string why = refusal(index_url, true); !why.empty()) {
            return failed(result, index_url + ": " + why);
        }
        std::string body;
        std::string reason;
        if (!fetch(client, index_url, http_options(settings, kUserAgent, settings.max_body_bytes),
                   body, reason)) {
            return failed(result, reason);
        }
        std::vector<std::string> urls = parse_update_index(body);
        if (urls.empty()) return failed(result, index_url + ": names no hash list");
        list_urls = std::move(urls);
        index_is_local = index_url.starts_with(kFile);
    }
    result.lists = list_urls.size();
    for (const auto& url : list_urls) {
        if (const std::string why = refusal(url, index_is_local); !why.empty()) {
            return failed(result, url + ": " + why);
        }
    }

    logger.log("Downloading hash updates");
    std::string text;
    std::vector<unsigned char> records;
    HashListCounts total;
    std::uint64_t downloaded = 0;
    for (const auto& url : list_urls) {
        std::string body;
        std::string reason;
        const auto options = http_options(settings, "", settings.max_body_bytes - downloaded);
        if (!fetch(client, url, options, body, reason)) return failed(result, reason);
        downloaded += body.size();
        const HashListCounts counts = decode_hash_lines(body, records);
        logger.log("Hash list " + url + ": " + describe(counts));
        if (counts.sha256 == 0) return failed(result, url + ": " + no_hash_reason(counts));
        total += counts;
        // A list without a final line break must not run into the next one.
        text += body;
        if (!body.empty() && body.back() != '\n') text += '\n';
    }
    logger.log("Converting txt to bin DB (" + describe(total) + ")");
    sort_records(records);
    std::string reason;
    if (!install(checker, files, text, records, reason)) return failed(result, reason);
    result.status = UpdateResult::Status::kUpdated;
    result.counts = total;
    return result;
}
