// Bringing an Engine into being: Engine::new, creating and opening page
// files, and the backing page file of an in-memory database. Taking it down
// is DatabaseFile's (database_file.h).

#include <cstdlib>
#include <utility>

#include "catalog/catalog_store.h"
#include "engine/engine.h"
#include "engine/save_as_scratch.h"
#include "pager/file_names.h"
#include "pager/temp_dir.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel {

namespace {

// "1", or "true" in any letter case; anything else (blanks included) is off.
bool env_flag_on(const char* value) {
    if (value == nullptr) return false;
    std::string_view v(value);
    if (v == "1") return true;
    if (v.size() != 4) return false;
    static constexpr std::string_view kTrue = "true";
    for (size_t i = 0; i < 4; ++i) {
        char c = v[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kTrue[i]) return false;
    }
    return true;
}

PageStorePtr new_page_store(std::unique_ptr<Pager> pager) {
    PageStorePtr store(new PageStore());
    store->pager = std::move(pager);
    return store;
}

// The file `path` leads to: the one its lock was taken for, which spares a
// second walk of its links.
std::string locked_file(const std::string& path, const FileLock& lock) {
    return lock.held() ? lock.file() : resolve_links(path);
}

// An existing page file under `lock`, which holds the file itself already.
Result<Engine> open_locked(const std::string& path, std::shared_ptr<Vfs> vfs, FileLock lock) {
    const std::string file = locked_file(path, lock);
    Engine engine;
    engine.file.lock = std::move(lock);
    engine.file.vfs = vfs;
    remove_scratch_leftovers(engine.file.lock);
    // Header, log replay and checkpoint are the pager's.
    auto pager = Pager::open(std::move(vfs), file);
    if (!pager) return fail(pager.error());
    auto entries = load_catalog_entries(**pager);
    if (!entries) return fail(entries.error());
    engine.file.page_store = new_page_store(std::move(*pager));
    for (auto& [name, entry] : *entries) engine.file.page_store->catalog.put(std::move(name), std::move(entry));
    engine.file.path = file;
    engine.rebuild_name_maps();
    engine.file.lock.keep_file();
    return engine;
}

}  // namespace

Engine::Engine() { settings.force_nested_join = env_flag_on(std::getenv("ZEMBREL_FORCE_NESTED_JOIN")); }

Result<Engine> Engine::create_page_file(const std::string& path) {
    return create_page_file(path, std::make_shared<RealVfs>());
}

Result<Engine> Engine::create_page_file(const std::string& path, std::shared_ptr<Vfs> vfs) {
    auto lock = FileLock::acquire(path);
    if (!lock) return fail(lock.error());
    return create_page_file(path, std::move(vfs), std::move(*lock));
}

Result<Engine> Engine::create_page_file(const std::string& path, std::shared_ptr<Vfs> vfs, FileLock lock) {
    const std::string file = locked_file(path, lock);
    Engine engine;
    engine.file.lock = std::move(lock);  // released with the engine on every failure below
    engine.file.vfs = vfs;
    remove_scratch_leftovers(engine.file.lock);
    auto pager = Pager::create(std::move(vfs), file);
    if (!pager) return fail(pager.error());
    engine.file.page_store = new_page_store(std::move(*pager));
    if (auto st = engine.file.lock.hold_file(path); !st) return fail(st.error());
    engine.file.path = file;
    engine.file.lock.keep_file();
    return engine;
}

Result<Engine> Engine::open_or_create_page_file(const std::string& path, std::shared_ptr<Vfs> vfs) {
    auto lock = FileLock::acquire(path);
    if (!lock) return fail(lock.error());
    // The race to make the file is lost to an opener that has closed it
    // since: this open goes on with what that one made.
    if (vfs->exists(lock->file())) return open_page_file(path, std::move(vfs), std::move(*lock));
    return create_page_file(path, std::move(vfs), std::move(*lock));
}

Result<Engine> Engine::open_page_file(const std::string& path) {
    return open_page_file(path, std::make_shared<RealVfs>());
}

Result<Engine> Engine::open_page_file(const std::string& path, std::shared_ptr<Vfs> vfs) {
    auto lock = FileLock::acquire(path);
    if (!lock) return fail(lock.error());
    return open_locked(path, std::move(vfs), std::move(*lock));
}

Result<Engine> Engine::open_page_file(const std::string& path, std::shared_ptr<Vfs> vfs, FileLock lock) {
    // A rename under the lock (migration, save-as) may have put another
    // file at the path since the lock was taken.
    if (auto st = lock.hold_file(path); !st) return fail(st.error());
    return open_locked(path, std::move(vfs), std::move(lock));
}

Result<PageStore*> Engine::ensure_page_store() {
    if (file.page_store) {
        if (file.catalog_stale) {
            if (auto st = reload_catalog(); !st) return fail(st.error());
        }
        return file.page_store.get();
    }
    // The name only places the file and names it in messages: the file has
    // none on disk. No one reopens it after a crash: its commits write in place.
    const std::string dir = temp_dir();
    std::string path = join_path(dir, format("zembrel-mem-{}.krvp", types::new_uuid()));
    auto pager = Pager::create_private(file.vfs ? file.vfs : std::make_shared<RealVfs>(), path);
    if (!pager) {
        if (auto fault = temp_dir_fault(dir)) return fail(*fault);
        return fail(pager.error());
    }
    file.page_store = new_page_store(std::move(*pager));
    return file.page_store.get();
}

}  // namespace zembrel
