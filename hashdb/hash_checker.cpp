#include "hashdb/hash_checker.h"

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "console/logger.h"
#include "platform/http.h"

namespace {

// Absence and an unanswerable status query both mean "not there": a folder we may not look into
// must not end the program at start-up.
bool entry_exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error) && !error;
}

void add_reason(std::string& reasons, const std::string& reason) {
    if (!reasons.empty()) reasons += "; ";
    reasons += reason;
}

// Builds bin_path from the hash lines of all the texts, with what they held in `counts`. Writes
// nothing when a text cannot be read or none holds a SHA-256.
bool convert_lists(const std::vector<std::string>& texts, const std::string& bin_path,
                   HashListCounts& counts, std::string& error) {
    std::vector<unsigned char> records;
    for (const auto& path : texts) {
        std::string text;
        if (!read_list_file(path, text, error)) return false;
        counts += decode_hash_lines(text, records);
    }
    if (records.empty()) {
        std::string names;
        for (const auto& path : texts) names += (names.empty() ? "" : " and ") + path;
        error = names + ": " + no_hash_reason(counts);
        return false;
    }
    sort_records(records);
    return write_database_file({reinterpret_cast<const char*>(records.data()), records.size()},
                               bin_path, error);
}

}  // namespace

HashChecker::HashChecker(Logger& logger) : logger(logger) { platform::http_global_init(); }

HashChecker::~HashChecker() { platform::http_global_cleanup(); }

LoadResult HashChecker::load(const DatabaseFiles& files) {
    // What an update interrupted by a crash left behind: never a database anything relies on.
    std::error_code ignored;
    std::filesystem::remove(files.staged_binary(), ignored);

    std::string reasons;
    const bool have_binary = entry_exists(files.binary);
    if (have_binary) {
        logger.log("Loading bin DB: " + files.binary);
        LoadResult binary = load_binary(files.binary);
        if (binary) return binary;
        add_reason(reasons, binary.error);
    }
    if (!entry_exists(files.text)) {
        return have_binary ? LoadResult::failed(reasons) : LoadResult::not_found();
    }

    HashListCounts counts;
    std::string error;
    const bool converted = convert_lists({files.text}, files.binary, counts, error);
    logger.log("Converting txt to bin DB (" + describe(counts) + ")");
    if (!converted) {
        add_reason(reasons, error);
        return LoadResult::failed(reasons);
    }
    return load_binary(files.binary);
}

LoadResult HashChecker::load(const std::string& txt_path, const std::string& bin_path) {
    DatabaseFiles files;
    files.text = txt_path;
    files.binary = bin_path;
    return load(files);
}

LoadResult HashChecker::load_binary(const std::string& bin_path) {
    std::lock_guard<std::mutex> lock(mutex);
    HashDatabase fresh;
    LoadResult result = HashDatabase::read(bin_path, fresh);
    if (!result) return result;
    current = std::move(fresh);
    loaded = true;
    return result;
}

bool HashChecker::convert_text_to_binary(const std::string& txt_path, const std::string& bin_path,
                                         std::string* error) {
    HashListCounts counts;
    std::string reason;
    if (convert_lists({txt_path}, bin_path, counts, reason)) return true;
    if (error != nullptr) *error = reason;
    return false;
}

void HashChecker::replace(HashDatabase database) {
    std::lock_guard<std::mutex> lock(mutex);
    current = std::move(database);
    loaded = true;
}
