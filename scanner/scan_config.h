// The user's choices for one scan, filled by the scan configuration dialog or the command line.
#pragma once

struct ScanConfig {
    bool enable_heuristics = false;    // entropy test for .exe/.dll/.sys files not in the database
    bool verify_signatures = false;    // files with a trusted signature are accepted unexamined
    bool skip_system_folders = false;  // prune the system folders (the dialog never offers it)
    bool all_files = false;  // no folder-marker and no extension skipping (batch --all-files)
};
