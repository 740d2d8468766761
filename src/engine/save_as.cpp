// Save-as: the engine that takes over a handle's database at another path.
#include <map>
#include <utility>
#include <vector>

#include "engine/storage_open.h"
#include "pager/file_copy.h"
#include "pager/pager.h"

namespace zembrel::storage {

namespace {

// The file route: the page file, brought up to date, is copied.
Result<Engine> copy_file_database(Engine& engine, const std::string& path, FileLock lock,
                                  std::shared_ptr<Vfs> vfs) {
    if (auto st = engine.page_store()->pager->checkpoint(); !st) return fail(st.error());
    const auto& backing = engine.file.backing_file.path();
    const std::string& source = backing ? *backing : *engine.file.path;
    if (auto st = copy_file(source, path); !st) return storage_error("copy failed: " + st.error().message);
    // A log left there by an earlier database at that path would be replayed
    // over the copy; nobody holds it (the lock is ours).
    (void)vfs->remove(wal_path_for(path));
    return Engine::open_page_file(path, std::move(vfs), std::move(lock));
}

// Ids as they were before materialize_tables renumbered the rows.
struct SavedIds {
    std::vector<uint64_t> rowids;
    uint64_t next_rowid = 1;
};

// The in-memory route: the tables move into a new page file.
Result<Engine> move_into_new_file(Engine& engine, const std::string& path, FileLock lock,
                                  std::shared_ptr<Vfs> vfs) {
    // Tables a failed write dropped from memory live on in the backing file.
    if (engine.page_store()) {
        if (auto st = engine.load_all_tables(); !st) return fail(st.error());
    }
    auto created = Engine::create_page_file(path, std::move(vfs), std::move(lock));
    if (!created) return fail(created.error());
    Engine& fresh = *created;

    std::map<std::string, SavedIds> saved;
    for (const auto& [name, table] : engine.tables.database.tables) saved[name] = {table.rowids, table.next_rowid};
    fresh.tables.database = std::move(engine.tables.database);
    fresh.tables.mem_indexes = std::move(engine.tables.mem_indexes);
    fresh.tables.merge_policies = std::move(engine.tables.merge_policies);
    engine.tables.database = Database();
    engine.tables.mem_indexes = MemIndexMap();
    engine.tables.merge_policies.clear();

    Status st = fresh.materialize_tables();
    if (st) st = fresh.page_store()->pager->commit();
    if (!st) {
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
        return fail(st.error());
    }
    fresh.refresh_pk_indexes();
    return std::move(fresh);
}

}  // namespace

Result<Engine> save_as(Engine& engine, const std::string& path) {
    if (engine.in_transaction()) return execution_error("cannot save as while a transaction is active");
    // Before anything is written: a file another handle holds stays untouched.
    auto lock = FileLock::acquire(path);
    if (!lock) return fail(lock.error());
    std::shared_ptr<Vfs> vfs = engine.file.vfs ? engine.file.vfs : std::make_shared<RealVfs>();
    if (engine.file.path && engine.file.page_store) {
        return copy_file_database(engine, path, std::move(*lock), std::move(vfs));
    }
    return move_into_new_file(engine, path, std::move(*lock), std::move(vfs));
}

}  // namespace zembrel::storage
