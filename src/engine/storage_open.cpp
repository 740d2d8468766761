// Opening a database file (and migrating a legacy one) and saving it.
#include "engine/storage_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "legacy/legacy_files.h"
#include "legacy/snapshot_file.h"
#include "legacy/snapshot_log.h"
#include "pagestore/page_store.h"
#include "pager/file_names.h"
#include "pager/pager.h"
#include "types/text_format.h"

namespace zembrel::storage {

namespace {

constexpr char kPageFileMagic[4] = {'K', 'R', 'V', 'P'};

EngineError not_a_database(const std::string& path) {
    return EngineError::storage(format("open failed for '{}': {}", path, kNotRegularFile));
}

// The first page of a file, as one read gave it (shorter for a shorter
// file), and the file's length.
struct FirstPage {
    PageBuf page;
    std::size_t length = 0;
    std::uint64_t file_size = 0;
    ByteView head() const { return ByteView(page.data(), length); }
};

// One read of the first page of the file open at `fd`; none when it is no
// regular file. Read in two steps, another opener could make the file
// between them and it would be taken for the older format. A failed read
// reads as an empty file, which the pager's open looks at again under the
// lock.
std::optional<FirstPage> read_first_page(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    FirstPage first;
    ssize_t n;
    do {
        n = ::pread(fd, first.page.data(), first.page.size(), 0);
    } while (n < 0 && errno == EINTR);
    first.length = n > 0 ? static_cast<std::size_t>(n) : 0;
    first.file_size = static_cast<std::uint64_t>(st.st_size);
    return first;
}

// Whether the file is a page file: its magic, or nothing ever written
// (empty, or one page of zeros that a power cut left), which the pager
// makes into one under the lock, as a create would.
bool page_file_start(const FirstPage& first) {
    const ByteView head = first.head();
    if (head.empty()) return true;
    if (head.size() >= sizeof kPageFileMagic && std::memcmp(head.data(), kPageFileMagic, sizeof kPageFileMagic) == 0)
        return true;
    return first.file_size == kPageSize && head.size() == kPageSize && is_zero_page(first.page);
}

// What stands at a conversion's backup name: nothing; the legacy file
// itself (the second name a killed conversion gave it, which serves); or
// anything else, most likely a backup of the user's own, which is never
// replaced.
enum class BackupName { Free, Ours, Taken };

BackupName backup_name(const std::string& file, const std::string& backup) {
    struct stat there, legacy;
    if (::lstat(backup.c_str(), &there) != 0) return BackupName::Free;
    return S_ISREG(there.st_mode) && ::stat(file.c_str(), &legacy) == 0 && there.st_dev == legacy.st_dev &&
                   there.st_ino == legacy.st_ino
               ? BackupName::Ours
               : BackupName::Taken;
}

// The legacy branch of `open`. What the first look took for the older
// format is looked at again under the path's lock, before anything is
// touched: another opener may have converted it, or made a page file of an
// empty one, meanwhile; and the clean-up of the older format's leftovers
// (its temporary file, its log) runs only beside a file in that format.
Result<Engine> open_legacy(const std::string& path, std::shared_ptr<Vfs> vfs) {
    auto lock = FileLock::acquire(path);
    if (!lock) return fail(lock.error());
    const std::string file = lock->file();
    std::optional<FirstPage> first;
    if (const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); fd >= 0) {
        first = read_first_page(fd);
        ::close(fd);
    }
    if (first && page_file_start(*first)) return Engine::open_page_file(path, std::move(vfs), std::move(*lock));
    if (first && !legacy_database_start(first->head())) {
        // Refused with the legacy reader's own words (a file it can read
        // is one of its format after all, and goes on below).
        auto bytes = read_whole_file(file);
        if (!bytes) return fail(bytes.error());
        if (auto db = parse_snapshot(*bytes); !db) return fail(db.error());
    }
    // A taken backup name stops the conversion before anything is changed
    // or built: the file, its log and the folder stay as they are, and the
    // next open converts once the name is free.
    if (backup_name(file, sibling_path(file, "bak")) == BackupName::Taken)
        return storage_error("backup failed: " + os_error_text(EEXIST));
    std::optional<Bytes> log = recover_leftover_files(file);
    auto bytes = read_whole_file(file);
    if (!bytes) return fail(bytes.error());
    auto db = parse_snapshot(*bytes);
    if (!db) return fail(db.error());

