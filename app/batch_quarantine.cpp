#include "app/batch_quarantine.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>

#include "app/json_lines.h"
#include "console/logger.h"
#include "platform/clock.h"
#include "scanner/scan_file.h"

namespace {

constexpr const char kFolderOption[] = "--quarantine-dir";
constexpr const char kFolderHelp[] =
    "the quarantine folder (default: quarantine in the data folder)";

// A test hook, not an option: with QUORVEX_TEST_HOOK_EXIT_AFTER_STEP=N the process ends at once
// after the Nth durable step of its quarantine changes, with status kTestHookExit and no clean-up
// of any kind, as a crash would leave things. The end-to-end tests use it to check that every
// such state is settled by the next command.
constexpr const char kTestHookVariable[] = "QUORVEX_TEST_HOOK_EXIT_AFTER_STEP";
constexpr int kTestHookExit = 86;

QuarantineOptions quarantine_options() {
    QuarantineOptions options;
    const char* stop_after = std::getenv(kTestHookVariable);
    if (stop_after != nullptr && *stop_after != '\0') {
        const long step = std::strtol(stop_after, nullptr, 10);
        options.after_step = [step, done = 0L](QuarantineStep) mutable {
            if (++done == step) std::_Exit(kTestHookExit);
        };
    }
    return options;
}

std::filesystem::path folder_of(const std::string& chosen, const DataFiles& data) {
    return chosen.empty() ? data.quarantine() : std::filesystem::path(chosen);
}

void say_error(const std::string& message) { std::cerr << "quorvex: " << message << "\n"; }

std::string joined(const std::vector<std::string>& reasons) {
    std::string text;
    for (const auto& reason : reasons) text += (text.empty() ? "" : ",") + reason;
    return text;
}

std::string utc_text(std::int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    char text[32] = "";
    if (const std::tm* utc = std::gmtime(&when)) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    }
    return text;
}

std::string local_text(std::int64_t seconds) {
    const std::tm local = platform::local_time(static_cast<std::time_t>(seconds));
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

bool list_items(Quarantine& quarantine, bool json) {
    std::vector<QuarantineItem> items;
    std::string error;
    if (!quarantine.list(items, error)) {
        say_error(error);
        return false;
    }
    for (const QuarantineItem& item : items) {
        if (json) {
            std::cout << JsonLine()
                             .value("id", item.id)
                             .path("original_path", item.original_path)
                             .value("size", item.size)
                             .value("sha256", item.sha256)
                             .value("reasons", item.reasons)
                             .value("quarantined_at", utc_text(item.quarantined_at))
                             .str()
                      << "\n";
        } else {
            std::cout << item.id << "  " << local_text(item.quarantined_at) << "  " << item.size
                      << "  " << joined(item.reasons) << "  " << display_text(item.original_path)
                      << "\n";
        }
    }
    std::cout << std::flush;
    return true;
}

}  // namespace

void add_scan_quarantine_options(CLI::App& scan, ScanQuarantine& request) {
    CLI::Option* quarantine = scan.add_flag("--quarantine", request.malicious,
                                            "move malicious files into the quarantine folder");
    scan.add_flag("--quarantine-suspicious", request.suspicious,
                  "with --quarantine, suspicious files too")
        ->needs(quarantine);
    scan.add_option(kFolderOption, request.folder, kFolderHelp)
        ->type_name("DIR")
        ->needs(quarantine);
}

std::string prepare_scan_quarantine(const ScanQuarantine& request, const DataFiles& data) {
    if (!request.malicious) return {};
    return Quarantine(folder_of(request.folder, data), quarantine_options()).prepare();
}

QuarantineResults quarantine_findings(const ScanQuarantine& request,
                                      const std::vector<const ScanFinding*>& findings,
                                      const DataFiles& data, Logger& logger) {
    QuarantineResults results;
    if (!request.malicious) return results;
    Quarantine quarantine(folder_of(request.folder, data), quarantine_options());
    for (const ScanFinding* finding : findings) {
        if (!request.wanted(*finding)) continue;
        const QuarantineOutcome outcome = quarantine.add(QuarantineCandidate{
            finding->path, finding->sha256, finding->size, finding->reasons, finding->stamp});
        if (outcome.ok()) {
            logger.log("[QUARANTINE] " + finding->display + " as " + outcome.id);
        } else {
            logger.log("[ERROR] Not quarantined: " + finding->display + ": " + outcome.error);
        }
        results.emplace(finding, outcome);
    }
    return results;
}

CLI::App* add_quarantine_commands(CLI::App& app, QuarantineCommand& command) {
    CLI::App* quarantine = app.add_subcommand("quarantine", "the items the scan moved away");
    quarantine->require_subcommand(1);

    command.list = quarantine->add_subcommand("list", "the items in quarantine");
    command.list->add_flag("--json", command.json, "one JSON object per item");

    command.restore = quarantine->add_subcommand("restore", "put an item back");
    command.restore->add_option("ID", command.id, "the item")->required();
    command.restore->add_option("--to", command.to, "put it here instead of its original path")
        ->type_name("PATH");
    command.restore->add_flag("--force", command.force, "replace a file in the way");

    command.remove = quarantine->add_subcommand("delete", "remove items for good");
    CLI::Option* id = command.remove->add_option("ID", command.id, "the item");
    CLI::Option* all = command.remove->add_flag("--all", command.all, "every item");
    id->excludes(all);
    // An empty id would mean every item: only --all says that.
    command.remove->callback([&command] {
        if (command.id.empty() && !command.all) throw CLI::RequiredError("ID or --all");
    });

    for (CLI::App* each : {command.list, command.restore, command.remove}) {
        each->add_option(kFolderOption, command.folder, kFolderHelp)->type_name("DIR");
    }
    return quarantine;
}

bool run_quarantine(const QuarantineCommand& command, const DataFiles& data, Logger& logger) {
    Quarantine quarantine(folder_of(command.folder, data), quarantine_options());
    if (command.list->parsed()) return list_items(quarantine, command.json);

    if (command.restore->parsed()) {
        std::optional<std::filesystem::path> to;
        if (!command.to.empty()) to = std::filesystem::path(command.to);
        const RestoreOutcome outcome = quarantine.restore(command.id, to, command.force);
        if (!outcome.ok()) {
            say_error("item " + command.id + " not restored: " + outcome.error);
            logger.log("[ERROR] Quarantine restore of " + command.id + " failed: " + outcome.error);
            return false;
        }
        const std::string where = display_text(outcome.restored_to);
        if (!outcome.owner_warning.empty()) say_error(where + ": " + outcome.owner_warning);
        std::cout << "Restored " << command.id << " to " << where << "\n" << std::flush;
        logger.log("[QUARANTINE] Restored " + command.id + " to " + where);
        return true;
    }

    std::size_t removed = 0;
    const std::string error = quarantine.remove(command.all ? std::string() : command.id, removed);
    std::cout << "Deleted " << removed << (removed == 1 ? " item" : " items") << " for good.\n"
              << std::flush;
    logger.log("[QUARANTINE] Deleted " + std::to_string(removed) + " items");
    if (!error.empty()) {
        say_error(error);
        return false;
    }
    return true;
}
