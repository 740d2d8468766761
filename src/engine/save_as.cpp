// Save-as: the engine that takes over a handle's database at another path.
//
// The destination is the file the caller's path leads to (symbolic links
// resolved): a link is never replaced by the copy, and the log and lock
// looked at are that file's own. It changes in one step only: a complete
// copy, flushed, is built beside it under the scratch name and renamed
// onto it (and the directory flushed). A process killed at any moment
// leaves the destination as it was (absent, or the old file) or holding the
// whole copy; what a kill leaves under the scratch name is removed by the
// next save-as onto the destination or open of it, which find it by the
// record save-as keeps in the destination's lock file (save_as_scratch.h). A
// path that leads nowhere (a loop of links, a chain longer than the system
// follows) is refused before anything is touched, so no link is replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <utility>
#include <vector>

#include "engine/save_as_scratch.h"
#include "engine/storage_open.h"
#include "pager/file_names.h"
#include "pager/file_copy.h"
#include "pager/pager.h"
#include "types/text_format.h"

namespace zembrel::storage {

namespace {

// Puts the finished copy at `scratch` in place of `target`, the file the
// destination leads to. Errors: the file layer's, the OS error alone.
//
// The pager replays whatever log lies beside a page file without asking
// whether it was written for that file: a log that the destination's
// earlier database left (its owner ended without closing) would be replayed
// over the copy if it were still there after the rename. So it goes first,
// and durably; but not simply deleted, for its commits are that database's
// until the copy replaces it. It is folded into its own file by opening
// that (replay and checkpoint, whose order keeps file and log whole at every
// moment, deleting the log last); only a log that no page file can take is
// deleted, as an open of the destination would discard it too. A kill at
// any step before the rename thus leaves the old database whole.
Status publish(const std::shared_ptr<Vfs>& vfs, const std::string& scratch, const std::string& target) {
    const std::string log = wal_path_for(target);
    const auto log_there = [&] {
        auto there = vfs->exists_checked(log);
        return !there || *there;
    };
    if (log_there()) {
        (void)Pager::open(vfs, target);  // closed at once: its checkpoint empties the log into the file
        if (log_there()) {
            if (auto st = vfs->remove(log); !st) return st;
        }
        vfs->sync_dir(log);
    }
    if (auto st = vfs->rename(scratch, target); !st) return st;
    vfs->sync_dir(target);
    return {};
}

// The file route: the page file, brought up to date, is copied.
Result<Engine> copy_file_database(Engine& engine, const std::string& path, const std::string& target,
                                  FileLock lock, std::shared_ptr<Vfs> vfs) {
    if (auto st = engine.page_store()->pager->checkpoint(); !st) return fail(st.error());
    // After the checkpoint the page file alone holds every committed page.
    auto scratch = record_scratch(lock);
    if (!scratch) return fail(scratch.error());
    Status st = copy_file(*engine.file.path, *scratch);
    if (st) st = publish(vfs, *scratch, target);
    if (!st) {
        remove_scratch_leftovers(lock);
        return storage_error("copy failed: " + st.error().message);
    }
    clear_scratch_record(lock);
    return Engine::open_page_file(path, std::move(vfs), std::move(lock));
}

// Ids as they were before materialize_tables renumbered the rows.
struct SavedIds {
    std::vector<uint64_t> rowids;
    uint64_t next_rowid = 1;
};

// The error as a file built at `path` itself would have told it. Only the
// copy's own name is replaced: a file beside it (its log) keeps the name
// it really has.
EngineError named_as(EngineError e, const std::string& scratch, const std::string& path) {
    const std::string quoted = "'" + scratch + "'";
    for (size_t at = e.message.find(quoted); at != std::string::npos; at = e.message.find(quoted, at + path.size() + 2))
        e.message.replace(at, quoted.size(), "'" + path + "'");
    return e;
}

// As the creation of a new file at `path` reports a name already taken;
// `target` is the file it leads to.
Status refuse_taken(const std::string& path, const std::string& target) {
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0)
        return storage_error(format("create failed for '{}': {}", path, os_error_text(EEXIST)));
    return {};
}

// The in-memory route: the tables move into a new page file, built under the
// scratch name, every page checkpointed into it (a log named after the
// scratch file would not follow it), then renamed onto `path` and opened
// there under the lock held since before anything was written.
Result<Engine> move_into_new_file(Engine& engine, const std::string& path, const std::string& target,
                                  FileLock lock, std::shared_ptr<Vfs> vfs) {
    // Tables a failed write dropped from memory live on in the backing file.
    if (engine.page_store()) {
        if (auto st = engine.load_all_tables(); !st) return fail(st.error());
    }
    // This route makes a new file: it never replaces one.
    if (auto st = refuse_taken(path, target); !st) return fail(st.error());
    auto recorded = record_scratch(lock);
    if (!recorded) return fail(recorded.error());
    const std::string scratch = std::move(*recorded);
    auto created = Engine::create_page_file(scratch, vfs, FileLock());
    if (!created) {
        remove_scratch_leftovers(lock);
        return fail(named_as(created.error(), scratch, path));
    }
    Engine& fresh = *created;

    std::map<std::string, SavedIds> saved;
    for (const auto& [name, table] : engine.tables.database.tables) saved[name] = {table.rowids, table.next_rowid};
    fresh.tables.database = std::move(engine.tables.database);
    fresh.tables.mem_indexes = std::move(engine.tables.mem_indexes);
    fresh.tables.merge_policies = std::move(engine.tables.merge_policies);
    engine.tables.database = Database();
    engine.tables.mem_indexes = MemIndexMap();
    engine.tables.merge_policies.clear();

    RowidCounters counters;
    bool published = false;
    Status st = fresh.materialize_tables();
    if (st) st = fresh.page_store()->pager->checkpoint();  // commits first
    if (st) {
        counters = live_rowid_counters(fresh);
        fresh.file.close();
        st = refuse_taken(path, target);
        if (st) {
            st = publish(vfs, scratch, target);
            if (!st) st = storage_error(format("create failed for '{}': {}", path, st.error().message));
            published = st.has_value();
        }
    }
    if (published) {
        clear_scratch_record(lock);
    } else {
        fresh.file.close();
        remove_scratch_leftovers(lock);
    }
    Result<Engine> opened =
        published ? Engine::open_page_file(path, vfs, std::move(lock)) : Result<Engine>(fail(st.error()));
    if (!opened) {
        // Everything goes back as it was; the engine's own page store still
        // holds the old row ids, so memory must too.
        engine.tables.database = std::move(fresh.tables.database);
        engine.tables.mem_indexes = std::move(fresh.tables.mem_indexes);
        engine.tables.merge_policies = std::move(fresh.tables.merge_policies);
        for (auto& [name, table] : engine.tables.database.tables) {
            auto ids = saved.find(name);
            if (ids != saved.end()) {
                table.rowids = std::move(ids->second.rowids);
                table.next_rowid = ids->second.next_rowid;
            }
            engine.tables.rebuild_indexes(name);
        }
        engine.tables.row_cache.clear();
        return fail(named_as(opened.error(), scratch, path));
    }
    opened->tables.database = std::move(fresh.tables.database);
    opened->tables.mem_indexes = std::move(fresh.tables.mem_indexes);
    opened->tables.merge_policies = std::move(fresh.tables.merge_policies);
    restore_rowid_counters(*opened, counters);
    opened->refresh_pk_indexes();
    return opened;
}

// The engine's own page file is `target`, by that name or another (a hard
// link): its lock is this handle's, and the rename would cut it loose.
bool is_own_file(const Engine& engine, const std::string& target) {
    if (!engine.file.path) return false;
    if (*engine.file.path == target) return true;
    struct stat own, dest;
    return ::stat(engine.file.path->c_str(), &own) == 0 && ::stat(target.c_str(), &dest) == 0 &&
           own.st_dev == dest.st_dev && own.st_ino == dest.st_ino;
}

// The destination's log is folded into its file before the rename and must
// be gone after it, for the reopen to take the copy: so a log the reopen
// would refuse (a symbolic link, dangling or not, a folder, a FIFO) refuses
// the save-as now, with the reopen's own words, rather than after the
// destination was replaced.
Status check_destination_log(const std::string& log) {
    struct stat st;
    if (::lstat(log.c_str(), &st) != 0) return {};  // none, or one the fold itself reports on
    if (S_ISLNK(st.st_mode)) return storage_error(format("open failed for '{}': {}", log, kSymlinkRefused));
    if (!S_ISREG(st.st_mode)) return storage_error(format("open failed for '{}': {}", log, kNotRegularFile));
    return {};
}

// Refuses, before anything is touched, a destination whose files could not
// be made, with the path the caller gave and the OS's reason, as the create
// itself would report it: a path the system cannot follow (a loop or too
// long a chain of links, a file where a folder should be), a folder that is
// missing or that the effective user may not write into, or a name that
// leaves no room for the longest name save-as makes beside it, `longest`;
// with "not a regular file", a FIFO, a device, a socket or a folder; and a
// log beside it that the reopen would refuse (check_destination_log).
Status check_destination(const std::string& path, const std::string& target, const std::string& longest) {
    const auto refused = [&](int err) {
        return storage_error(format("create failed for '{}': {}", path, os_error_text(err)));
    };
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return storage_error(format("create failed for '{}': {}", path, kNotRegularFile));
    } else if (errno != ENOENT) {
        return refused(errno);
    }
    const std::string dir = parent_dir(target);
    if (dir.empty()) return {};
    if (::stat(dir.c_str(), &st) != 0) return refused(errno);
    if (!S_ISDIR(st.st_mode)) return refused(ENOTDIR);
    // As the kernel judges the create: for the effective user, not the real one.
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return refused(errno);
    const long name_max = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    const size_t slash = longest.find_last_of('/');
    const size_t name_length = slash == std::string::npos ? longest.size() : longest.size() - slash - 1;
    if ((name_max > 0 && name_length > static_cast<size_t>(name_max)) || longest.size() >= PATH_MAX)
        return refused(ENAMETOOLONG);
    return check_destination_log(wal_path_for(target));
}

}  // namespace

Result<Engine> save_as(Engine& engine, const std::string& path) {
    if (engine.in_transaction()) return execution_error("cannot save as while a transaction is active");
    const std::string target = resolve_links(path);
    if (is_own_file(engine, target)) return execution_error("cannot save as onto the database's own file");
    const bool file_route = engine.file.path && engine.file.page_store;
    // The copy's log is made only for an in-memory source; the destination's
    // own log and lock file have shorter names than the copy.
    const std::string copy = scratch_name_shape(target);
    const std::string longest = file_route ? copy : wal_path_for(copy);
    if (auto st = check_destination(path, target, longest); !st) return fail(st.error());
    // Before anything is written: a file another handle holds stays untouched.
    auto lock = FileLock::acquire(path);
    if (!lock) return fail(lock.error());
    remove_scratch_leftovers(*lock);
    std::shared_ptr<Vfs> vfs = engine.file.vfs ? engine.file.vfs : std::make_shared<RealVfs>();
    if (file_route) return copy_file_database(engine, path, target, std::move(*lock), std::move(vfs));
    return move_into_new_file(engine, path, target, std::move(*lock), std::move(vfs));
}

}  // namespace zembrel::storage
