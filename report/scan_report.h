// The summary printed after every scan: roots, time, data, counts and the lists of findings.
#pragma once

#include "scanner/scan_stats.h"

// Prints the report of a finished scan to standard output; reads `stats` without locks.
void print_scan_report(const ScanStats& stats);
