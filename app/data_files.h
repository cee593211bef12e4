// The files the program keeps: the hash database, the hash cache, the rules with their compiled
// set and match memory, and the log.
#pragma once

#include <filesystem>
#include <string>

// The log, opened in the folder the program was started from.
inline constexpr const char kLogFile[] = "scan_log.txt";

// Where the stored data files live; an empty folder means the working folder.
struct DataFiles {
    std::filesystem::path folder;

    std::string hash_text() const { return file("hashes.txt"); }
    std::string hash_binary() const { return file("hashes.bin"); }
    std::string hash_cache() const { return file("hash_cache.bin"); }
    // The rule files the menu and a batch scan without --rules match against.
    std::string rules_folder() const { return file("rules"); }
    std::string compiled_rules() const { return file("compiled_rules.bin"); }
    std::string rule_key() const { return file("rule_key.bin"); }
    std::string rule_cache() const { return file("rule_cache.bin"); }

  private:
    std::string file(const char* name) const {
        return folder.empty() ? std::string(name) : (folder / name).string();
    }
};

// The executable's folder, where the data files lie; the working folder when the system cannot
// tell.
std::filesystem::path executable_folder();
