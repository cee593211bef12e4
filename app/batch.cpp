// The batch commands: what cron jobs, timers, pipelines and fleet tools run. They never prompt,
// never read standard input and never clear the screen; findings go to standard output (plain
// lines or JSON Lines), errors and progress to standard error, and the exit status says what was
// found.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/app.h"
#include "app/batch_quarantine.h"
#include "app/data_files.h"
#include "app/json_lines.h"
#include "app/rule_loading.h"
#include "console/console.h"
#include "console/logger.h"
#include "hashdb/database_update.h"
#include "hashdb/hash_cache.h"
#include "hashdb/hash_checker.h"
#include "maintenance/temp_cleaning.h"
#include "platform/atomic_file.h"
#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/locations.h"
#include "report/autoruns.h"
#include "report/post_scan.h"
#include "report/progress.h"
#include "report/scan_report.h"
#include "scanner/scan_directory.h"
#include "scanner/scan_file.h"
#include "scanner/thread_pool.h"

namespace {

constexpr const char kVersion[] = "quorvex 1.0";

// The exit statuses scripts test for.
constexpr int kExitClean = 0;
constexpr int kExitFound = 1;
constexpr int kExitError = 2;

struct ScanCommand {
    std::vector<std::string> paths;
    bool quick = false;
    bool full = false;
    bool heuristics = false;
    bool verify_signatures = false;
    bool all_files = false;
    bool json = false;
    std::string report_file;
    bool no_cache = false;
    std::size_t jobs = 0;
    bool quiet = false;
    ScanQuarantine quarantine;
    std::vector<std::string> rules;  // rule folders or files instead of the rules folder
    bool no_rules = false;
    std::uint64_t max_rule_size = RuleMatchOptions{}.max_file_size;
};

void say_error(const std::string& message) { std::cerr << "quorvex: " << message << "\n"; }

// Everything a command shares: the log in the folder it was started from, and the data files
// beside the executable. Relative paths on the command line keep meaning the start folder.
struct Session {
    Session() {
        if (!data.writable) std::cerr << read_only_warning(data) << "\n";
        remove_stale_temporaries(data);
    }

