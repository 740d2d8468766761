#include "planner/table_source.h"

#include <algorithm>
#include <thread>

#include "bptree/bptree.h"
#include "pagestore/parallel_rows.h"
#include "types/text_format.h"

namespace zembrel::planner {

TableSource table_source(const Engine& engine, const std::string& name) {
    TableSource out;
    if (const Table* table = engine.tables.find(name)) {
        out.kind = TableSource::Kind::Loaded;
        out.table = table;
        out.columns = &table->columns;
        for (const std::string& index_name : engine.tables.index_names_of(name)) {
            const MemIndex* index = engine.tables.index(index_name);
            if (index != nullptr && index_in_step(*index, *table))
                out.indexes.push_back({&index->name, &index->columns, &index->positions, index});
        }
        if (const PkIndex* pk = engine.tables.pk_index(name)) out.pk_column = pk->pk_column;
    } else if (const PageStore* store = engine.page_store(); store != nullptr && !engine.file.catalog_stale) {
        const CatalogEntry* entry = store->catalog.get(name);
        if (entry == nullptr) return out;
        out.kind = TableSource::Kind::PageFile;
        out.columns = &entry->columns;
        const size_t width = entry->columns.size();
        if (entry->pk_column && *entry->pk_column < width) out.pk_column = entry->pk_column;
        // An index dropped in the open transaction stays in the file until
        // COMMIT; statements meanwhile see the indexes memory defines.
        const bool in_transaction = engine.in_transaction();
        for (const IndexCatalogEntry& ix : entry->indexes) {
            if (ix.columns.empty() || ix.positions.size() != ix.columns.size()) continue;
            if (in_transaction) {
                const MemIndex* defined = engine.tables.mem_indexes.get(ix.name);
                if (defined == nullptr || defined->table != name || defined->columns != ix.columns ||
                    defined->unique != ix.unique)
                    continue;
            }
            if (std::any_of(ix.positions.begin(), ix.positions.end(), [&](size_t p) { return p >= width; })) continue;
            out.indexes.push_back({&ix.name, &ix.columns, &ix.positions, nullptr});
        }
    }
    std::sort(out.indexes.begin(), out.indexes.end(),
              [](const SourceIndex& a, const SourceIndex& b) { return *a.name < *b.name; });
    return out;
}

bool index_in_step(const MemIndex& index, const Table& table) {
    if (index.may_hold_stale_ids() || index.entered_rows() != table.rows.size()) return false;
    if (table.rowids.size() != table.rows.size() || index.id_count() > table.rows.size()) return false;
    return table.rows.empty() || table.rowids.back() == index.last_entered_id();
}

size_t parallel_read_workers(uint64_t rows, size_t parallel_rows) {
    const size_t cores = std::thread::hardware_concurrency();
    const size_t quantum = std::max<size_t>(parallel_rows / 4, 1);
    if (rows < quantum || cores < 2) return 0;
    return std::clamp<size_t>(rows / quantum, 2, cores);
}

std::shared_ptr<Table> rows_read_in_parallel(PageStore& store, const CatalogEntry& entry, size_t workers) {
    const uint64_t ids_out = rows_to_reserve(store, entry);
    if (ids_out == 0) return nullptr;
    auto table = std::make_shared<Table>();
    table->columns = entry.columns;
    if (!read_rows_in_parallel(store, entry.root, *table, ids_out, workers)) return nullptr;
    // Readers find rows by id: ids out of order were not written here.
    if (std::adjacent_find(table->rowids.begin(), table->rowids.end(), std::greater_equal<>()) != table->rowids.end())
        return nullptr;
    return table;
}

Result<operators::SharedRows> table_rows_snapshot(Engine& engine, const std::string& name) {
    if (const Table* t = engine.tables.find(name)) return operators::borrow_rows(t->rows);
    if (auto it = engine.tables.row_cache.find(name); it != engine.tables.row_cache.end())
        return operators::SharedRows(it->second, *it->second);
    auto store = engine.ensure_page_store();
    if (!store) return fail(store.error());
    const CatalogEntry* entry = (*store)->catalog.get(name);
    if (entry == nullptr) return execution_error(format("table '{}' not found", name));
    if (const size_t workers = parallel_read_workers(entry->ids_handed_out(), engine.tables.parallel_rows); workers > 0) {
        if (std::shared_ptr<Table> read = rows_read_in_parallel(**store, *entry, workers)) {
            read->rowids = {};
            SharedTableRows rows(read, &read->rows);  // the texts stay with the rows
            engine.tables.row_cache[name] = rows;
            return operators::SharedRows(rows, *rows);
        }
    }
    const size_t width = entry->columns.size();
    auto cursor = TableCursor::open(**store, name);
    if (!cursor) return fail(cursor.error());
    cursor->read_ahead();
    auto rows = std::make_shared<FlatRows>();
    Value rowid;
    Row other;
    for (;;) {
        auto next = cursor->next_row_cells(rowid, *rows, width, other);
        if (!next) return fail(next.error());
        if (*next == TableCursor::Read::End) break;
        if (*next == TableCursor::Read::OtherWidth) {
            if (auto st = check_stored_row(rowid, other, width, name); !st) return fail(st.error());
        }
    }
    engine.tables.row_cache[name] = rows;
    return operators::SharedRows(rows, *rows);
}

Status check_stored_row(const Value& rowid, RowView row, size_t width, const std::string& table) {
    if (row.size() == width) return {};
    return storage_error(format("row {} of table '{}' holds {} values for {} columns",
                                rowid.is_int() ? rowid.as_int() : 0, table, row.size(), width));
}

Result<std::vector<size_t>> column_positions(const Table& table, std::span<const std::string> names) {
    std::vector<size_t> positions;
    positions.reserve(names.size());
    for (const std::string& name : names) {
        auto at = table.column_index(name);
        if (!at) return execution_error(format("column '{}' not found on '{}'", name, table.name));
        positions.push_back(*at);
    }
    return positions;
}

Result<bool> page_index_complete(Engine& engine, const std::string& table, const std::string& index) {
    PageTableFacts& facts = engine.tables.row_cache.facts[table];
    if (auto known = facts.index_complete.find(index); known != facts.index_complete.end()) return known->second;
    PageStore* store = engine.page_store();
    const CatalogEntry* entry = store != nullptr ? store->catalog.get(table) : nullptr;
    if (entry == nullptr) return false;
    auto ix = std::find_if(entry->indexes.begin(), entry->indexes.end(),
                           [&](const IndexCatalogEntry& e) { return e.name == index; });
    if (ix == entry->indexes.end()) return false;
    // Both trees are read whole: a large one by worker threads, when that
    // road takes it; the sequential count meets whatever stopped it.
    const size_t workers = parallel_read_workers(entry->ids_handed_out(), engine.tables.parallel_rows);
    const auto count = [&](uint64_t root) -> Result<uint64_t> {
        if (workers > 0)
            if (auto counted = count_entries_in_parallel(*store, root, workers)) return *counted;
        return BPlusTree::count_entries(*store->pager, root);
    };
    auto rows = count(entry->root);
    if (!rows) return fail(rows.error());
    auto entries = count(ix->root);
    if (!entries) return fail(entries.error());
    // A write moves a row's entries with it, so the two counts agree exactly
    // when no row lacks an entry; more entries than rows means stale ones,
    // and then the counts tell nothing.
    const bool complete = *entries == *rows;
    facts.index_complete[index] = complete;
    return complete;
}

}  // namespace zembrel::planner
