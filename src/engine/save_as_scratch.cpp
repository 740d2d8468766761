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
// record, and nothing is removed for it, nor is it ever overwritten; but
// zeros only, which a power cut leaves of a record whose length reached the
// disk without its bytes, are taken for an empty file.
#include "engine/save_as_scratch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "pager/pager.h"
#include "pager/vfs.h"
#include "types/text_format.h"
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

// What the lock file holds: nothing, a record, or bytes of someone else's.
struct Note {
    std::size_t length = 0;
    std::optional<std::string> uuid;
};

Note read_record(const FileLock& lock) {
    std::array<std::uint8_t, kRecordSize + 1> bytes{};  // one more: a longer file is no record
    Note note;
    note.length = lock.read_note(bytes);
    // Zeros only are a record whose bytes a power cut lost after its length
    // reached the disk: no one's data, and no record.
    if (std::all_of(bytes.begin(), bytes.begin() + note.length, [](std::uint8_t b) { return b == 0; }))
        note.length = 0;
    if (note.length != kRecordSize) return note;
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return note;
    std::string uuid(reinterpret_cast<const char*>(bytes.data()) + sizeof kMagic, kUuidLength);
    if (is_uuid_text(uuid)) note.uuid = std::move(uuid);
    return note;
}

// Gone, or never there.
bool removed(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

// The copy's own lock, taken whether or not the copy is still there: a
// clean-up killed after removing it left its lock file, which goes under
// this lock too. None is taken while something other than a regular file
// stands at the copy's name, whose name alone goes. Empty when someone
// holds the copy (a user who opened it to rescue what it holds, whose
// writes go into it) or its lock cannot be had.
std::optional<FileLock> lock_copy(const std::string& scratch) {
    struct stat st;
    if (::lstat(scratch.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return FileLock();
    auto lock = FileLock::acquire(scratch);
    if (!lock) return std::nullopt;
    return std::move(*lock);
}

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
    // A record replaces only a record (one whose copy is held stays with
    // its holder): any other bytes there are someone else's. What else may
    // hold no record at all, write_note refuses.
    if (const Note note = read_record(lock); note.length != 0 && !note.uuid)
        return storage_error(format("lock file write refused: it holds other data at '{}.lock'", lock.file()));
    if (auto st = lock.write_note(record); !st) return fail(st.error());
    return scratch_name(lock.file(), uuid);
}

void clear_scratch_record(FileLock& lock) { lock.clear_note(); }

void remove_scratch_leftovers(FileLock& lock) {
    if (!lock.held()) return;
    const std::optional<std::string> uuid = read_record(lock).uuid;
    if (!uuid) return;
    const std::string scratch = scratch_name(lock.file(), *uuid);
    // A copy someone holds stays, and so does its record.
    std::optional<FileLock> copy_lock = lock_copy(scratch);
    if (!copy_lock) return;
    // Every file the record names goes, the log first (save_as_scratch.h)
    // and the copy's lock file last, still held; the record is cleared only
    // then, so that a clean-up killed at any step leaves it for the next
    // open to finish. It stays while the log or the copy cannot go.
    if (!removed(wal_path_for(scratch)) || !removed(scratch)) return;
    copy_lock->remove_file_on_release();
    copy_lock->release();
    lock.clear_note();
}

}  // namespace zembrel
