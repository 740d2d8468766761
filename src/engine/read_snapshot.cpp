#include "engine/read_snapshot.h"

#include <algorithm>

namespace zembrel {

Result<ReadSnapshot> ReadSnapshot::take(Engine& engine) {
    auto store = engine.ensure_page_store();
    if (!store) return fail(store.error());
    auto pages = (*store)->pager->snapshot();
    if (!pages) return fail(pages.error());
    return ReadSnapshot(std::shared_ptr<PagerSnapshot>(std::move(*pages)));
}

Status ReadSnapshot::lend_pages(Engine& reader, size_t cache_pages) const {
    PageStorePtr store(new PageStore());
    store->pager = Pager::over_snapshot(pages_, cache_pages);
    // Derived, as an opened file's are: the page road finds index columns
    // by position.
    auto entries = load_catalog_entries(*store->pager);
    if (!entries) return fail(entries.error());
    for (auto& [name, entry] : *entries) store->catalog.put(std::move(name), std::move(entry));
    reader.file.page_store = std::move(store);
    reader.file.catalog_stale = false;
    return {};
}

Status ReadSnapshot::load_catalog() {
    if (catalog_loaded_) return {};
    auto entries = load_catalog_entries(*pages_);
    if (!entries) return fail(entries.error());
    catalog_ = std::move(*entries);
    // The tree hands the entries out in key order, which is not name order
    // for every name; sort once so lookups can halve.
    std::sort(catalog_.begin(), catalog_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    catalog_loaded_ = true;
    return {};
}

const CatalogEntry* ReadSnapshot::entry(const std::string& name) const {
    auto it = std::lower_bound(catalog_.begin(), catalog_.end(), name,
                               [](const NamedCatalogEntry& e, const std::string& n) { return e.first < n; });
    if (it == catalog_.end() || it->first != name) return nullptr;
    return &it->second;
}

Status ReadSnapshot::load_tables(Engine& target, const std::vector<std::string>& names) {
    if (auto st = load_catalog(); !st) return st;
    for (const std::string& name : names) {
        if (target.tables.find(name) != nullptr) continue;
        const CatalogEntry* found = entry(name);
        if (found == nullptr) continue;
        if (auto st = target.load_table_from_snapshot(*pages_, name, *found); !st) return st;
    }
    return {};
}

Result<std::optional<TableVersion>> ReadSnapshot::decode_table(const std::string& name) {
    if (auto st = load_catalog(); !st) return fail(st.error());
    const CatalogEntry* found = entry(name);
    if (found == nullptr) return std::optional<TableVersion>();
    Engine scratch;
    if (auto st = scratch.load_table_from_snapshot(*pages_, name, *found); !st) return fail(st.error());
    // The snapshot's catalog holds index columns by name only (an older
    // entry in its one-column form). An index naming a column the table
    // lacks would only have sped reads up: it is left out.
    for (const IndexCatalogEntry& ix : found->indexes) {
        std::vector<std::string> columns = ix.columns.empty() ? std::vector<std::string>{ix.column} : ix.columns;
        std::vector<size_t> positions;
        for (const std::string& column : columns) {
            if (auto at = column_position(found->columns, column)) positions.push_back(*at);
        }
        if (positions.size() != columns.size()) continue;
        scratch.tables.mem_indexes.insert(MemIndex(ix.name, name, std::move(columns), std::move(positions), ix.unique));
    }
    scratch.tables.rebuild_secondary_indexes(name);
    return scratch.tables.release_table(name);
}

}  // namespace zembrel
