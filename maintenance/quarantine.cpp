#include "maintenance/quarantine.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "console/console.h"
#include "platform/atomic_file.h"
#include "platform/file_hash.h"

namespace {

using Json = nlohmann::json;
using Item = QuarantineItem;

constexpr int kIndexFormat = 1;
constexpr const char kLockName[] = "index.lock";
constexpr const char kPartialSuffix[] = ".partial";
constexpr const char kRestorePrefix[] = ".quorvex-restore-";

// Why a file was not quarantined or restored, as the user reads it.
constexpr const char kChanged[] = "changed since the scan";
constexpr const char kGone[] = "gone since the scan";
constexpr const char kInQuarantineFolder[] = "in the quarantine folder";
constexpr const char kIsLink[] = "a symbolic link is in its place";
constexpr const char kNotRegular[] = "not a regular file";
constexpr const char kCopyMismatch[] = "changed while it was copied";

// A path as messages show it.
std::string shown(const std::filesystem::path& path) {
    return printable(platform::display_narrow(path));
}

std::string index_unwritable(const std::filesystem::path& index) {
    return "the quarantine index " + shown(index) + " cannot be written";
}

std::string words(const std::error_code& error) {
    if (error == std::errc::too_many_symbolic_link_levels) return kIsLink;
    if (error == std::errc::invalid_argument) return kNotRegular;
    return error.message();
}

std::string hex(const unsigned char* data, std::size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

// The digest text of a file's content, empty when it cannot be read.
std::string digest_of(const std::filesystem::path& path) {
    platform::Sha256Digest digest{};
    if (!platform::sha256_file(path, digest)) return {};
    return hex(digest.data(), digest.size());
}

// A path's own units (bytes on Linux, UTF-16 units on Windows) as fixed-width hex, so the index
// gives back exactly the path that was quarantined, whatever its encoding.
constexpr std::size_t kUnitDigits = sizeof(std::filesystem::path::value_type) * 2;

std::string units_of(const std::filesystem::path& path) {
    std::string text;
    char unit[16];
    for (const auto c : path.native()) {
        std::snprintf(unit, sizeof unit, "%0*lx", static_cast<int>(kUnitDigits),
                      static_cast<unsigned long>(
                          static_cast<std::make_unsigned_t<std::filesystem::path::value_type>>(c)));
        text += unit;
    }
    return text;
}

bool path_of_units(const std::string& text, std::filesystem::path& path) {
    if (text.size() % kUnitDigits != 0) return false;
    std::filesystem::path::string_type native;
    for (std::size_t at = 0; at < text.size(); at += kUnitDigits) {
        unsigned long value = 0;
        for (std::size_t i = 0; i < kUnitDigits; ++i) {
            const char c = text[at + i];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned long>(digit);
        }
        native += static_cast<std::filesystem::path::value_type>(value);
    }
    path = std::filesystem::path(std::move(native));
    return true;
}

const char* state_name(Item::State state) {
    switch (state) {
        case Item::State::kMoving:
            return "moving";
        case Item::State::kRestoring:
            return "restoring";
        case Item::State::kStored:
            break;
    }
    return "stored";
}

Json json_of(const Item& item) {
    Json entry;
    entry["id"] = item.id;
    entry["state"] = state_name(item.state);
    entry["path_units"] = units_of(item.original_path);
    // For a person reading the file; the units above are what counts.
    entry["path"] = shown(item.original_path);
    entry["size"] = item.size;
    entry["sha256"] = item.sha256;
    entry["reasons"] = item.reasons;
    entry["quarantined_at"] = item.quarantined_at;
    entry["mode"] = item.metadata.mode;
    entry["owner"] = item.metadata.owner;
    entry["access_time_ns"] = item.metadata.access_time_ns;
    entry["write_time_ns"] = item.metadata.write_time_ns;
    entry["stamp"] = {{"size", item.stamp.size},
                      {"last_write_time", item.stamp.last_write_time},
                      {"volume", item.stamp.identity.volume},
                      {"file", item.stamp.identity.file}};
    if (item.state == Item::State::kRestoring) {
        entry["restore_units"] = units_of(item.restore_target);
    }
    return entry;
}

// One entry of the index; false when it is not one this program wrote.
bool item_of(const Json& entry, Item& item) {
    try {
        item.id = entry.at("id").get<std::string>();
        const std::string state = entry.at("state").get<std::string>();
        if (state == "moving") {
            item.state = Item::State::kMoving;
        } else if (state == "restoring") {
            item.state = Item::State::kRestoring;
            if (!path_of_units(entry.at("restore_units").get<std::string>(), item.restore_target)) {
                return false;
            }
        } else if (state == "stored") {
            item.state = Item::State::kStored;
        } else {
            return false;
        }
        if (!path_of_units(entry.at("path_units").get<std::string>(), item.original_path)) {
            return false;
        }
        item.size = entry.at("size").get<std::uint64_t>();
        item.sha256 = entry.at("sha256").get<std::string>();
        item.reasons = entry.at("reasons").get<std::vector<std::string>>();
        item.quarantined_at = entry.at("quarantined_at").get<std::int64_t>();
        item.metadata.mode = entry.at("mode").get<std::uint32_t>();
        item.metadata.owner = entry.at("owner").get<std::string>();
        item.metadata.access_time_ns = entry.at("access_time_ns").get<std::int64_t>();
        item.metadata.write_time_ns = entry.at("write_time_ns").get<std::int64_t>();
        const Json& stamp = entry.at("stamp");
        item.stamp.size = stamp.at("size").get<std::int64_t>();
        item.stamp.last_write_time = stamp.at("last_write_time").get<std::uint64_t>();
        item.stamp.identity.volume = stamp.at("volume").get<std::uint64_t>();
        item.stamp.identity.file = stamp.at("file").get<std::uint64_t>();
    } catch (const Json::exception&) {
        return false;
    }
    // The id names a file in the folder: nothing but the hex digits it is made of.
    if (item.id.empty() || item.id.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return false;
    }
    return true;
}

bool exists_at(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::symlink_status(path, ignored).type() !=
           std::filesystem::file_type::not_found;
}

// Removes a file of the quarantine folder itself (a partial copy, a stored item).
bool remove_stored(const std::filesystem::path& path) {
    if (!exists_at(path)) return true;
    platform::PinnedFile file(path);
    return !file.error() && !file.remove();
}

bool is_stored_file(const std::filesystem::path& path) {
    platform::FileStamp ignored;
    return platform::query_entry_stamp(path, ignored);
}

std::filesystem::path restore_temporary(const Item& item) {
    std::filesystem::path name = kRestorePrefix;
    name += item.id;
    return item.restore_target.parent_path() / name;
}

}  // namespace

// The folder while one operation uses it: its lock held, its index read and kept in memory.
struct Quarantine::Session {
    explicit Session(const Quarantine& owner) : owner(owner) {}

