#include "app/data_files.h"

#include <cstdlib>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/process.h"

namespace {

// The data folder a packaged build fixes (the Debian package: /var/lib/quorvex); empty for a
// build whose data files stay beside the executable.
#ifdef QUORVEX_DEFAULT_DATA_DIR
constexpr const char kBuiltInDataFolder[] = QUORVEX_DEFAULT_DATA_DIR;
#else
constexpr const char kBuiltInDataFolder[] = "";
#endif

}  // namespace

std::string DataFiles::shown_folder() const {
    if (!folder.empty()) return folder.string();
    std::error_code ignored;
    return std::filesystem::current_path(ignored).string();
}

DataFiles locate_data_files(const std::filesystem::path& beside_executable) {
    DataFiles data;
    const char* named = std::getenv(kDataFolderVariable);
    if (named != nullptr && *named != '\0') {
        data.folder = named;
    } else if (*kBuiltInDataFolder != '\0') {
        data.folder = kBuiltInDataFolder;
    } else {
        data.folder = beside_executable;
    }
    std::error_code ignored;
    if (!data.folder.empty()) std::filesystem::create_directories(data.folder, ignored);
    data.writable = platform::can_write_in(data.folder.empty() ? "." : data.folder);
    return data;
}

std::string read_only_warning(const DataFiles& data) {
    if (data.writable) return "";
    return "[WARN] The data folder " + data.shown_folder() +
           " cannot be written: scans work, but the hash cache is not saved and the database "
           "cannot be updated.";
}

std::filesystem::path executable_folder() {
    const auto exe = platform::executable_path();
    return exe ? exe->parent_path() : std::filesystem::path();
}

void remove_stale_temporaries(const DataFiles& data) {
    if (!data.writable) return;
    const DatabaseFiles database = data.database();
    for (const std::string& stored :
         {data.hash_cache(), database.text, database.binary, database.update_state}) {
        platform::remove_stale_temporaries(stored);
    }
}
