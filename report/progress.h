// The live progress line of a running scan: counters and a turning spinner redrawn in place.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "scanner/scan_stats.h"

// One redraw of the line, from column 0, without a line break; `colored` adds the colour
// sequences (left out when output is not a terminal or NO_COLOR is set).
std::string progress_line(std::int32_t frame, std::uint64_t files, std::uint64_t bytes,
                          std::uint64_t malicious, std::uint64_t suspicious, bool colored = true);

// Body of the scan's progress thread. Redraws every `interval` until the scan has finished, then
// blanks the line and prints the closing status line. Notices the end within a few milliseconds
// rather than a whole interval.
void display_progress(const ScanProgress& progress,
                      std::chrono::milliseconds interval = std::chrono::milliseconds(250));