    // Makes the folder, takes the lock, reads the index and settles interrupted work.
    std::string open() {
        if (const auto error = platform::make_private_folder(owner.location)) {
            return "the quarantine folder " + shown(owner.location) +
                   " cannot be used: " + words(error);
        }
        lock.emplace(owner.location / kLockName);
        if (lock->error()) {
            return "the quarantine folder " + shown(owner.location) +
                   " cannot be locked: " + lock->error().message();
        }
        if (std::string error = read(); !error.empty()) return error;
        return reconcile();
    }

    std::string read() {
        items.clear();
        const std::filesystem::path path = owner.index_path();
        if (!exists_at(path)) return {};
        std::ifstream in(path, std::ios::binary);
        const std::string damaged = "the quarantine index " + shown(path) + " is damaged";
        if (!in) return "the quarantine index " + shown(path) + " cannot be read";
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        // A damaged index is never rewritten: it is the only record of where items came from.
        const Json index = Json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!index.is_object() || !index.contains("items") || !index["items"].is_array()) {
            return damaged;
        }
        for (const Json& entry : index["items"]) {
            Item item;
            if (!item_of(entry, item)) return damaged;
            items.push_back(std::move(item));
        }
        return {};
    }

    bool write() {
        Json index;
        index["format"] = kIndexFormat;
        index["items"] = Json::array();
        for (const Item& item : items) index["items"].push_back(json_of(item));
        platform::AtomicFileWriter writer(owner.index_path());
        if (!writer.ok()) return false;
        // Text that is not valid UTF-8 (a path's display form) is written with replacement
        // characters; the exact path is in its units.
        writer.stream() << index.dump(1, '\t', false, Json::error_handler_t::replace) << "\n";
        return writer.commit();
    }

