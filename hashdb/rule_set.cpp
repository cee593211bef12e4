#include "hashdb/rule_set.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

#include "console/console.h"
#include "hashdb/file_hash.h"
#include "hashdb/stored_bytes.h"
#include "platform/atomic_file.h"
#include "platform/file_info.h"

namespace {

namespace fs = std::filesystem;

constexpr char kKeptMagic[] = "QVXRULES";
constexpr std::size_t kMagicBytes = 8;
constexpr std::uint64_t kKeptVersion = 1;
// Anything that changes what a set finds for the same rule texts (the variables and how they are
// set) changes this, so that neither a kept set nor the memory of earlier matches outlives it.
constexpr char kRuleSemantics[] = "quorvex rules 1";

// Rule files of public sets are kilobytes; a file this large is not one.
constexpr std::uint64_t kLargestRuleFile = std::uint64_t{64} << 20;
constexpr std::uint64_t kLargestKeptSet = std::uint64_t{1} << 30;

struct RuleFile {
    fs::path path;
    std::string shown;  // as messages show it
    std::string key;    // its exact name, for the fingerprint
};

std::string shown(const fs::path& path) { return printable(platform::display_narrow(path)); }

std::string lower_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string narrow_text(const fs::path& path) {
    std::string text;
    return platform::narrow_path(path, text) ? text : platform::display_narrow(path);
}

bool is_rule_file_name(const fs::path& path) {
    const std::string extension = lower_ascii(narrow_text(path.extension()));
    return extension == ".yar" || extension == ".yara";
}

void add_problem(RuleLoadReport& report, std::string file, int line, std::string message) {
    report.problems.push_back(RuleFileProblem{std::move(file), line, std::move(message)});
}

// Every rule file of the sources, each once: a folder's in name order, folders in the order given.
std::vector<RuleFile> gather_rule_files(const std::vector<fs::path>& sources,
                                        RuleLoadReport& report) {
    std::vector<fs::path> paths;
    for (const auto& given : sources) {
        std::error_code error;
        // One spelling for each file, whichever folder it was reached from and from where: the
        // names are part of the set's fingerprint and identity.
        fs::path source = fs::absolute(given, error).lexically_normal();
        if (error) source = given;
        const auto status = fs::status(source, error);
        if (!fs::exists(status)) {
            if (error && error != std::errc::no_such_file_or_directory) {
                add_problem(report, shown(source), 0, error.message());
            } else {
                report.missing_sources.push_back(shown(source));
            }
            continue;
        }
        if (!fs::is_directory(status)) {
            paths.push_back(source);
            continue;
        }
        std::vector<fs::path> found;
        fs::recursive_directory_iterator entry(source, error), end;
        for (; !error && entry != end; entry.increment(error)) {
            std::error_code kind_error;
            if (entry->is_regular_file(kind_error) && is_rule_file_name(entry->path())) {
                found.push_back(entry->path());
            }
        }
        // A folder that cannot be listed hides rule files: say so rather than scan without them.
        if (error) add_problem(report, shown(source), 0, error.message());
        std::sort(found.begin(), found.end());
        paths.insert(paths.end(), found.begin(), found.end());
    }
    std::vector<RuleFile> files;
    for (const auto& path : paths) {
        const bool seen = std::any_of(files.begin(), files.end(),
                                      [&](const RuleFile& file) { return file.path == path; });
        if (!seen) files.push_back(RuleFile{path, shown(path), platform::narrow_path_key(path)});
    }
    return files;
}

std::vector<std::string> variable_names() {
    return std::vector<std::string>(kRuleVariables.begin(), kRuleVariables.end());
}

// The names, sizes and last-write times of the rule files, and the library that compiles them:
// any change gives another fingerprint. A file whose stamp cannot be read counts as such.
class Fingerprint {
  public:
    Fingerprint() {
        out.text(kRuleSemantics).text(platform::rule_library_version());
        for (const char* name : kRuleVariables) out.text(name);
    }
    void add(const RuleFile& file, const platform::FileStamp* stamp) {
        out.text(file.key).u64(stamp != nullptr ? 1 : 0);
        if (stamp != nullptr)
            out.u64(static_cast<std::uint64_t>(stamp->size)).u64(stamp->last_write_time);
    }
    const std::string& str() const { return out.str(); }

