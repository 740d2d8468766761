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

// The legacy branch of `open`, under the path's lock from its first step.
Result<Engine> open_legacy(const std::string& path, std::shared_ptr<Vfs> vfs) {
    auto lock = FileLock::acquire(path);
    if (!lock) return fail(lock.error());
    const std::string file = lock->file();
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
// for anything else at `backup`.
Result<bool> keep_as_backup(Vfs& vfs, const std::string& file, const std::string& backup) {
    struct stat there, legacy;
    if (::lstat(backup.c_str(), &there) == 0) {
        if (S_ISREG(there.st_mode) && ::stat(file.c_str(), &legacy) == 0 && there.st_dev == legacy.st_dev &&
            there.st_ino == legacy.st_ino)
            return true;
        return storage_error(os_error_text(EEXIST));
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

// The one page at the start of the file `fd` reads whole and as zeros
// (asked only of a file that long).
bool starts_with_zero_page(int fd) {
    PageBuf page;
    ssize_t n;
    do {
        n = ::pread(fd, page.data(), page.size(), 0);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(page.size()) && is_zero_page(page);
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
    do {
        // Without waiting: a FIFO opens at once, to be refused below.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // Asked only now, as an open that fails is rare: a path whose
        // metadata cannot be read is a new database.
        const int open_error = errno;
        auto present = database_file_present(path);
        if (!present) return fail(present.error());
        if (!*present) {
            if (auto finished = finish_interrupted_migration(path, vfs)) return std::move(*finished);
            return Engine::create_page_file(path, std::move(vfs));
        }
        return storage_error("open failed: " + os_error_text(open_error));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(not_a_database(path));
    }
    // A short or failed read leaves the rest zero, which matches no magic.
    char head[4] = {0, 0, 0, 0};
    ssize_t n;
    do {
        n = ::read(fd, head, sizeof head);
    } while (n < 0 && errno == EINTR);
    constexpr char kZeros[4] = {0, 0, 0, 0};
    const bool unwritten = st.st_size == 0 || (st.st_size == static_cast<off_t>(kPageSize) &&
                                                std::memcmp(head, kZeros, sizeof head) == 0 && starts_with_zero_page(fd));
    ::close(fd);

    // A file nothing was written into (empty, or a first page that a power
    // cut left as zeros) is a page file no one has made yet: the pager
    // makes it under the lock, as a create would.
    if (unwritten || std::memcmp(head, kPageFileMagic, sizeof head) == 0)
        return Engine::open_page_file(path, std::move(vfs));
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
