// The summary printed after every scan: roots, time, data, counts and the lists of findings.
#pragma once

#include "scanner/scan_stats.h"

#include <cstdint>

// Prints the report of a finished scan to standard output.
void print_scan_report(const ScanStats& stats);

// The report's lines from "Path(s): " to "Errors: ", with `errors` as the error count.
void print_scan_counts(const ScanStats& stats, std::uint64_t errors);
