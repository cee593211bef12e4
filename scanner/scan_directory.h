// The scan engine: walks the roots, hashes every eligible file on a pool of workers, looks each
// hash up in the database and returns what it found. It prints nothing and asks nothing; the menu
// and the batch commands turn its result into their own output.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hashdb/rule_set.h"
#include "scanner/scan_config.h"
#include "scanner/scan_stats.h"

class HashCache;
class HashChecker;
class Logger;
class RuleCache;

// The workers of a scan unless the request names a number: one per hardware thread, and at least
// 4. Files that are not in the page cache want more reads in flight than a small machine has
// cores (on 2 cores, 4 workers read a cold tree about 15% faster than 2, and more gain nothing),
// while a rescan answered from the hash cache loses to every worker more than that.
std::size_t default_scan_workers();

struct ScanRequest {
    std::vector<std::string> roots;  // folders or files, scanned in this order
    ScanConfig config;
    std::size_t threads = 0;  // workers; 0: the default, default_scan_workers()
    // Rule matching, when `rules` holds a rule: each file up to the size limit is matched from the
    // bytes read for its hash. `rule_cache`, when given, spares files matched before under the
    // same set; it is updated in memory and never saved here.
    const RuleSet* rules = nullptr;
    RuleCache* rule_cache = nullptr;
    RuleMatchOptions rule_options;
};

// Runs one whole scan. Findings and errors are logged as they are made. A root that does not exist
// is logged, listed in `missing_roots` and passed over; a folder that cannot be walked is an error
// entry like a file that cannot be read, and the rest is still scanned. `cache` may be null, which
// turns the hash cache off; the cache is updated in memory and never saved here. `progress`, when
// given, receives the live counters (another thread may watch it) and is marked finished at the
// end.
ScanStats scan_directory(const ScanRequest& request, const HashChecker& checker, Logger& logger,
                         HashCache* cache, ScanProgress* progress = nullptr);