    Engine legacy;
    legacy.tables.database = std::move(*db);
    legacy.file.path = file;
    std::optional<ByteView> log_view;
    if (log) log_view = ByteView(*log);
    LogOutcome outcome = replay_snapshot_log(legacy.tables.database, log_view, *bytes);
    legacy.refresh_pk_indexes();
    if (outcome == LogOutcome::Applied) {
        // The replayed state becomes the snapshot (which removes the log), so
        // a failed migration below still finds it.
        if (auto st = write_snapshot(legacy.tables.database, file); !st) return fail(st.error());
    } else if (outcome == LogOutcome::Discarded) {
        ::unlink(sibling_path(file, "wal").c_str());
    }
    return migrate_to_page_file(path, std::move(legacy), std::move(*lock), std::move(vfs));
}

// Only a regular file with one name can be a migration's page file: a
// symbolic or hard link there leads to a file of someone else's (which the
// open would then make a second name of the database), and a folder or a
// FIFO is no database.
bool migration_file_at(const std::string& building) {
    struct stat st;
    return ::lstat(building.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// Keeps the legacy `file` under the name `backup` without ever replacing
// what stands there (most likely a backup of the user's own): true when
// `backup` became a second name of the file, which the path keeps until
// the page file replaces it; false when the file moved there (a file
// system without hard links). A backup name that leads to the legacy file
// itself is this conversion's, made by one killed before its end, and
// serves as it is. Error: the OS error alone, "File exists (os error 17)"
// for anything else at `backup` (put there since the open looked).
Result<bool> keep_as_backup(Vfs& vfs, const std::string& file, const std::string& backup) {
    switch (backup_name(file, backup)) {
        case BackupName::Ours:
            return true;
        case BackupName::Taken:
            return storage_error(os_error_text(EEXIST));
        case BackupName::Free:
            break;
    }
    if (vfs.hard_link(file, backup)) return true;
    if (auto st = vfs.rename_new(file, backup); !st) return fail(st.error());
    return false;
}

// A migration without hard links that stopped between its two renames left
// the database only under the migration file (complete by then, since the
// legacy file moves only after it is checkpointed) and the backup. Finishes
// it; nothing when that is not what lies there.
std::optional<Result<Engine>> finish_interrupted_migration(const std::string& path, std::shared_ptr<Vfs> vfs) {
    const std::string file = resolve_links(path);
    const std::string building = sibling_path(file, "migrate");
    if (!migration_file_at(building) || !vfs->exists(sibling_path(file, "bak"))) return std::nullopt;
    auto lock = FileLock::acquire(path);
    if (!lock) return Result<Engine>(fail(lock.error()));
    if (vfs->exists(file)) {  // another opener finished it first
        lock->release();
        return open(path, std::move(vfs));
    }
    // Looked at again under the lock: what the first look saw may have gone.
    if (!migration_file_at(building) || !vfs->rename(building, file)) return std::nullopt;
    vfs->sync_dir(file);
    return Engine::open_page_file(path, std::move(vfs), std::move(*lock));
}

}  // namespace

Result<Engine> open(const std::string& path) { return open(path, std::make_shared<RealVfs>()); }

Result<bool> database_file_present(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        // The links a create would follow by itself (file_names.h) would
        // put the file where no later open reaches it.
        if (errno == ELOOP) return storage_error(format("open failed for '{}': {}", path, os_error_text(ELOOP)));
        return false;
    }
    if (!S_ISREG(st.st_mode)) return fail(not_a_database(path));
    return true;
}

Result<Engine> open(const std::string& path, std::shared_ptr<Vfs> vfs) {
    int fd;
    // A file another opener makes between the failed open and the look
    // after it is opened on the next round; a few rounds, so that a name
    // made and removed over and over cannot keep the open going.
    for (int round = 0;; ++round) {
        do {
            // Without waiting: a FIFO opens at once, to be refused below.
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) break;
        // Asked only now, as an open that fails is rare: a path whose
        // metadata cannot be read is a new database.
        const int open_error = errno;
        auto present = database_file_present(path);
        if (!present) return fail(present.error());
        if (!*present) {
            if (auto finished = finish_interrupted_migration(path, vfs)) return std::move(*finished);
            return Engine::open_or_create_page_file(path, std::move(vfs));
        }
        if (open_error != ENOENT || round == 3) return storage_error("open failed: " + os_error_text(open_error));
    }
    const std::optional<FirstPage> first = read_first_page(fd);
    ::close(fd);
    if (!first) return fail(not_a_database(path));
    if (page_file_start(*first)) return Engine::open_page_file(path, std::move(vfs));
    return open_legacy(path, std::move(vfs));
}

Result<Engine> migrate_to_page_file(const std::string& path, Engine legacy, FileLock lock,
                                    std::shared_ptr<Vfs> vfs) {
    const std::string file = lock.file();
    const std::string building = sibling_path(file, "migrate");
    (void)vfs->remove(building);
    (void)vfs->remove(wal_path_for(building));
    RowidCounters counters;
    // A failed open leaves nothing of the migration's own beside the database.
    const auto discard_building = [&](EngineError e) -> Result<Engine> {
        (void)vfs->remove(building);
        (void)vfs->remove(wal_path_for(building));
        (void)vfs->remove(building + ".lock");
        return fail(std::move(e));
    };
    {
        auto built = Engine::create_page_file(building, vfs);
        if (!built) return discard_building(built.error());
        built->tables.database = std::move(legacy.tables.database);
        built->tables.merge_policies = std::move(legacy.tables.merge_policies);
        Status st = built->materialize_tables();
        // Every page into the page file itself: a log named after the
        // migration file would not follow it to its final name.
        if (st) st = built->page_store()->pager->checkpoint();
        if (!st) {
            built->file.close();
            return discard_building(st.error());
        }
        counters = live_rowid_counters(*built);
    }
    (void)vfs->remove(building + ".lock");
    // A log beside a legacy file belongs to no database of it; the page
    // file must not inherit it.
    (void)vfs->remove(wal_path_for(file));

    const std::string backup = sibling_path(file, "bak");
    // A second name first, so that the path always holds a whole database;
    // without hard links the file itself moves and comes back on failure.
    auto backed_up = keep_as_backup(*vfs, file, backup);
    if (!backed_up) return discard_building(EngineError::storage("backup failed: " + backed_up.error().message));
    const bool linked = *backed_up;
    if (auto st = vfs->rename(building, file); !st) {
        if (linked)
            (void)vfs->remove(backup);
        else
            (void)vfs->rename(backup, file);
        return discard_building(EngineError::storage("migrate rename failed: " + st.error().message));
    }
    vfs->sync_dir(file);
    auto opened = Engine::open_page_file(path, std::move(vfs), std::move(lock));
    if (!opened) return opened;
    restore_rowid_counters(*opened, counters);
    return opened;
}

RowidCounters live_rowid_counters(const Engine& built) {
    RowidCounters counters;
    for (const auto& [name, entry] : built.page_store()->catalog.entries()) counters[name] = entry.rowid_counter;
    return counters;
}

void restore_rowid_counters(Engine& reopened, const RowidCounters& counters) {
    for (const auto& [name, counter] : counters) {
        CatalogEntry* entry = reopened.page_store()->catalog.get(name);
        if (entry != nullptr && counter <= entry->rowid_hint) entry->rowid_counter = counter;
    }
}

Status save(Engine& engine) {
    // An open transaction's changes are in memory only until COMMIT: a save
    // now would report success and keep none of them.
    if (engine.in_transaction()) return execution_error("cannot save while a transaction is active");
    if (engine.file.page_store) return engine.file.page_store->pager->commit();
    if (engine.file.path) return write_snapshot(engine.tables.database, *engine.file.path);
    return {};
}

}  // namespace zembrel::storage
