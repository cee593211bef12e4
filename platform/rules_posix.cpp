#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yara.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/rules.h"

namespace platform {
namespace {

constexpr std::size_t kKeyBytes = 32;

// The library's process-wide set-up, done once on first use and undone at exit.
class Library {
  public:
    Library() : status(yr_initialize()) {}
    ~Library() {
        if (status == ERROR_SUCCESS) yr_finalize();
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    bool ready() const { return status == ERROR_SUCCESS; }

  private:
    int status;
};

bool library_ready() {
    static Library library;
    return library.ready();
}

YR_RULES* as_rules(void* rules) { return static_cast<YR_RULES*>(rules); }
YR_SCANNER* as_scanner(void* scanner) { return static_cast<YR_SCANNER*>(scanner); }

struct CompileState {
    std::size_t text = 0;
    RuleCompileError* error = nullptr;
    bool failed = false;
};

void on_compile_message(int level, const char*, int line, const YR_RULE*, const char* message,
                        void* user_data) {
    auto* state = static_cast<CompileState*>(user_data);
    // Warnings (a string that may slow scanning...) do not keep a rule from working.
    if (level != YARA_ERROR_LEVEL_ERROR || state->failed) return;
    state->failed = true;
    *state->error = RuleCompileError{state->text, line, message != nullptr ? message : ""};
}

class Compiler {
  public:
    Compiler() {
        if (yr_compiler_create(&compiler) != ERROR_SUCCESS) compiler = nullptr;
    }
    ~Compiler() {
        if (compiler != nullptr) yr_compiler_destroy(compiler);
    }
    Compiler(const Compiler&) = delete;
    Compiler& operator=(const Compiler&) = delete;
    YR_COMPILER* get() const { return compiler; }

  private:
    YR_COMPILER* compiler = nullptr;
};

size_t write_to_string(const void* data, size_t size, size_t count, void* user_data) {
    static_cast<std::string*>(user_data)->append(static_cast<const char*>(data), size * count);
    return count;
}

struct ReadCursor {
    std::string_view data;
    std::size_t at = 0;
};

size_t read_from_view(void* out, size_t size, size_t count, void* user_data) {
    auto* cursor = static_cast<ReadCursor*>(user_data);
    if (size == 0) return 0;
    const std::size_t items = std::min(count, (cursor->data.size() - cursor->at) / size);
    std::memcpy(out, cursor->data.data() + cursor->at, items * size);
    cursor->at += items * size;
    return items;
}

int on_scan_message(YR_SCAN_CONTEXT*, int message, void* message_data, void* user_data) {
    if (message == CALLBACK_MSG_RULE_MATCHING) {
        const auto* rule = static_cast<const YR_RULE*>(message_data);
        static_cast<std::vector<std::string>*>(user_data)->emplace_back(rule->identifier);
    }
    return CALLBACK_CONTINUE;
}

// True when the open key file is fit, with its bytes in `key`.
bool read_fit_key(int fd, std::string& key) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IRWXG | S_IRWXO)) != 0 ||
        info.st_size != static_cast<off_t>(kKeyBytes)) {
        return false;
    }
    std::string bytes(kKeyBytes, '\0');
    std::size_t total = 0;
    while (total < kKeyBytes) {
        const ssize_t got = ::read(fd, bytes.data() + total, kKeyBytes - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        total += static_cast<std::size_t>(got);
    }
    key = std::move(bytes);
    return true;
}

bool write_all(int fd, const std::string& bytes) {
    std::size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + total, bytes.size() - total);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        total += static_cast<std::size_t>(put);
    }
    return true;
}

void sync_folder_of(const std::filesystem::path& file) {
    auto folder = file.parent_path();
    if (folder.empty()) folder = ".";
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    ::fsync(dir);
    ::close(dir);
}

std::error_code last_error() { return std::error_code(errno, std::generic_category()); }

// Makes a new secret in `file`, which must not exist. It is written under its own name, not
// through a temporary renamed into place, so that no other user can ever read it: created
// owner-only, never widened. A write cut short leaves a short file, which the next start finds
// unfit and replaces; no earlier secret is ever lost to it.
bool create_key(const std::filesystem::path& file, std::string& key, RuleKeyError& error) {
    std::string bytes(kKeyBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(kKeyBytes)) !=
        1) {
        error = RuleKeyError{RuleKeyFailure::kNoRandomBytes, {}};
        return false;
    }
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) {
        error = RuleKeyError{RuleKeyFailure::kNotCreated, last_error()};
        return false;
    }
    const bool written =
        ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && write_all(fd, bytes) && ::fsync(fd) == 0;
    const std::error_code why = written ? std::error_code() : last_error();
    ::close(fd);
    if (!written) {
        ::unlink(file.c_str());
        error = RuleKeyError{RuleKeyFailure::kNotCreated, why};
        return false;
    }
    sync_folder_of(file);
    key = std::move(bytes);
    return true;
}

}  // namespace

bool rule_matching_available() { return library_ready(); }

std::string rule_library_version() { return YR_VERSION; }

CompiledRules::~CompiledRules() {
    if (rules != nullptr) yr_rules_destroy(as_rules(rules));
}

CompiledRules::CompiledRules(CompiledRules&& other) noexcept
    : rules(std::exchange(other.rules, nullptr)) {}

