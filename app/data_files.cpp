#include "app/data_files.h"

#include "platform/atomic_file.h"
#include "platform/process.h"

std::filesystem::path executable_folder() {
    const auto exe = platform::executable_path();
    return exe ? exe->parent_path() : std::filesystem::path();
}

void remove_stale_temporaries(const DataFiles& data) {
    const DatabaseFiles database = data.database();
    for (const std::string& stored : {data.hash_cache(), database.text, database.binary}) {
        platform::remove_stale_temporaries(stored);
    }
}
