// The files the program keeps: the hash database, the hash cache and the log.
#pragma once

#include <filesystem>
#include <string>

#include "hashdb/database_files.h"

// The log, opened in the folder the program was started from.
inline constexpr const char kLogFile[] = "scan_log.txt";

// Where the stored data files live; an empty folder means the working folder.
struct DataFiles {
    std::filesystem::path folder;

    DatabaseFiles database() const {
        return folder.empty() ? DatabaseFiles() : DatabaseFiles::in(folder);
    }
    std::string hash_cache() const { return file("hash_cache.bin"); }

  private:
    std::string file(const char* name) const {
        return folder.empty() ? std::string(name) : (folder / name).string();
    }
};

// The executable's folder, where the data files lie; the working folder when the system cannot
// tell.
std::filesystem::path executable_folder();

// Removes what a save killed part-way left beside the stored files (never a temporary that a
// running process is still writing).
void remove_stale_temporaries(const DataFiles& data);