    // Finishes or undoes each entry a crash left in the middle of a change.
    std::string reconcile() {
        bool changed = false;
        for (auto it = items.begin(); it != items.end();) {
            const std::filesystem::path stored = owner.stored_path(it->id);
            bool keep = true;
            switch (it->state) {
                case Item::State::kMoving:
                    keep = settle_move(*it);
                    changed = true;
                    break;
                case Item::State::kRestoring:
                    keep = settle_restore(*it);
                    changed = true;
                    break;
                case Item::State::kStored:
                    // Its file went (a removal interrupted before the index was written).
                    if (!is_stored_file(stored)) {
                        keep = false;
                        changed = true;
                    }
                    break;
            }
            it = keep ? std::next(it) : items.erase(it);
        }
        if (changed && !write()) {
            return index_unwritable(owner.index_path());
        }
        return {};
    }

    // A move the entry was written for: done when the item is stored and the original gone,
    // undone otherwise. False: the entry goes.
    bool settle_move(Item& item) const {
        const std::filesystem::path stored = owner.stored_path(item.id);
        std::filesystem::path partial = stored;
        partial += kPartialSuffix;
        platform::FileStamp now;
        const bool original_there =
            platform::query_entry_stamp(item.original_path, now) && now == item.stamp;
        if (is_stored_file(stored) && !original_there) {
            platform::PinnedFile file(stored);
            if (!file.error()) file.make_owner_only();
            item.state = Item::State::kStored;
            return true;
        }
        // Still in its place (or, past any help, in neither): no copy of it may stay behind.
        if (!remove_stored(partial) || !remove_stored(stored)) return true;
        return false;
    }

    // A restore the entry was marked for: done when the stored file is gone, or when its copy
    // reached the target whole; undone otherwise.
    bool settle_restore(Item& item) const {
        const std::filesystem::path stored = owner.stored_path(item.id);
        const std::filesystem::path temporary = restore_temporary(item);
        if (!is_stored_file(stored)) {
            remove_stored(temporary);
            return false;
        }
        if (exists_at(temporary)) {
            remove_stored(temporary);
        } else if (digest_of(item.restore_target) == item.sha256) {
            platform::FileStamp target;
            platform::FileStamp kept;
            if (platform::query_entry_stamp(item.restore_target, target) &&
                platform::query_entry_stamp(stored, kept) && target.identity != kept.identity &&
                remove_stored(stored)) {
                return false;
            }
        }
        item.state = Item::State::kStored;
        item.restore_target.clear();
        return true;
    }

    Item* find(const std::string& id) {
        for (Item& item : items) {
            if (item.id == id) return &item;
        }
        return nullptr;
    }

    void drop(const std::string& id) {
        std::erase_if(items, [&](const Item& item) { return item.id == id; });
    }