  private:
    ByteWriter out;
};

std::string describe_key_error(const platform::RuleKeyError& error) {
    std::string text;
    switch (error.failure) {
        case platform::RuleKeyFailure::kUnavailable:
            return "this build keeps no compiled rules";
        case platform::RuleKeyFailure::kUnreadable:
            text = "the key cannot be read";
            break;
        case platform::RuleKeyFailure::kNotReplaced:
            text = "the key is unfit and cannot be replaced";
            break;
        case platform::RuleKeyFailure::kNotCreated:
            text = "the key cannot be created";
            break;
        case platform::RuleKeyFailure::kNoRandomBytes:
            return "no random bytes for a key";
        case platform::RuleKeyFailure::kChanging:
            return "the key keeps changing";
        case platform::RuleKeyFailure::kNone:
            return "";
    }
    if (error.system) text += ": " + error.system.message();
    return text;
}

// The kept set, if it is the program's own and was compiled from exactly these files.
bool reuse_kept(const std::vector<RuleFile>& files, const KeptRuleFiles& kept,
                platform::CompiledRules& compiled, std::string& identity, RuleLoadReport& report) {
    Fingerprint fingerprint;
    for (const auto& file : files) {
        platform::FileStamp stamp;
        fingerprint.add(file, platform::query_file_stamp(file.path, stamp) ? &stamp : nullptr);
    }
    platform::WholeFile stored;
    stored.limit = kLargestKeptSet;
    platform::ReadError read_error;
    if (!platform::read_whole_file(kept.compiled, stored, nullptr, &read_error)) {
        // No kept set yet is the usual first start, nothing to mention.
        if (!(read_error.failure == platform::ReadFailure::kOpen &&
              read_error.system == std::errc::no_such_file_or_directory)) {
            report.reuse_problem = shown(kept.compiled) + ": " + describe_read_error(read_error);
        }
        return false;
    }
    const std::string_view data(reinterpret_cast<const char*>(stored.bytes.data()), stored.size);
    const auto refuse = [&](const std::string& why) {
        report.reuse_problem = shown(kept.compiled) + ": " + why;
        return false;
    };
    KeptRules parsed;
    if (!stored.kept || !parse_kept_rules(data, parsed)) return refuse("not a kept rule set");
    // Rule files changed since: compiled afresh, as expected.
    if (parsed.fingerprint != fingerprint.str()) return false;
    std::string key;
    platform::RuleKeyError key_error;
    if (!platform::load_or_create_rule_key(kept.key, key, key_error)) {
        return refuse(describe_key_error(key_error));
    }
    platform::RuleSeal expected{};
    if (!platform::seal_rules(key, parsed.sealed, expected) ||
        !platform::same_seal(expected, parsed.seal)) {
        return refuse("not sealed by this installation");
    }
    platform::CompiledRules loaded;
    if (!loaded.load(parsed.compiled) || loaded.rule_count() == 0) {
        return refuse("the rule library cannot load it");
    }
    compiled = std::move(loaded);
    identity = std::string(parsed.identity);
    report.files_loaded = static_cast<std::size_t>(parsed.files_loaded);
    report.problems.insert(report.problems.end(), parsed.problems.begin(), parsed.problems.end());
    report.reused = true;
    return true;
}

std::vector<platform::RuleText> texts_of(const std::vector<platform::RuleText>& texts,
                                         const std::vector<std::size_t>& chosen) {
    std::vector<platform::RuleText> subset;
    subset.reserve(chosen.size());
    for (const std::size_t i : chosen) subset.push_back(texts[i]);
    return subset;
}

// Compiles the texts together, leaving out each one that does not compile, in as few
// compilations as it takes: a compilation costs tens of milliseconds even for one small text. One
// stops at the first text with an error, and the texts before it are then known to compile; after
// a second failure, the texts not yet known to compile are compiled one by one, which finds every
// broken one at once, and the rest together once more. Returns the indices of the texts compiled.
template <class OnError>
std::vector<std::size_t> compile_sound_texts(const std::vector<platform::RuleText>& texts,
                                             const std::vector<std::string>& variables,
                                             platform::CompiledRules& compiled,
                                             OnError&& on_error) {
    std::vector<std::size_t> chosen(texts.size());
    for (std::size_t i = 0; i < chosen.size(); ++i) chosen[i] = i;
    for (int failures = 0; !chosen.empty(); ++failures) {
        platform::RuleCompileError error;
        if (compiled.compile(texts_of(texts, chosen), variables, error)) return chosen;
        if (error.text == platform::RuleCompileError::kNoText) break;
        on_error(chosen[error.text], error);
        const auto known_sound = chosen.begin() + static_cast<std::ptrdiff_t>(error.text);
        const std::vector<std::size_t> untried(known_sound + 1, chosen.end());
        chosen.erase(known_sound, chosen.end());
        for (const std::size_t i : untried) {
            if (failures == 0) {
                chosen.push_back(i);
                continue;
            }
            platform::CompiledRules alone;
            platform::RuleCompileError alone_error;
            if (alone.compile({texts[i]}, variables, alone_error)) {
                chosen.push_back(i);
            } else {
                on_error(i, alone_error);
            }
        }
    }
    compiled = platform::CompiledRules();
    return {};
}

// Compiles the rule files that compile, each into a namespace of its own, so that files of
// different sets may use the same rule names.
struct Compilation {
    platform::CompiledRules compiled;
    std::string identity;
    std::string fingerprint;
    std::size_t problems_before = 0;
};

void compile_rule_files(const std::vector<RuleFile>& files, Compilation& result,
                        RuleLoadReport& report) {
    Fingerprint fingerprint;
    std::vector<platform::RuleText> texts;
    std::vector<std::size_t> file_of_text;
    platform::WholeFile content;
    content.limit = kLargestRuleFile;
    for (std::size_t i = 0; i < files.size(); ++i) {
        platform::FileStamp stamp;
        platform::ReadError read_error;
        const bool read = platform::read_whole_file(files[i].path, content, &stamp, &read_error);
        fingerprint.add(files[i], read ? &stamp : nullptr);
        if (!read) {
            add_problem(report, files[i].shown, 0, describe_read_error(read_error));
            continue;
        }
        if (!content.kept) {
            add_problem(report, files[i].shown, 0, "larger than 64 MiB");
            continue;
        }
        const char* bytes = reinterpret_cast<const char*>(content.bytes.data());
        texts.push_back(platform::RuleText{files[i].key, std::string(bytes, content.size)});
        file_of_text.push_back(i);
    }
    result.fingerprint = fingerprint.str();

    const std::vector<std::string> variables = variable_names();
    const auto report_error = [&](std::size_t text, const platform::RuleCompileError& error) {
        add_problem(report, files[file_of_text[text]].shown, error.line,
                    error.message.empty() ? "does not compile" : error.message);
    };
    const std::vector<std::size_t> chosen =
        compile_sound_texts(texts, variables, result.compiled, report_error);
    report.files_loaded = chosen.size();

    ByteWriter identity;
    identity.text(kRuleSemantics).text(platform::rule_library_version());
    for (const char* name : kRuleVariables) identity.text(name);
    for (const std::size_t i : chosen) identity.text(texts[i].name_space).text(texts[i].text);
    compute_bytes_hash(reinterpret_cast<const unsigned char*>(identity.str().data()),
                       identity.str().size(), result.identity);
}

// Keeps a fresh compilation for the next start; says why not where it cannot.
void keep_compilation(const Compilation& compilation, const KeptRuleFiles& kept,
                      const RuleLoadReport& report, std::string& problem) {
    std::string key;
    platform::RuleKeyError key_error;
    if (!platform::load_or_create_rule_key(kept.key, key, key_error)) {
        problem = shown(kept.key) + ": " + describe_key_error(key_error);
        return;
    }
    std::string compiled;
    if (!compilation.compiled.save(compiled)) {
        problem = "the rule library cannot store the set";
        return;
    }
    KeptRules record;
    record.fingerprint = compilation.fingerprint;
    record.identity = compilation.identity;
    record.files_loaded = report.files_loaded;
    record.problems.assign(
        report.problems.begin() + static_cast<std::ptrdiff_t>(compilation.problems_before),
        report.problems.end());
    record.compiled = compiled;
    const std::string bytes = serialize_kept_rules(record, key);
    platform::AtomicFileWriter writer(kept.compiled);
    if (bytes.empty() || !writer.ok()) {
        problem = shown(kept.compiled) + ": cannot be written";
        return;
    }
    writer.stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!writer.commit()) problem = shown(kept.compiled) + ": cannot be written";
}

