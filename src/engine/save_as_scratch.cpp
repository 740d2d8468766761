// The scratch record, kept in the destination's lock file while a save-as
// builds its copy. An empty lock file holds no record.
//
// | offset | size | field                                                  |
// |--------|------|--------------------------------------------------------|
// | 0      | 4    | magic "KRVS"                                           |
// | 4      | 36   | the UUID of the copy's name, lower-case hyphenated text |
//
// The record is the file's whole content: 40 bytes exactly. Anything else
// (other bytes, other lengths, a UUID with a character out of place) is no
// record, and nothing is removed for it.
#include "engine/save_as_scratch.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "pager/pager.h"
#include "pager/vfs.h"
#include "types/uuid.h"

namespace zembrel {

namespace {

constexpr char kMagic[4] = {'K', 'R', 'V', 'S'};
constexpr std::size_t kUuidLength = 36;
constexpr std::size_t kRecordSize = sizeof kMagic + kUuidLength;

// 8-4-4-4-12 lower-case hex digits: the only text that ever makes a name.
bool is_uuid_text(std::string_view text) {
    if (text.size() != kUuidLength) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool hyphen_at = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen_at ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::optional<std::string> recorded_uuid(const FileLock& lock) {
    std::array<std::uint8_t, kRecordSize + 1> bytes{};  // one more: a longer file is no record
    if (lock.read_note(bytes) != kRecordSize) return std::nullopt;
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
    std::string uuid(reinterpret_cast<const char*>(bytes.data()) + sizeof kMagic, kUuidLength);
    if (!is_uuid_text(uuid)) return std::nullopt;
    return uuid;
}

// Gone, or never there.
bool removed(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace

std::string scratch_name(const std::string& target, const std::string& uuid) {
    return target + "." + uuid + ".saving";
}

std::string scratch_name_shape(const std::string& target) {
    return scratch_name(target, std::string(kUuidLength, '0'));
}

Result<std::string> record_scratch(FileLock& lock) {
    const std::string uuid = types::new_uuid();
    std::array<std::uint8_t, kRecordSize> record{};
    std::memcpy(record.data(), kMagic, sizeof kMagic);
    std::memcpy(record.data() + sizeof kMagic, uuid.data(), kUuidLength);
    if (auto st = lock.write_note(record); !st) return storage_error("lock file write failed: " + st.error().message);
    return scratch_name(lock.file(), uuid);
}

void clear_scratch_record(FileLock& lock) { lock.clear_note(); }

void remove_scratch_leftovers(FileLock& lock) {
    if (!lock.held()) return;
    const std::optional<std::string> uuid = recorded_uuid(lock);
    if (!uuid) return;
    const std::string scratch = scratch_name(lock.file(), *uuid);
    // The log first (save_as_scratch.h); the record stays while either is
    // still there, for the next open to try again.
    if (removed(wal_path_for(scratch)) && removed(scratch)) lock.clear_note();
}

}  // namespace zembrel