    // An id no item has and no file in the folder bears.
    std::string fresh_id() {
        std::random_device random;
        for (;;) {
            const std::uint32_t value = random();
            unsigned char bytes[4] = {
                static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
            std::string id = hex(bytes, sizeof bytes);
            std::filesystem::path partial = owner.stored_path(id);
            partial += kPartialSuffix;
            if (find(id) == nullptr && !exists_at(owner.stored_path(id)) && !exists_at(partial)) {
                return id;
            }
        }
    }

    const Quarantine& owner;
    std::optional<platform::FileLock> lock;
    std::vector<Item> items;
};

Quarantine::Quarantine(std::filesystem::path folder, QuarantineOptions options)
    : location(std::move(folder)), options(std::move(options)) {}

void Quarantine::step(QuarantineStep done) const {
    if (options.after_step) options.after_step(done);
}

std::string Quarantine::prepare() {
    Session session(*this);
    return session.open();
}

QuarantineOutcome Quarantine::add(const QuarantineCandidate& candidate) {
    Session session(*this);
    if (std::string error = session.open(); !error.empty()) return {{}, error};
    const auto fail = [](std::string reason) { return QuarantineOutcome{{}, std::move(reason)}; };

    // A scan of the folder that holds the quarantine finds its items again: they stay as they
    // are, or their entries would lose the paths they came from.
    std::error_code ignored;
    if (std::filesystem::equivalent(candidate.path.parent_path(), location, ignored)) {
        const std::string name = candidate.path.filename().string();
        if (session.find(name) != nullptr) return {name, {}};
        return fail(kInQuarantineFolder);
    }

    platform::PinnedFile file(candidate.path);
    if (file.error()) {
        if (file.error() == std::errc::no_such_file_or_directory) return fail(kGone);
        return fail(words(file.error()));
    }
    if (file.stamp() != candidate.stamp) return fail(kChanged);

    Item item;
    item.id = session.fresh_id();
    item.state = Item::State::kMoving;
    item.original_path = candidate.path;
    item.size = candidate.size;
    item.sha256 = candidate.sha256;
    item.reasons = candidate.reasons;
    item.quarantined_at = options.clock();
    item.metadata = file.metadata();
    item.stamp = file.stamp();
    session.items.push_back(item);
    const std::string unwritable = index_unwritable(index_path());
    if (!session.write()) return fail(unwritable);
    step(QuarantineStep::kEntryWritten);

    const std::filesystem::path stored = stored_path(item.id);
    // Undoes the entry of a move that did not happen; the file is where it was.
    const auto undo = [&](std::string reason) {
        session.drop(item.id);
        session.write();
        return fail(std::move(reason));
    };
    std::error_code moved = std::make_error_code(std::errc::cross_device_link);
    if (options.allow_rename) moved = file.rename_to(stored, /*replace=*/false);
    if (!moved) {
        platform::sync_folder(location);
        step(QuarantineStep::kRenamed);
        file.make_owner_only();
        step(QuarantineStep::kMadePrivate);
    } else if (moved == std::errc::cross_device_link) {
        std::filesystem::path partial = stored;
        partial += kPartialSuffix;
        if (const auto error = file.copy_to(partial)) {
            remove_stored(partial);
            return undo("cannot copy: " + error.message());
        }
        step(QuarantineStep::kCopied);
        if (digest_of(partial) != candidate.sha256) {
            remove_stored(partial);
            return undo(kCopyMismatch);
        }
        std::error_code named;
        std::filesystem::rename(partial, stored, named);
        if (named) {
            remove_stored(partial);
            return undo("cannot copy: " + named.message());
        }
        platform::sync_folder(location);
        step(QuarantineStep::kCopyVerified);
        if (const auto error = file.remove()) {
            remove_stored(stored);
            return undo(error == std::errc::device_or_resource_busy
                            ? std::string(kChanged)
                            : "cannot remove the original: " + error.message());
        }
        step(QuarantineStep::kOriginalRemoved);
    } else {
        return undo("cannot move: " + moved.message());
    }

    // Should this write fail, the item is stored all the same: the next use of the folder
    // completes its entry.
    session.find(item.id)->state = Item::State::kStored;
    session.write();
    step(QuarantineStep::kEntryStored);
    return {item.id, {}};
}

bool Quarantine::list(std::vector<QuarantineItem>& items, std::string& error) {
    Session session(*this);
    error = session.open();
    if (!error.empty()) return false;
    items.clear();
    for (const Item& item : session.items) {
        if (item.state == Item::State::kStored) items.push_back(item);
    }
    return true;
}

RestoreOutcome Quarantine::restore(const std::string& id,
                                   const std::optional<std::filesystem::path>& to, bool force) {
    RestoreOutcome outcome;
    Session session(*this);
    if (outcome.error = session.open(); !outcome.error.empty()) return outcome;
    Item* item = session.find(id);
    if (item == nullptr || item->state != Item::State::kStored) {
        outcome.error = "no item " + id + " in quarantine";
        return outcome;
    }
    const std::filesystem::path target = to ? *to : item->original_path;
    outcome.restored_to = target;
    if (!force && exists_at(target)) {
        outcome.error = "a file is in the way; --force replaces it";
        return outcome;
    }
    const std::filesystem::path stored = stored_path(id);
    platform::PinnedFile file(stored);
    if (file.error()) {
        outcome.error = "the stored item cannot be opened: " + file.error().message();
        return outcome;
    }

    item->state = Item::State::kRestoring;
    item->restore_target = target;
    const platform::FileMetadata metadata = item->metadata;
    const std::string sha256 = item->sha256;
    const std::string unwritable = index_unwritable(index_path());
    if (!session.write()) {
        outcome.error = unwritable;
        return outcome;
    }
    step(QuarantineStep::kRestoreMarked);
    const auto undo = [&](std::string reason) {
        if (Item* kept = session.find(id)) {
            kept->state = Item::State::kStored;
            kept->restore_target.clear();
        }
        session.write();
        outcome.error = std::move(reason);
        return outcome;
    };

    std::error_code owner_error;
    std::error_code moved = file.rename_to(target, force);
    if (!moved) {
        step(QuarantineStep::kRestoreMoved);
        if (const auto error = file.restore_metadata(metadata, owner_error)) {
            outcome.owner_warning = "mode and times not restored: " + error.message();
        }
    } else if (moved == std::errc::cross_device_link) {
        Item copy_of = *session.find(id);
        const std::filesystem::path temporary = restore_temporary(copy_of);
        if (const auto error = file.copy_to(temporary)) {
            remove_stored(temporary);
            return undo("cannot copy: " + error.message());
        }
        if (digest_of(temporary) != sha256) {
            remove_stored(temporary);
            return undo(kCopyMismatch);
        }
        platform::PinnedFile copy(temporary);
        if (const auto error = copy.error() ? copy.error() : copy.rename_to(target, force)) {
            remove_stored(temporary);
            return undo("cannot restore: " + error.message());
        }
        step(QuarantineStep::kRestoreMoved);
        if (const auto error = copy.restore_metadata(metadata, owner_error)) {
            outcome.owner_warning = "mode and times not restored: " + error.message();
        }
        file.remove();
    } else {
        return undo("cannot restore: " + moved.message());
    }
    if (owner_error && outcome.owner_warning.empty()) {
        outcome.owner_warning = "owner not restored: " + owner_error.message();
    }
    session.drop(id);
    session.write();
    step(QuarantineStep::kEntryRemoved);
    return outcome;
}

std::string Quarantine::remove(const std::string& id, std::size_t& removed) {
    removed = 0;
    Session session(*this);
    if (std::string error = session.open(); !error.empty()) return error;
    if (!id.empty() && session.find(id) == nullptr) return "no item " + id + " in quarantine";
    std::string error;
    std::vector<std::string> gone;
    for (const Item& item : session.items) {
        if (!id.empty() && item.id != id) continue;
        // Files first: an entry whose file is gone is dropped by the next use, never the reverse.
        if (remove_stored(stored_path(item.id))) {
            gone.push_back(item.id);
        } else if (error.empty()) {
            error = "item " + item.id + " cannot be removed";
        }
    }
    for (const auto& each : gone) session.drop(each);
    removed = gone.size();
    if (!gone.empty() && !session.write() && error.empty()) {
        error = index_unwritable(index_path());
    }
    if (!gone.empty()) step(QuarantineStep::kEntryRemoved);
    return error;
}
