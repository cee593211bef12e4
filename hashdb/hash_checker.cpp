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

bool is_newer(const std::string& path, const std::string& than) {
    std::error_code error;
    const auto time = std::filesystem::last_write_time(path, error);
    if (error) return false;
    const auto other = std::filesystem::last_write_time(than, error);
    return !error && time > other;
}

void add_reason(std::string& reasons, const std::string& reason) {
    if (!reasons.empty()) reasons += "; ";
    reasons += reason;
}

// Builds bin_path from the hash lines of all the texts, with what they held in `counts`. Writes
// nothing when a text cannot be read or none holds a SHA-256.
// The sorted records of the lists; false, with the reason, when they cannot be read or hold no
// SHA-256.
bool read_lists(const std::vector<std::string>& texts, std::vector<unsigned char>& records,
                HashListCounts& counts, std::string& error) {
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
    return true;
}

std::string_view bytes_of(const std::vector<unsigned char>& records) {
    return {reinterpret_cast<const char*>(records.data()), records.size()};
}

bool convert_lists(const std::vector<std::string>& texts, const std::string& bin_path,
                   HashListCounts& counts, std::string& error) {
    std::vector<unsigned char> records;
    return read_lists(texts, records, counts, error) &&
           write_database_file(bytes_of(records), bin_path, error);
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
    const bool have_text = entry_exists(files.text);
    const bool have_local = !files.local.empty() && entry_exists(files.local);
    // Hashes the user added by hand since the binary file was built are taken in now.
    const bool local_changed = have_binary && have_local && is_newer(files.local, files.binary);
    if (have_binary && !local_changed) {
        logger.log("Loading bin DB: " + files.binary);
        LoadResult binary = load_binary(files.binary);
        if (binary) return binary;
        add_reason(reasons, binary.error);
    }
    if (!have_text && !have_local) {
        return have_binary ? LoadResult::failed(reasons) : LoadResult::not_found();
    }

    std::vector<std::string> texts;
    if (have_text) texts.push_back(files.text);
    if (have_local) texts.push_back(files.local);
    HashListCounts counts;
    std::string error;
    std::vector<unsigned char> records;
    const bool decoded = read_lists(texts, records, counts, error);
    logger.log("Converting txt to bin DB (" + describe(counts) + ")");
    if (decoded) {
        if (write_database_file(bytes_of(records), files.binary, error)) {
            return load_binary(files.binary);
        }
        // A data folder this user cannot write (an installed program's, run by another user):
        // the database is built in memory, as it would have been read.
        logger.log("[WARN] " + error + "; the database is kept in memory");
        replace(HashDatabase::from_records(bytes_of(records)));
        return LoadResult::loaded();
    }
    add_reason(reasons, error);
    if (local_changed) {
        // The binary file built before the change is still better than no database.
        logger.log("Loading bin DB: " + files.binary);
        LoadResult binary = load_binary(files.binary);
        if (binary) return binary;
        add_reason(reasons, binary.error);
    }
    return LoadResult::failed(reasons);
}

LoadResult HashChecker::load(const std::string& txt_path, const std::string& bin_path) {
    DatabaseFiles files;
    files.text = txt_path;
    files.local.clear();
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