    Logger logger{kLogFile};
    DataFiles data = locate_data_files(executable_folder());
};

bool load_database(HashChecker& checker, const DataFiles& data) {
    const LoadResult loaded = checker.load(data.database());
    if (loaded) return true;
    const DatabaseFiles files = data.database();
    say_error("the hash database could not be loaded from " + files.binary + " or " + files.text +
              (loaded.error.empty() ? std::string(": neither file exists") : ": " + loaded.error));
    return false;
}

// The live counters on standard error while the scan runs, for a person watching a terminal.
class ProgressOnStderr {
  public:
    explicit ProgressOnStderr(const ScanProgress& progress) {
        if (!platform::stderr_is_terminal()) return;
        drawer = std::thread([&progress] {
            const bool colored = platform::stderr_colors_enabled();
            std::int32_t frame = 0;
            while (!progress.finished.load()) {
                std::cerr << progress_line(frame++, progress.files_scanned.load(),
                                           progress.bytes_scanned.load(),
                                           progress.malicious_count.load(),
                                           progress.suspicious_count.load(), colored)
                          << std::flush;
                for (int i = 0; i < 50 && !progress.finished.load(); ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            }
            std::cerr << '\r' << std::string(kBlankWidth, ' ') << '\r' << std::flush;
        });
    }
    ~ProgressOnStderr() {
        if (drawer.joinable()) drawer.join();
    }
    ProgressOnStderr(const ProgressOnStderr&) = delete;
    ProgressOnStderr& operator=(const ProgressOnStderr&) = delete;

  private:
    std::thread drawer;
};

const char* verdict_word(Verdict verdict) {
    return verdict == Verdict::kMalicious ? "malicious" : "suspicious";
}

// Every finding of the scan, malicious first, each group by path: the same tree gives the same
// output whatever the workers' timing.
std::vector<const ScanFinding*> sorted_findings(const ScanStats& stats) {
    std::vector<const ScanFinding*> findings;
    for (const auto* list : {&stats.malicious_files, &stats.suspicious_files}) {
        const std::size_t start = findings.size();
        for (const auto& finding : *list) findings.push_back(&finding);
        std::sort(findings.begin() + static_cast<std::ptrdiff_t>(start), findings.end(),
                  [](const ScanFinding* a, const ScanFinding* b) { return a->path < b->path; });
    }
    return findings;
}

// Roots that did not exist, then the folders and files that could not be read, by path.
std::vector<ScanError> all_errors(const ScanStats& stats, bool missing_roots_are_errors) {
    std::vector<ScanError> errors;
    if (missing_roots_are_errors) {
        for (const auto& root : stats.missing_roots) {
            errors.push_back(ScanError{root, printable(root), "no such file or directory"});
        }
    }
    std::vector<ScanError> files = stats.error_files;
    std::sort(files.begin(), files.end(),
              [](const ScanError& a, const ScanError& b) { return a.path < b.path; });
    errors.insert(errors.end(), files.begin(), files.end());
    return errors;
}

double seconds_of(const ScanStats& stats) {
    const double seconds = std::chrono::duration<double>(stats.end_time - stats.start_time).count();
    return std::round(seconds * 1000.0) / 1000.0;
}

void print_plain(const ScanStats& stats, const std::vector<ScanError>& errors, bool quiet,
                 const QuarantineResults& quarantined) {
    for (const ScanFinding* finding : sorted_findings(stats)) {
        std::cout << finding->display << ": ";
        const bool malicious = finding->verdict == Verdict::kMalicious;
        platform::set_text_attribute(malicious ? kLightRed : kYellow);
        std::cout << (malicious ? "MALICIOUS" : "SUSPICIOUS");
        platform::set_text_attribute(kDefault);
        if (const auto it = quarantined.find(finding); it != quarantined.end()) {
            if (it->second.ok()) {
                std::cout << " (quarantined as " << it->second.id << ")";
            } else {
                std::cout << " (not quarantined: " << printable(it->second.error) << ")";
            }
        }
        std::cout << "\n";
    }
    std::cout << std::flush;
    for (const auto& error : errors) {
        std::cerr << error.display << ": ERROR " << error.reason << "\n";
    }
    std::cerr << std::flush;
    if (quiet) return;
    std::cout << "\n";
    print_scan_counts(stats, errors.size());
    if (stats.rules_too_large != 0) {
        std::cout << "[INFO] " << rules_too_large_text(stats.rules_too_large) << "\n";
    }
}

void print_json(const ScanStats& stats, const std::vector<ScanError>& errors, bool quiet,
                std::size_t database_hashes, std::size_t rules,
                const QuarantineResults& quarantined) {
    for (const ScanFinding* finding : sorted_findings(stats)) {
        JsonLine line;
        line.value("type", "finding")
            .value("verdict", verdict_word(finding->verdict))
            .path("path", finding->path)
            .value("sha256", finding->sha256)
            .value("size", finding->size)
            .value("reason", finding->reasons.empty() ? std::string() : finding->reasons.front());
        // A file both listed and matched has both reasons; "reason" keeps naming the first.
        if (finding->reasons.size() > 1) line.value("reasons", finding->reasons);
        if (!finding->rules.empty()) line.value("rules", finding->rules);
        if (finding->verdict == Verdict::kSuspicious) line.value("entropy", finding->entropy);
        if (const auto it = quarantined.find(finding); it != quarantined.end()) {
            line.value("quarantined", it->second.ok());
            if (it->second.ok()) {
                line.value("quarantine_id", it->second.id);
            } else {
                line.text("quarantine_error", it->second.error);
            }
        }
        std::cout << line.str() << "\n";
    }
    for (const auto& error : errors) {
        std::cout << JsonLine()
                         .value("type", "error")
                         .path("path", error.path)
                         .text("reason", error.reason)
                         .str()
                  << "\n";
    }
    if (!quiet) {
        std::cout << JsonLine()
                         .value("type", "summary")
                         .value("schema", 1)
                         .texts("roots", stats.roots)
                         .value("files_scanned", stats.files_scanned)
                         .value("bytes_scanned", stats.bytes_scanned)
                         .value("malicious", stats.malicious_count())
                         .value("suspicious", stats.suspicious_count())
                         .value("errors", errors.size())
                         .value("cache_hits", stats.cache_hits)
                         .value("seconds", seconds_of(stats))
                         .value("database_hashes", database_hashes)
                         .value("rules", rules)
                         .value("files_read", stats.files_read)
                         .value("not_matched_too_large", stats.rules_too_large)
                         .str()
                  << "\n";
    }
    std::cout << std::flush;
}

bool write_report(const ScanStats& stats, const std::string& file) {
    platform::AtomicFileWriter writer(file, /*text=*/true);
    if (writer.ok()) {
        writer.stream() << export_text(stats, platform::local_time(std::time(nullptr)));
        if (writer.commit()) return true;
    }
    say_error("the report could not be written to " + file);
    return false;
}

// A rule folder asked for that does not exist is a mistake in the command: no scan without it.
bool rule_sources_exist(const ScanCommand& command) {
    for (const auto& source : command.rules) {
        std::error_code error;
        if (!std::filesystem::exists(source, error)) {
            say_error("the rules folder " + source + " does not exist");
            return false;
        }
    }
    return true;
}

RuleSet load_command_rules(const ScanCommand& command, Session& session) {
    if (command.no_rules) return RuleSet();
    std::vector<std::filesystem::path> sources(command.rules.begin(), command.rules.end());
    if (sources.empty()) sources.emplace_back(session.data.rules_folder());
    RuleLoadReport report;
    // Warnings always; what was loaded unless --quiet, and where nothing was, only when the
    // folders were named.
    return load_run_rules(
        sources, session.data, session.logger,
        [&](const std::string& line) {
            const bool warning = line.rfind("[WARN]", 0) == 0;
            if (warning || (!command.quiet && (report.rules != 0 || !command.rules.empty()))) {
                std::cerr << line << "\n" << std::flush;
            }
        },
        report);
}

int run_scan(const ScanCommand& command) {
    if (!rule_sources_exist(command)) return kExitError;
    Session session;
    HashChecker checker(session.logger);
    if (!load_database(checker, session.data)) return kExitError;
    const RuleSet rules = load_command_rules(command, session);

    ScanRequest request;
    if (command.quick) {
        request.roots = platform::quick_scan_roots(std::getenv(platform::profile_variable()));
    } else if (command.full) {
        request.roots = {platform::full_scan_root()};
    } else {
        request.roots = command.paths;
    }
    request.config.enable_heuristics = command.heuristics;
    request.config.verify_signatures = command.verify_signatures;
    request.config.all_files = command.all_files;
    request.threads = command.jobs;

    request.rules = &rules;
    request.rule_options.max_file_size = command.max_rule_size;

    const std::string quarantine_error = prepare_scan_quarantine(command.quarantine, session.data);
    if (!quarantine_error.empty()) say_error(quarantine_error);

    std::optional<HashCache> cache;
    std::unique_ptr<RuleCache> rule_cache;
    const bool save_cache = !command.no_cache && session.data.writable;
    if (!command.no_cache) {
        cache.emplace(session.data.hash_cache());
        cache->load();
        rule_cache = load_rule_cache(rules, session.data);
        request.rule_cache = rule_cache.get();
    }
    ScanProgress progress;
    ScanStats stats;
    {
        ProgressOnStderr display(progress);
        stats =
            scan_directory(request, checker, session.logger, cache ? &*cache : nullptr, &progress);
    }
    if (save_cache && !cache->save()) {
        say_error("the hash cache could not be saved to " + session.data.hash_cache());
        session.logger.log("[WARN] Hash cache could not be saved");
    }
    if (save_cache && rule_cache && !rule_cache->save()) {
        say_error("the rule cache could not be saved to " + session.data.rule_cache());
        session.logger.log(kRuleCacheNotSaved);
    }

    // The folders of a quick scan are the usual places on a desktop; a server without them is
    // not in error.
    const std::vector<ScanError> errors = all_errors(stats, !command.quick);
    const QuarantineResults quarantined = quarantine_findings(
        command.quarantine, sorted_findings(stats), session.data, session.logger);
    if (command.json) {
        print_json(stats, errors, command.quiet, checker.record_count(), rules.rule_count(),
                   quarantined);
    } else {
        print_plain(stats, errors, command.quiet, quarantined);
    }
    const bool reported = command.report_file.empty() || write_report(stats, command.report_file);
    session.logger.log("Scan Finished. Files: " + std::to_string(stats.files_scanned));

    // A quarantine that was asked for and did not happen is a failure, finding or not.
    if (!quarantine_error.empty()) return kExitError;
    for (const auto& [finding, outcome] : quarantined) {
        if (!outcome.ok()) return kExitError;
    }
    const bool found =
        stats.malicious_count() != 0 || (command.heuristics && stats.suspicious_count() != 0);
    if (found) return kExitFound;
    return errors.empty() && reported ? kExitClean : kExitError;
}

int run_update() {
    Session session;
    HashChecker checker(session.logger);
    DatabaseUpdater updater(session.logger);
    session.logger.log("Starting database update");
    if (!session.data.writable) {
        const std::string reason =
            "the data folder " + session.data.shown_folder() + " cannot be written";
        std::cerr << "[ERROR] Update failed: " << reason << "\n" << std::flush;
        session.logger.log("[ERROR] Database update failed: " + reason);
        return kExitError;
    }
    const UpdateResult result = updater.update(checker, session.data.database());
    switch (result.status) {
        case UpdateResult::Status::kUpdated:
            std::cout << "[SUCCESS] Database updated.\n[INFO] " << describe(result) << ".\n"
                      << std::flush;
            session.logger.log("Database update successful (" + describe(result) + ")");
            return kExitClean;
        case UpdateResult::Status::kUpToDate:
            std::cout << "[INFO] Database already up to date.\n" << std::flush;
            session.logger.log("Database already up to date (" + describe(result) + ")");
            return kExitClean;
        case UpdateResult::Status::kFailed:
            break;
    }
    std::cerr << "[ERROR] Update failed: " << result.reason << "\n" << std::flush;
    session.logger.log("[ERROR] Database update failed: " + result.reason);
    return kExitError;
}

int run_clean(bool dry_run) {
    Session session;
    const TempCleanOutcome outcome = clean_temp_unattended(session.logger, {}, dry_run);
    const auto& texts = platform::kComponentCleanupTexts;
    if (dry_run) {
        for (const auto& path : outcome.removable) std::cout << display_text(path) << "\n";
        std::cout << "\n"
                  << outcome.removable.size() << " entries would be deleted; " << outcome.in_use
                  << " in use would be kept. Nothing was deleted.\n"
                  << std::flush;
        return kExitClean;
    }
    std::cout << (outcome.component_cleanup_ok ? texts.success : texts.failure) << "\n";
    std::cout << "[INFO] Cleaning complete. Removed " << outcome.removed.size() << " items.";
    if (!outcome.failed.empty()) {
        std::cout << " Skipped " << outcome.failed.size() << " items that could not be deleted.";
    }
    std::cout << "\n" << std::flush;
    for (const auto& path : outcome.failed) {
        std::cerr << display_text(path) << ": ERROR could not be deleted\n";
    }
    return outcome.component_cleanup_ok && outcome.failed.empty() ? kExitClean : kExitError;
}

// The autostart check alone: with --json one object per entry, then the issues and a summary;
// plain, one line per entry that is known-bad (and, unless quiet, the check's counts).
int run_autostart(bool json) {
    Session session;
    HashChecker checker(session.logger);
    if (!load_database(checker, session.data)) return kExitError;
    // The programs are matched against the rules folder's rules, as a scan without --rules is;
    // only the rule files' warnings are said.
    RuleLoadReport report;
    const RuleSet rules = load_run_rules(
        {session.data.rules_folder()}, session.data, session.logger,
        [](const std::string& line) {
            if (line.rfind("[WARN]", 0) == 0) std::cerr << line << "\n" << std::flush;
        },
        report);
    AutorunCheckOptions options;
    options.rules = &rules;
    session.logger.log(platform::kAutostartLogStart);
    const AutostartCheckResult result = run_autostart_check(checker, options);
    for (const auto& entry : result.entries) {
        if (entry.verdict == AutostartVerdict::kMalicious) {
            session.logger.log(platform::kAutostartLogTag + entry.location_label + " " +
                               entry.name + " -> " + entry.program +
                               autostart_reasons_text(entry));
        }
    }
    if (json) {
        for (const auto& entry : result.entries) {
            JsonLine line;
            line.value("type", "entry")
                .value("kind", entry.kind)
                .text("location", entry.location_label)
                .text("name", entry.name)
                .text("source", entry.source)
                .text("program", entry.program)
                .value("sha256", entry.sha256)
                .value("verdict", verdict_name(entry.verdict));
            if (!entry.user.empty()) line.text("user", entry.user);
            if (!entry.rules.empty()) line.value("rules", entry.rules);
            if (entry.hidden) line.value("hidden", true);
            if (!entry.note.empty()) line.text("note", entry.note);
            std::cout << line.str() << "\n";
        }
        for (const auto& issue : result.issues) {
            std::cout << JsonLine()
                             .value("type", issue.severity == AutostartIssue::Severity::kWarning
                                                ? "warning"
                                                : "error")
                             .value("kind", issue.kind)
                             .text("location", issue.location_label)
                             .text("name", issue.name)
                             .text("source", issue.source)
                             .text("reason", issue.reason)
                             .str()
                      << "\n";
        }
        std::cout << JsonLine()
                         .value("type", "summary")
                         .value("schema", 1)
                         .value("checked", result.checked)
                         .value("malicious", result.malicious)
                         .str()
                  << "\n"
                  << std::flush;
    } else {
        for (const auto& entry : result.entries) {
            if (entry.verdict != AutostartVerdict::kMalicious) continue;
            std::cout << printable(entry.program) << ": MALICIOUS (" << entry.location_label
                      << " -> " << printable(entry.name) << ")"
                      << printable(autostart_reasons_text(entry)) << "\n";
        }
        for (const auto& issue : result.issues) {
            std::cerr << issue.location_label << " -> " << printable(issue.name) << ": "
                      << (issue.severity == AutostartIssue::Severity::kWarning ? "WARNING "
                                                                               : "ERROR ")
                      << printable(issue.reason) << "\n";
        }
        std::cout << result.checked << " entries checked. " << result.malicious
                  << " malicious detected.\n"
                  << std::flush;
    }
    return result.malicious != 0 ? kExitFound : kExitClean;
}

// What CLI11 reports as a parse error: help and version requests are answered on standard output
// with status 0; a real error gets its message and the usage on standard error, and status 2.
int exit_for(const CLI::App& app, const CLI::ParseError& error) {
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
        return app.exit(error);
    }
    app.exit(error, std::cout, std::cerr);
    return kExitError;
}

}  // namespace

