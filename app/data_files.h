// The files the program keeps, and the data folder they live in: the hash database, the hash
// cache, the rules with their compiled set and match memory, the quarantine and, in the folder the
// program was started from, the log.
#pragma once

#include <filesystem>
#include <string>

#include "hashdb/database_files.h"

// The log, opened in the folder the program was started from.
inline constexpr const char kLogFile[] = "scan_log.txt";

// The environment variable that names the data folder for one run (tests, several databases).
inline constexpr const char kDataFolderVariable[] = "QUORVEX_DATA_DIR";

struct DataFiles {
    // Where the stored files live; empty means the working folder.
    std::filesystem::path folder;
    // False when this process may not create files there (an installed program's folder of
    // root's, run by another user): scans still work, nothing is saved, no update runs.
    bool writable = true;

    DatabaseFiles database() const {
        return folder.empty() ? DatabaseFiles() : DatabaseFiles::in(folder);
    }
    std::string hash_cache() const { return file("hash_cache.bin"); }
    // The name to show in messages.
    std::string shown_folder() const;
    // The quarantine folder, unless a command names another.
    std::filesystem::path quarantine() const { return file("quarantine"); }
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

// The data folder: the one QUORVEX_DATA_DIR names, else the one fixed when the program was built,
// else the executable's folder. `beside_executable` is what the last stands for: the menu, which
// has made the executable's folder its working folder, passes an empty path. The folder is made
// when it does not exist yet and can be.
DataFiles locate_data_files(const std::filesystem::path& beside_executable);

// The warning, once per run, about a data folder that cannot be written; empty when it can.
std::string read_only_warning(const DataFiles& data);

// The executable's folder, where the data files lie by default; the working folder when the
// system cannot tell.
std::filesystem::path executable_folder();

// Removes what a save killed part-way left beside the stored files (never a temporary that a
// running process is still writing).
void remove_stale_temporaries(const DataFiles& data);
