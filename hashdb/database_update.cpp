#include "hashdb/database_update.h"

#include <charconv>
#include <filesystem>
#include <functional>
#include <map>
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

// "hashes.txt" as the update writes it: each list's text below a line naming its URL, so that a
// list its server calls unchanged can be taken from there instead of being downloaded again.
constexpr std::string_view kListMarker = "# list: ";

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
            if (result.status == 401 || result.status == 403) {
                return "needs a key (HTTP status " + std::to_string(result.status) + ")";
            }
            return "HTTP status " + std::to_string(result.status);
        case platform::HttpOutcome::kTimedOut:
            return "timed out" + (result.error.empty() ? "" : " (" + result.error + ")");
        case platform::HttpOutcome::kTooLarge:
            return "over the size cap of " + std::to_string(cap) + " bytes";
        case platform::HttpOutcome::kFailed:
            break;
    }
    if (result.error.empty()) {
        return "transport error (code " + std::to_string(result.error_code) + ")";
    }
    return "transport error: " + result.error;
}

// What a server said of the copy of a list that hashes.txt holds: its validators, and the length
// and fingerprint of that copy, so that they are used only with the very text they belong to.
struct ListState {
    std::string etag;
    std::string last_modified;
    std::size_t length = 0;
    std::size_t fingerprint = 0;

    bool operator==(const ListState&) const = default;
};
using ListStates = std::map<std::string, ListState, std::less<>>;

std::size_t fingerprint(std::string_view text) { return std::hash<std::string_view>{}(text); }

ListState state_of(std::string etag, std::string last_modified, std::string_view segment) {
    return {std::move(etag), std::move(last_modified), segment.size(), fingerprint(segment)};
}

bool describes(const ListState& state, std::string_view segment) {
    return state.length == segment.size() && state.fingerprint == fingerprint(segment);
}

// The state file: a comment line, then per list its URL, ETag, Last-Modified, length and
// fingerprint, separated by tabs. A line that does not read so is passed over: without its state
// a list is merely downloaded again.
ListStates read_states(const std::string& path) {
    ListStates states;
    std::string text;
    std::string ignored;
    if (!read_list_file(path, text, ignored)) return states;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = std::string_view(text).substr(start, end - start);
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;
        std::vector<std::string_view> fields;
        std::size_t at = 0;
        for (std::size_t tab; (tab = line.find('\t', at)) != std::string_view::npos; at = tab + 1) {
            fields.push_back(line.substr(at, tab - at));
        }
        fields.push_back(line.substr(at));
        if (fields.size() != 5) continue;
        ListState state{std::string(fields[1]), std::string(fields[2])};
        const auto number = [](std::string_view field, std::size_t& out) {
            const auto [end, error] =
                std::from_chars(field.data(), field.data() + field.size(), out);
            return error == std::errc() && end == field.data() + field.size();
        };
        if (!number(fields[3], state.length) || !number(fields[4], state.fingerprint)) continue;
        states.emplace(std::string(fields[0]), std::move(state));
    }
    return states;
}

bool write_states(const std::string& path, const ListStates& states) {
    platform::AtomicFileWriter writer{std::filesystem::path(path)};
    if (!writer.ok()) return false;
    writer.stream() << "# What the server of each hash list said of the copy in hashes.txt; "
                       "written by the update.\n";
    for (const auto& [url, state] : states) {
        writer.stream() << url << '\t' << state.etag << '\t' << state.last_modified << '\t'
                        << state.length << '\t' << state.fingerprint << '\n';
    }
    return writer.commit();
}

bool usable_validator(const std::string& value) {
    return value.find_first_of("\t\r\n") == std::string::npos;
}

// A list's text as hashes.txt keeps it: lines that would pass for a marker dropped (they are
// comments), and a final line break, so that the next list does not run into it.
std::string segment_text(std::string_view body) {
    std::string segment;
    segment.reserve(body.size() + 1);
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        end = end == std::string_view::npos ? body.size() : end + 1;
        const std::string_view line = body.substr(start, end - start);
        if (!line.starts_with(kListMarker)) segment += line;
        start = end;
    }
    if (!segment.empty() && segment.back() != '\n') segment += '\n';
    return segment;
}