int run_batch(int argc, char** argv) {
    platform::enable_virtual_terminal();
    CLI::App app{
        "Quorvex: a malware scanner and system-maintenance tool. Without a command it "
        "starts the interactive menu.",
        "quorvex"};
    app.set_version_flag("--version", kVersion);
    app.require_subcommand(1);
    app.failure_message(CLI::FailureMessage::help);

    ScanCommand scan;
    CLI::App* scan_app = app.add_subcommand("scan", "scan these files and folders");
    CLI::Option* paths = scan_app->add_option("PATH", scan.paths, "files and folders to scan");
    CLI::Option* quick = scan_app->add_flag("--quick", scan.quick, "the quick-scan folders");
    CLI::Option* full = scan_app->add_flag("--full", scan.full, "the whole system");
    paths->excludes(quick)->excludes(full);
    quick->excludes(full);
    scan_app->add_flag("--heuristics", scan.heuristics, "entropy check of executables");
    scan_app->add_flag("--verify-signatures", scan.verify_signatures, "skip trusted files");
    scan_app->add_flag("--all-files", scan.all_files, "no folder-marker and no extension skipping");
    scan_app->add_flag("--json", scan.json, "JSON Lines on standard output");
    scan_app->add_option("--report", scan.report_file, "also write the export report to FILE")
        ->type_name("FILE");
    scan_app->add_flag("--no-cache", scan.no_cache, "neither read nor write the hash cache");
    scan_app->add_option("--jobs", scan.jobs, "worker threads (default: one per hardware thread, at least 4)")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1024}));
    scan_app->add_flag("--quiet", scan.quiet, "findings only, no summary");
    add_scan_quarantine_options(*scan_app, scan.quarantine);
    CLI::Option* rules = scan_app->add_option(
        "--rules", scan.rules,
        "match against the rule files (*.yar, *.yara) in DIR instead of the rules folder of the "
        "data folder (repeatable)");
    rules->type_name("DIR")->allow_extra_args(false);
    scan_app->add_flag("--no-rules", scan.no_rules, "no rule matching")->excludes(rules);
    scan_app
        ->add_option("--max-rule-size", scan.max_rule_size,
                     "files larger than this are not matched against rules (default 64 MiB)")
        ->type_name("BYTES")
        ->transform(CLI::AsSizeValue(false));

    CLI::App* update_app =
        app.add_subcommand("update", "the database update; exit 0 updated, 2 failed");

    bool autostart_json = false;
    CLI::App* autostart_app = app.add_subcommand(
        "autostart", "the autostart check alone; exit 1 when an entry is known-bad");
    autostart_app->add_flag("--json", autostart_json, "JSON Lines on standard output");

    bool dry_run = false;
    CLI::App* clean_app = app.add_subcommand("clean", "the temp and cache clean-up");
    clean_app->add_flag("--dry-run", dry_run, "list what would go and delete nothing");

    QuarantineCommand quarantine;
    CLI::App* quarantine_app = add_quarantine_commands(app, quarantine);

    try {
        app.parse(argc, argv);
        if (scan_app->parsed() && scan.paths.empty() && !scan.quick && !scan.full) {
            throw CLI::RequiredError("PATH (or --quick or --full)");
        }
    } catch (const CLI::ParseError& error) {
        return exit_for(app, error);
    }

    if (scan_app->parsed()) return run_scan(scan);
    if (update_app->parsed()) return run_update();
    if (clean_app->parsed()) return run_clean(dry_run);
    if (autostart_app->parsed()) return run_autostart(autostart_json);
    if (quarantine_app->parsed()) {
        Session session;
        return run_quarantine(quarantine, session.data, session.logger) ? kExitClean : kExitError;
    }
    return kExitError;
}
