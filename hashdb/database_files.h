// The names of the hash database's files. They are relative names resolved against the data
// folder, which is the working folder (start-up makes it the executable's folder); a DatabaseFiles
// made with in() names the same files in another folder.
#pragma once

#include <filesystem>
#include <string>

inline constexpr const char* kHashTextFile = "hashes.txt";
inline constexpr const char* kHashBinaryFile = "hashes.bin";

struct DatabaseFiles {
    std::string text = kHashTextFile;      // the downloaded lists, as text
    std::string binary = kHashBinaryFile;  // the sorted records the program loads

    // Where an update puts the new binary database until it replaces the old one.
    std::string staged_binary() const { return binary + ".download"; }

    static DatabaseFiles in(const std::filesystem::path& folder) {
        DatabaseFiles files;
        files.text = (folder / kHashTextFile).string();
        files.binary = (folder / kHashBinaryFile).string();
        return files;
    }
};