// The text of each list in a hashes.txt the update wrote; what stands before the first marker (a
// hand-made file, or one of an older version) belongs to no list.
std::map<std::string, std::string_view, std::less<>> segments_of(std::string_view text) {
    std::map<std::string, std::string_view, std::less<>> segments;
    std::string url;  // of the list being read; empty before the first marker
    std::size_t body = 0;
    const auto close = [&](std::size_t end) {
        if (!url.empty()) segments.emplace(url, text.substr(body, end - body));
    };
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(start, end - start);
        if (line.starts_with(kListMarker)) {
            close(start);
            line.remove_prefix(kListMarker.size());
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.remove_suffix(1);
            }
            url = std::string(line);
            body = end;
        }
        start = end;
    }
    close(text.size());
    return segments;
}

struct Fetched {
    bool not_modified = false;
    std::string etag;
    std::string last_modified;
};

// Fetches one URL that passed refusal(): a local file, or an answer with a 2xx status, or a 304
// to a conditional request.
bool fetch(platform::HttpClient& client, const std::string& url,
           const platform::HttpOptions& options, bool conditional, std::string& body,
           Fetched& fetched, std::string& reason) {
    if (url.starts_with(kFile)) {
        const std::string path = path_of_file_url(url);
        if (path.empty()) {
            reason = url + ": names a file on another host";
            return false;
        }
        return read_list_file(path, body, reason, options.max_body_bytes);
    }
    const platform::HttpResult result = client.get(url, options, body);
    if (result.outcome == platform::HttpOutcome::kAnswered) {
        fetched.etag = result.etag;
        fetched.last_modified = result.last_modified;
        if (result.status >= 200 && result.status <= 299) return true;
        if (result.status == 304 && conditional) {
            fetched.not_modified = true;
            return true;
        }
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
// not take its place after the text did, the old text (null: there was none) is put back.
bool install(HashChecker& checker, const DatabaseFiles& files, const std::string& text,
             const std::vector<unsigned char>& sorted, const std::string* old_text,
             std::string& reason) {
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
    if (!write_text_file(files.text, text, reason)) return false;
    if (!platform::sync_and_replace(staged, files.binary)) {
        reason = files.binary + ": cannot be replaced";
        std::string ignored;
        if (old_text != nullptr) {
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

// Whether the files and the database in use hold exactly what an update would write.
bool already_in_place(const HashChecker& checker, const DatabaseFiles& files,
                      const std::string* old_text, const std::string& text,
                      const std::vector<unsigned char>& sorted) {
    const std::string_view records(reinterpret_cast<const char*>(sorted.data()), sorted.size());
    if (old_text == nullptr || *old_text != text || !checker.is_loaded() ||
        checker.database().bytes() != records) {
        return false;
    }
    std::string binary;
    std::string ignored;
    return read_list_file(files.binary, binary, ignored) && binary == records;
}

bool entry_exists(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::exists(path, error) && !error;
}

// A data file's name as a user can find it: the working folder is the data folder.
std::string shown_path(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.string();
}

UpdateResult failed(UpdateResult result, std::string reason) {
    result.status = UpdateResult::Status::kFailed;
    result.reason = std::move(reason);
    return result;
}

}  // namespace

std::string describe(const UpdateResult& result) {
    std::string text = std::to_string(result.lists) + (result.lists == 1 ? " list" : " lists");
    if (result.unchanged != 0) text += " (" + std::to_string(result.unchanged) + " unchanged)";
    return text + ", " + describe(result.counts) +
           ", own hashes: " + std::to_string(result.local_hashes);
}

DatabaseUpdater::DatabaseUpdater(Logger& logger, UpdateSettings settings)
    : logger(logger), settings(std::move(settings)) {}

bool DatabaseUpdater::index_entries(const DatabaseFiles& files, platform::HttpClient& client,
                                    std::vector<IndexEntry>& entries, bool& local,
                                    std::string& reason) {
    std::string body;
    std::string error;
    if (settings.index_url.empty()) {
        local = true;
        const std::string sources = shown_path(files.sources);
        if (!read_list_file(sources, body, reason)) {
            reason += " (it names the hash lists to download)";
            return false;
        }
        entries = parse_update_index(body, &error);
        if (!error.empty()) {
            reason = sources + ": " + error;
            return false;
        }
        if (entries.empty()) {
            reason = sources + ": names no hash list";
            return false;
        }
        return true;
    }

    const std::string& index_url = settings.index_url;
    local = index_url.starts_with(kFile);
    if (!remote_entries.empty()) {
        entries = remote_entries;
        return true;
    }
    if (const std::string why = refusal(index_url, true); !why.empty()) {
        reason = index_url + ": " + why;
        return false;
    }
    Fetched ignored;
    if (!fetch(client, index_url, http_options(settings, kUserAgent, settings.max_body_bytes),
               false, body, ignored, reason)) {
        return false;
    }
    entries = parse_update_index(body, &error);
    if (!error.empty()) {
        reason = index_url + ": " + error;
        return false;
    }
    if (entries.empty()) {
        reason = index_url + ": names no hash list";
        return false;
    }
    remote_entries = entries;
    return true;
}

UpdateResult DatabaseUpdater::update(HashChecker& checker, const DatabaseFiles& files) {
    UpdateResult result;
    platform::HttpClient client;
    if (!client.ok()) return failed(result, "the HTTP library could not be set up");

    std::vector<IndexEntry> named;
    bool local_index = false;
    std::string reason;
    if (!index_entries(files, client, named, local_index, reason)) {
        return failed(result, reason);
    }
    // A list named twice is fetched once.
    std::vector<IndexEntry> entries;
    for (auto& entry : named) {
        bool seen = false;
        for (const auto& kept : entries) seen = seen || kept.url == entry.url;
        if (!seen) entries.push_back(std::move(entry));
    }
    result.lists = entries.size();
    for (const auto& entry : entries) {
        if (const std::string why = refusal(entry.url, local_index); !why.empty()) {
            return failed(result, entry.url + ": " + why);
        }
    }

    // What the last update left: each list's text, and what its server said of it.
    std::string previous_text;
    std::string ignored;
    const bool have_previous = read_list_file(files.text, previous_text, ignored);
    const std::string* old_text = have_previous ? &previous_text : nullptr;
    const auto old_segments = segments_of(previous_text);
    const ListStates old_states = read_states(files.update_state);

    std::string local_text;
    if (entry_exists(files.local) && !read_list_file(files.local, local_text, reason)) {
        return failed(result, reason);
    }

    logger.log("Downloading hash updates");
    std::string text;
    std::vector<unsigned char> records;
    ListStates states;
    std::uint64_t downloaded = 0;
    for (const auto& entry : entries) {
        const std::string& url = entry.url;
        auto options = http_options(settings, "", settings.max_body_bytes - downloaded);
        options.headers = entry.headers;
        const auto old_segment = old_segments.find(url);
        const auto old_state = old_states.find(url);
        const bool conditional = old_segment != old_segments.end() &&
                                 old_state != old_states.end() &&
                                 describes(old_state->second, old_segment->second);
        if (conditional) {
            const ListState& state = old_state->second;
            if (!state.etag.empty()) options.headers.push_back("If-None-Match: " + state.etag);
            if (!state.last_modified.empty()) {
                options.headers.push_back("If-Modified-Since: " + state.last_modified);
            }
        }
        std::string body;
        Fetched fetched;
        if (!fetch(client, url, options, conditional, body, fetched, reason)) {
            return failed(result, reason);
        }
        downloaded += body.size();
        std::string segment;
        if (fetched.not_modified) {
            ++result.unchanged;
            segment = std::string(old_segment->second);
            // A 304 need not repeat the validators; those of the copy kept still hold.
            if (fetched.etag.empty()) fetched.etag = old_state->second.etag;
            if (fetched.last_modified.empty()) {
                fetched.last_modified = old_state->second.last_modified;
            }
        } else {
            segment = segment_text(body);
        }
        body = std::string();
        const HashListCounts counts = decode_hash_lines(segment, records);
        logger.log("Hash list " + url + (fetched.not_modified ? " (unchanged): " : ": ") +
                   describe(counts));
        if (counts.sha256 == 0) return failed(result, url + ": " + no_hash_reason(counts));
        result.counts += counts;
        if ((!fetched.etag.empty() || !fetched.last_modified.empty()) &&
            usable_validator(fetched.etag) && usable_validator(fetched.last_modified)) {
            states[url] = state_of(fetched.etag, fetched.last_modified, segment);
        }
        text.append(kListMarker).append(url).append("\n").append(segment);
    }
    result.local_hashes = decode_hash_lines(local_text, records).sha256;
    logger.log("Converting txt to bin DB (" + describe(result.counts) +
               ", own hashes: " + std::to_string(result.local_hashes) + ")");
    sort_records(records);

    if (already_in_place(checker, files, old_text, text, records)) {
        result.status = UpdateResult::Status::kUpToDate;
    } else {
        if (!install(checker, files, text, records, old_text, reason)) {
            return failed(result, reason);
        }
        result.status = UpdateResult::Status::kUpdated;
    }
    // Written after the files it speaks of: should it be lost, lists are merely downloaded again.
    if (states != old_states && !write_states(files.update_state, states)) {
        logger.log(files.update_state + ": cannot be written; lists will be downloaded again");
    }
    return result;
}
