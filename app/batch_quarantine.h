// The batch mode's quarantine: the scan's --quarantine step, and the `quarantine list|restore|
// delete` commands on the items it moved.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/data_files.h"
#include "maintenance/quarantine.h"
#include "scanner/scan_stats.h"

class Logger;

// What the scan is asked to quarantine, and where.
struct ScanQuarantine {
    bool malicious = false;   // --quarantine
    bool suspicious = false;  // --quarantine-suspicious
    std::string folder;       // --quarantine-dir; empty: the data folder's

    bool wanted(const ScanFinding& finding) const {
        return finding.verdict == Verdict::kMalicious ? malicious : suspicious;
    }
};

// Adds --quarantine, --quarantine-suspicious and --quarantine-dir to the scan command.
void add_scan_quarantine_options(CLI::App& scan, ScanQuarantine& request);

// Makes the scan's quarantine folder ready before the scan (finishing what an interrupted run
// left), so that a folder that cannot be used is known at once; empty when it went well or no
// quarantine is wanted.
std::string prepare_scan_quarantine(const ScanQuarantine& request, const DataFiles& data);

// What became of each finding the scan's quarantine step was asked to move.
using QuarantineResults = std::map<const ScanFinding*, QuarantineOutcome>;

// Moves the wanted findings into quarantine, logging each outcome.
QuarantineResults quarantine_findings(const ScanQuarantine& request,
                                      const std::vector<const ScanFinding*>& findings,
                                      const DataFiles& data, Logger& logger);

struct QuarantineCommand {
    std::string folder;  // --quarantine-dir; empty: the data folder's
    bool json = false;
    std::string id;
    std::string to;
    bool force = false;
    bool all = false;
    CLI::App* list = nullptr;
    CLI::App* restore = nullptr;
    CLI::App* remove = nullptr;
};

// Adds the `quarantine` command with its list, restore and delete commands.
CLI::App* add_quarantine_commands(CLI::App& app, QuarantineCommand& command);

// Runs the quarantine command that was given; false when it failed (its reason is on standard
// error).
bool run_quarantine(const QuarantineCommand& command, const DataFiles& data, Logger& logger);
