// The menu's scan: the live progress line while the engine runs, then the cache save, the report,
// the post-scan actions and the closing log line.
#pragma once

#include "report/post_scan.h"
#include "scanner/scan_directory.h"

class HashCache;
class HashChecker;
class Logger;

// `cache` may be null, which turns the hash cache off; `save_cache` false uses it without saving
// it (a data folder that cannot be written).
void run_interactive_scan(const ScanRequest& request, const HashChecker& checker, Logger& logger,
                          HashCache* cache, bool save_cache, const PostScanOptions& post_scan);