std::string count_of(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

RuleSet RuleSet::load(const std::vector<fs::path>& sources, const KeptRuleFiles& kept,
                      RuleLoadReport& report) {
    report = RuleLoadReport{};
    const std::vector<RuleFile> files = gather_rule_files(sources, report);
    report.files_found = files.size();
    RuleSet set;
    if (files.empty()) return set;
    if (!platform::rule_matching_available()) {
        report.unavailable = true;
        return set;
    }
    if (!kept.compiled.empty() && reuse_kept(files, kept, set.compiled, set.digest, report)) {
        report.rules = set.rule_count();
        return set;
    }
    Compilation compilation;
    compilation.problems_before = report.problems.size();
    compile_rule_files(files, compilation, report);
    if (compilation.compiled.rule_count() == 0) return set;
    if (!kept.compiled.empty()) keep_compilation(compilation, kept, report, report.keeping_problem);
    set.compiled = std::move(compilation.compiled);
    set.digest = std::move(compilation.identity);
    report.rules = set.rule_count();
    return set;
}

std::vector<std::string> describe_rule_load(const RuleLoadReport& report) {
    std::vector<std::string> lines;
    for (const auto& problem : report.problems) {
        std::string line = "[WARN] Rules file " + problem.file;
        if (problem.line > 0) line += " line " + std::to_string(problem.line);
        lines.push_back(line + ": " + problem.message);
    }
    if (report.unavailable) {
        lines.emplace_back("[WARN] Rule matching is not available in this build.");
    } else if (report.rules != 0) {
        lines.push_back("[INIT] Loaded " + count_of(report.rules, "rule", "rules") + " from " +
                        count_of(report.files_loaded, "file.", "files."));
    } else if (report.files_found != 0) {
        lines.push_back("[WARN] No rules loaded: none of the " +
                        count_of(report.files_found, "rule file", "rule files") +
                        " holds a usable rule.");
    } else if (platform::rule_matching_available()) {
        lines.emplace_back("[INIT] No rules loaded: no rule files (*.yar, *.yara) found.");
    }
    return lines;
}

std::vector<std::string> describe_rule_keeping(const RuleLoadReport& report) {
    std::vector<std::string> lines;
    if (report.rules != 0) {
        lines.push_back(report.reused ? "Compiled rules reused"
                                      : "Rules compiled from " +
                                            count_of(report.files_loaded, "file", "files"));
    }
    if (!report.reuse_problem.empty()) {
        lines.push_back("[WARN] Kept compiled rules refused: " + report.reuse_problem);
    }
    if (!report.keeping_problem.empty()) {
        lines.push_back("[WARN] Compiled rules not kept: " + report.keeping_problem);
    }
    return lines;
}

std::string rules_too_large_text(std::uint64_t files) {
    return count_of(static_cast<std::size_t>(files), "file", "files") +
           " not matched against rules (larger than the limit)";
}

RuleMatcher::RuleMatcher(const RuleSet& set, const RuleMatchOptions& options)
    : scanner(set.rules(), variable_names(), options.timeout_seconds),
      values(kRuleVariables.size()) {
    content.limit = options.max_file_size;
}

RuleMatch RuleMatcher::match(const fs::path& path) {
    RuleMatch result;
    values[0] = narrow_text(path.filename());
    // Rules compare whole paths: a scan of a relative folder still gives them one.
    std::error_code error;
    values[1] = narrow_text(path.is_absolute() ? path : fs::absolute(path, error));
    values[2] = lower_ascii(narrow_text(path.extension()));
    values[3] = file_type_of(content.bytes.data(), content.size);
    values[4] = content.owner;
    names.clear();
    switch (scanner.scan(content.bytes.data(), content.size, values, names)) {
        case platform::RuleScanOutcome::kDone:
            break;
        case platform::RuleScanOutcome::kTimedOut:
            return RuleMatch{RuleOutcome::kTimedOut, {}, kRuleTimeoutText};
        case platform::RuleScanOutcome::kFailed:
            return RuleMatch{RuleOutcome::kFailed, {}, "rule matching failed"};
    }
    // Rules of different files may share a name; the finding names each once.
    for (auto& name : names) {
        if (std::find(result.rules.begin(), result.rules.end(), name) == result.rules.end()) {
            result.rules.push_back(std::move(name));
        }
    }
    return result;
}

RuleMatch match_file_against_rules(const RuleSet& set, const fs::path& path,
                                   const RuleMatchOptions& options) {
    if (!set.active()) return RuleMatch{};
    RuleMatcher matcher(set, options);
    platform::ReadError error;
    if (!platform::read_whole_file(path, matcher.buffer(), nullptr, &error)) {
        return RuleMatch{RuleOutcome::kFailed, {}, describe_read_error(error)};
    }
    if (!matcher.buffer().kept) return RuleMatch{RuleOutcome::kTooLarge, {}, ""};
    return matcher.match(path);
}

std::string file_type_of(const unsigned char* data, std::size_t size) {
    const auto starts_with = [&](std::string_view magic) {
        return size >= magic.size() && std::memcmp(data, magic.data(), magic.size()) == 0;
    };
    if (starts_with("MZ")) return "EXE";
    if (starts_with("\x7f"
                    "ELF"))
        return "ELF";
    // A local file header, and the end record that alone makes an empty archive.
    if (starts_with("PK\x03\x04") || starts_with("PK\x05\x06")) return "ZIP";
    if (starts_with("%PDF")) return "PDF";
    if (starts_with("#!")) return "SCRIPT";
    return "";
}

std::string serialize_kept_rules(const KeptRules& kept, std::string_view key) {
    ByteWriter out;
    out.raw(std::string_view(kKeptMagic, kMagicBytes))
        .u64(kKeptVersion)
        .text(kept.fingerprint)
        .text(kept.identity)
        .u64(kept.files_loaded)
        .u64(kept.problems.size());
    for (const auto& problem : kept.problems) {
        out.text(problem.file).u64(static_cast<std::uint64_t>(problem.line)).text(problem.message);
    }
    out.text(kept.compiled);
    platform::RuleSeal seal{};
    if (!platform::seal_rules(key, out.str(), seal)) return "";
    out.raw(std::string_view(reinterpret_cast<const char*>(seal.data()), seal.size()));
    return out.take();
}

bool parse_kept_rules(std::string_view data, KeptRules& kept) {
    ByteReader in(data);
    KeptRules parsed;
    std::string_view magic;
    std::uint64_t version = 0;
    std::uint64_t problems = 0;
    if (!in.raw(kMagicBytes, magic) || magic != std::string_view(kKeptMagic, kMagicBytes) ||
        !in.u64(version) || version != kKeptVersion || !in.text(parsed.fingerprint) ||
        !in.text(parsed.identity) || !in.u64(parsed.files_loaded) || !in.u64(problems)) {
        return false;
    }
    // Each problem takes at least its three length and line fields.
    if (problems > in.remaining() / 24) return false;
    for (std::uint64_t i = 0; i < problems; ++i) {
        std::string_view file;
        std::string_view message;
        std::uint64_t line = 0;
        if (!in.text(file) || !in.u64(line) || !in.text(message)) return false;
        parsed.problems.push_back(
            RuleFileProblem{std::string(file), static_cast<int>(line), std::string(message)});
    }
    std::string_view seal;
    if (!in.text(parsed.compiled)) return false;
    parsed.sealed = data.substr(0, in.position());
    if (!in.raw(parsed.seal.size(), seal) || in.remaining() != 0) return false;
    std::memcpy(parsed.seal.data(), seal.data(), seal.size());
    kept = std::move(parsed);
    return true;
}
