// The names of the hash database's files. They are relative names resolved against the data
// folder, which is the working folder (start-up makes it the executable's folder); a DatabaseFiles
// made with in() names the same files in another folder.
#pragma once

#include <filesystem>
#include <string>

inline constexpr const char* kHashTextFile = "hashes.txt";
inline constexpr const char* kLocalHashFile = "hashes.local.txt";
inline constexpr const char* kHashBinaryFile = "hashes.bin";
inline constexpr const char* kUpdateSourcesFile = "update_sources.txt";
inline constexpr const char* kUpdateStateFile = "update_state.txt";

struct DatabaseFiles {
    std::string text = kHashTextFile;             // the downloaded lists, as text
    std::string local = kLocalHashFile;           // the user's own list, merged into every build
    std::string binary = kHashBinaryFile;         // the sorted records the program loads
    std::string sources = kUpdateSourcesFile;     // the lists to download, unless a URL names them
    std::string update_state = kUpdateStateFile;  // what each list's server said it last sent

    // Where an update puts the new binary database until it replaces the old one.
    std::string staged_binary() const { return binary + ".download"; }

    static DatabaseFiles in(const std::filesystem::path& folder) {
        DatabaseFiles files;
        files.text = (folder / kHashTextFile).string();
        files.local = (folder / kLocalHashFile).string();
        files.binary = (folder / kHashBinaryFile).string();
        files.sources = (folder / kUpdateSourcesFile).string();
        files.update_state = (folder / kUpdateStateFile).string();
        return files;
    }
};
