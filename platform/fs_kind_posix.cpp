#include <linux/magic.h>
#include <sys/statfs.h>

#include <array>

#include "platform/fs_kind.h"
#include "platform/fs_kind_posix.h"

namespace platform {
namespace {

// Kernel views and special mounts. devtmpfs reports the tmpfs type and cannot be told apart here;
// it holds device nodes, which the walk passes over because they are not regular files.
constexpr std::array<unsigned long, 20> kPseudoTypes = {
    PROC_SUPER_MAGIC,    SYSFS_MAGIC,      DEVPTS_SUPER_MAGIC, CGROUP_SUPER_MAGIC,
    CGROUP2_SUPER_MAGIC, SECURITYFS_MAGIC, DEBUGFS_MAGIC,      TRACEFS_MAGIC,
    PSTOREFS_MAGIC,      BPF_FS_MAGIC,     SELINUX_MAGIC,      SMACK_MAGIC,
    EFIVARFS_MAGIC,      BINFMTFS_MAGIC,   NSFS_MAGIC,         AUTOFS_SUPER_MAGIC,
    0x62656570,  // configfs
    0x65735543,  // fusectl
    0x19800202,  // mqueue
    0x67596969,  // rpc_pipefs
};

bool is_pseudo_type(const struct statfs& info) {
    const auto type = static_cast<unsigned long>(info.f_type);
    for (const unsigned long pseudo : kPseudoTypes) {
        if (type == pseudo) return true;
    }
    return false;
}

}  // namespace

bool is_pseudo_file_system(const std::filesystem::path& folder) {
    struct statfs info {};
    return ::statfs(folder.c_str(), &info) == 0 && is_pseudo_type(info);
}

bool is_on_pseudo_file_system(int fd) {
    struct statfs info {};
    return ::fstatfs(fd, &info) == 0 && is_pseudo_type(info);
}

const std::vector<std::string>& system_folder_markers() {
    static const std::vector<std::string> markers = {"/proc/", "/sys/", "/dev/"};
    return markers;
}

}  // namespace platform
