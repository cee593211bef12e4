// The database update: the index names the hash lists, the lists are joined into one text, and
// that text becomes "hashes.txt", "hashes.bin" and the in-memory database.
#include <filesystem>
#include <fstream>
#include <system_error>

#include "console/logger.h"
#include "hashdb/hash_checker.h"
#include "platform/atomic_file.h"
#include "platform/http.h"

namespace {

constexpr const char* kUserAgent = "Quorvex/1.0";

platform::HttpOptions http_options(const UpdateSettings& settings, std::string user_agent) {
    platform::HttpOptions options;
    options.user_agent = std::move(user_agent);
    options.ca_bundle = settings.ca_bundle;
    options.connect_timeout_seconds = settings.connect_timeout_seconds;
    options.stall_timeout_seconds = settings.stall_timeout_seconds;
    options.max_body_bytes = settings.max_body_bytes;
    return options;
}

// The download is first written and converted under these names, so that the real files are
// replaced only by complete ones, and not at all when the download holds no hash.
class StagedFiles {
  public:
    StagedFiles(const std::string& txt_path, const std::string& bin_path)
        : txt(txt_path + ".download"), bin(bin_path + ".download") {}
    ~StagedFiles() {
        std::error_code ignored;
        std::filesystem::remove(txt, ignored);
        std::filesystem::remove(bin, ignored);
    }
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    const std::string txt;
    const std::string bin;
};

}  // namespace

std::vector<std::string> parse_update_index(std::string_view body) {
    std::vector<std::string> urls;
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view line = body.substr(start, end - start);
        if (line.size() >= 4 && line.substr(0, 4) == "http") urls.emplace_back(line);
        start = body.find_first_not_of("\r\n", end);
        if (start == std::string_view::npos) break;
    }
    return urls;
}

bool HashChecker::fetch_update_urls() {
    if (!update_urls.empty()) return true;
    platform::HttpClient client;
    if (!client.ok()) return false;
    std::string index;
    if (client.get(update_settings.index_url, http_options(update_settings, kUserAgent), index) !=
        platform::HttpResult::kOk) {
        return false;
    }
    update_urls = parse_update_index(index);
    return !update_urls.empty();
}

bool HashChecker::update_database(const std::string& txt_path, const std::string& bin_path) {
    if (!fetch_update_urls()) return false;
    logger.log("Downloading hash updates");

    std::string body;
    {
        platform::HttpClient client;
        if (!client.ok()) return false;
        const auto options = http_options(update_settings, "");
        for (const auto& url : update_urls) {
            // A list that fails adds nothing; a server that sends more than the cap ends the
            // update.
            if (client.get(url, options, body) == platform::HttpResult::kTooLarge) return false;
        }
    }
    if (body.empty()) return false;

    StagedFiles staged(txt_path, bin_path);
    {
        std::ofstream out(staged.txt, std::ios::out | std::ios::trunc);
        out.write(body.data(), static_cast<std::streamsize>(body.size()));
        out.close();
        if (!out) return false;
    }
    logger.log("Converting txt to bin DB");
    if (!convert_text_to_binary(staged.txt, staged.bin)) return false;
    // The text goes first: should the second replacement fail, the old binary database stays
    // the one that is loaded, exactly as when the binary file cannot be written at all.
    if (!platform::sync_and_replace(staged.txt, txt_path)) return false;
    if (!platform::sync_and_replace(staged.bin, bin_path)) return false;
    return load_binary(bin_path);
}