CompiledRules& CompiledRules::operator=(CompiledRules&& other) noexcept {
    if (this != &other) {
        if (rules != nullptr) yr_rules_destroy(as_rules(rules));
        rules = std::exchange(other.rules, nullptr);
    }
    return *this;
}

std::size_t CompiledRules::rule_count() const {
    return rules == nullptr ? 0 : as_rules(rules)->num_rules;
}

bool CompiledRules::compile(const std::vector<RuleText>& texts,
                            const std::vector<std::string>& externals, RuleCompileError& error) {
    error = RuleCompileError{};
    if (!library_ready()) return false;
    Compiler compiler;
    if (compiler.get() == nullptr) return false;
    CompileState state;
    state.error = &error;
    yr_compiler_set_callback(compiler.get(), on_compile_message, &state);
    // A text may only use what the fingerprint of the set covers: no file outside it comes in.
    yr_compiler_set_include_callback(compiler.get(), nullptr, nullptr, nullptr);
    for (const auto& name : externals) {
        if (yr_compiler_define_string_variable(compiler.get(), name.c_str(), "") != ERROR_SUCCESS) {
            return false;
        }
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        state.text = i;
        if (yr_compiler_add_string(compiler.get(), texts[i].text.c_str(),
                                   texts[i].name_space.c_str()) != 0) {
            if (!state.failed) error = RuleCompileError{i, 0, ""};
            return false;
        }
    }
    YR_RULES* compiled = nullptr;
    if (yr_compiler_get_rules(compiler.get(), &compiled) != ERROR_SUCCESS) {
        return false;
    }
    *this = CompiledRules();
    rules = compiled;
    return true;
}

bool CompiledRules::save(std::string& stored) const {
    if (rules == nullptr) return false;
    std::string bytes;
    YR_STREAM stream{};
    stream.user_data = &bytes;
    stream.write = write_to_string;
    if (yr_rules_save_stream(as_rules(rules), &stream) != ERROR_SUCCESS) return false;
    stored = std::move(bytes);
    return true;
}

bool CompiledRules::load(std::string_view stored) {
    if (!library_ready()) return false;
    ReadCursor cursor{stored};
    YR_STREAM stream{};
    stream.user_data = &cursor;
    stream.read = read_from_view;
    YR_RULES* loaded = nullptr;
    if (yr_rules_load_stream(&stream, &loaded) != ERROR_SUCCESS) return false;
    *this = CompiledRules();
    rules = loaded;
    return true;
}

RuleScanner::RuleScanner(const CompiledRules& rules, std::vector<std::string> names,
                         int timeout_seconds)
    : externals(std::move(names)) {
    YR_SCANNER* created = nullptr;
    if (rules.rules == nullptr || yr_scanner_create(as_rules(rules.rules), &created) != 0) return;
    // The bytes are the program's own memory, never a mapped file: no access can fault, so the
    // library need not guard each scan with signal handlers of its own.
    yr_scanner_set_flags(created, SCAN_FLAGS_REPORT_RULES_MATCHING | SCAN_FLAGS_NO_TRYCATCH);
    yr_scanner_set_timeout(created, timeout_seconds);
    scanner = created;
}

RuleScanner::~RuleScanner() {
    if (scanner != nullptr) yr_scanner_destroy(as_scanner(scanner));
}

RuleScanOutcome RuleScanner::scan(const unsigned char* data, std::size_t size,
                                  const std::vector<std::string>& values,
                                  std::vector<std::string>& matched) {
    if (scanner == nullptr || values.size() != externals.size()) return RuleScanOutcome::kFailed;
    YR_SCANNER* const active = as_scanner(scanner);
    for (std::size_t i = 0; i < externals.size(); ++i) {
        if (yr_scanner_define_string_variable(active, externals[i].c_str(), values[i].c_str()) !=
            ERROR_SUCCESS) {
            return RuleScanOutcome::kFailed;
        }
    }
    const std::size_t before = matched.size();
    yr_scanner_set_callback(active, on_scan_message, &matched);
    static const unsigned char kNothing = 0;
    const int status = yr_scanner_scan_mem(active, size == 0 ? &kNothing : data, size);
    if (status == ERROR_SUCCESS) return RuleScanOutcome::kDone;
    matched.resize(before);
    return status == ERROR_SCAN_TIMEOUT ? RuleScanOutcome::kTimedOut : RuleScanOutcome::kFailed;
}

bool seal_rules(std::string_view key, std::string_view data, RuleSeal& seal) {
    unsigned int length = 0;
    return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                reinterpret_cast<const unsigned char*>(data.data()), data.size(), seal.data(),
                &length) != nullptr &&
           length == seal.size();
}

bool load_or_create_rule_key(const std::filesystem::path& file, std::string& key,
                             RuleKeyError& error) {
    error = RuleKeyError{};
    // Twice at most: another start may create the file between our look and our creation.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            const bool fit = read_fit_key(fd, key);
            ::close(fd);
            if (fit) return true;
            // A secret others could read is no secret, and one that is not ours not our own.
            if (::unlink(file.c_str()) != 0) {
                error = RuleKeyError{RuleKeyFailure::kNotReplaced, last_error()};
                return false;
            }
        } else if (errno != ENOENT) {
            error = RuleKeyError{RuleKeyFailure::kUnreadable, last_error()};
            return false;
        }
        if (create_key(file, key, error)) return true;
        if (error.system != std::errc::file_exists) return false;
    }
    error = RuleKeyError{RuleKeyFailure::kChanging, {}};
    return false;
}

}  // namespace platform
