// One whole scan: walk the roots, hash every eligible file on a worker pool, show the progress
// line, save the hash cache, print the report and run the post-scan menu once.
#pragma once

#include <string>
#include <vector>

#include "report/post_scan.h"
#include "scanner/scan_config.h"

class HashCache;
class HashChecker;
class Logger;

struct ScanOptions {
    PostScanOptions post_scan;
    std::size_t threads = 0;  // 0: one per hardware thread (4 when the system cannot tell)
};

// Roots are scanned in the given order; a missing root is logged and passed over. `cache` may be
// null, which turns the hash cache off for the whole scan.
void scan_directory(const std::vector<std::string>& roots, const HashChecker& checker,
                    Logger& logger, const ScanConfig& config, HashCache* cache,
                    const ScanOptions& options = {});
