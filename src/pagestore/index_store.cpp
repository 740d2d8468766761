// Index trees of the page store: building, dropping, rebuilding and adding
// entries with the unique check against live rows.
//
// Index tree: key = the indexed values' key encodings in index order, then
// the key encoding of Int(row id); value empty. Equal values therefore give
// distinct keys ordered by row id. A row with a Null in an indexed column has
// no entry. An entry whose row is no longer in the table tree is stale: the
// unique check treats it as absent and deletes it when it meets it.

#include <algorithm>

#include "pagestore/bulk_load.h"
#include "catalog/catalog_store.h"
#include "pagestore/index_build.h"
#include "pagestore/page_store.h"
#include "keycodec/keycodec.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

Result<uint64_t> load_keys(Pager& pager, const KeyBatch& keys) {
    BulkLoader loader(pager);
    for (size_t i = 0; i < keys.size(); ++i) {
        auto st = loader.add(keys.key(i), {});
        if (!st) return std::unexpected(st.error());
    }
    return loader.finish();
}

}  // namespace

Result<PreparedIndexes> prepare_index_rebuild(const CatalogEntry& entry, RowsView rows) {
    PreparedIndexes prepared;
    prepared.reserve(entry.indexes.size());
    for (const IndexCatalogEntry& index : entry.indexes) {
        auto keys = collect_index_keys(index.name, index.positions, rows, {},
                                       index.unique ? UniqueCheck::Rebuild : UniqueCheck::None);
        if (!keys) return std::unexpected(keys.error());
        keys->sort();
        prepared.push_back(PreparedIndex{index.name, index.root, std::move(*keys)});
    }
    return prepared;
}

Status apply_index_rebuild(PageStore& store, const std::string& table, PreparedIndexes prepared) {
    for (PreparedIndex& index : prepared) {
        auto st = BPlusTree::free_tree(*store.pager, index.old_root);
        if (!st) return st;
        auto root = load_keys(*store.pager, index.keys);
        if (!root) return std::unexpected(root.error());
        index.keys = KeyBatch();  // release the keys as soon as they are stored
        auto entry = store.catalog.table(table);
        if (!entry) return std::unexpected(entry.error());
        for (IndexCatalogEntry& current : (*entry)->indexes) {
            if (current.name == index.name) {
                current.root = *root;
                break;
            }
        }
    }
    return {};
}

Status PageStore::rebuild_indexes(const std::string& table, RowsView rows) {
    auto entry = catalog.table(table);
    if (!entry) return std::unexpected(entry.error());
    if ((*entry)->indexes.empty()) return {};
    auto prepared = prepare_index_rebuild(**entry, rows);
    if (!prepared) return std::unexpected(prepared.error());
    return apply_index_rebuild(*this, table, std::move(*prepared));
}

Status PageStore::create_index(const std::string& table, const std::string& index_name,
                               const std::vector<std::string>& columns, bool unique) {
    if (columns.empty()) return execution_error("index must list at least one column");
    auto found = catalog.table(table);
    if (!found) return std::unexpected(found.error());
    const CatalogEntry& entry = **found;
    for (const IndexCatalogEntry& index : entry.indexes) {
        if (index.name == index_name) return execution_error(format("index '{}' already exists", index_name));
    }
    for (const IndexCatalogEntry& index : entry.indexes) {
        if (index.columns == columns) {
            return execution_error(format("columns ({}) are already indexed on '{}'", join_texts(columns), table));
        }
    }
    std::vector<size_t> positions;
    positions.reserve(columns.size());
    for (const std::string& column : columns) {
        auto at = column_position(entry.columns, column);
        if (!at) return execution_error(format("column '{}' not found on '{}'", column, table));
        positions.push_back(*at);
    }

    // The whole table, in row-id order.
    std::vector<Row> rows;
    std::vector<uint64_t> rowids;
    auto cursor = TableCursor::open(*this, table);
    if (!cursor) return std::unexpected(cursor.error());
    for (;;) {
        auto item = cursor->next_row();
        if (!item) return std::unexpected(item.error());
        if (!*item) break;
        if (!(*item)->first.is_int()) return storage_error("rowid must be Int");
        rowids.push_back(static_cast<uint64_t>((*item)->first.as_int()));
        rows.push_back(std::move((*item)->second));
    }

    // Every key is checked before a page is taken. The new tree holds no
    // stale entries, so with duplicates ruled out the keys can be loaded
    // bottom-up instead of inserted one by one.
    auto keys = collect_index_keys(index_name, positions, rows, rowids,
                                   unique ? UniqueCheck::Build : UniqueCheck::None);
    if (!keys) return std::unexpected(keys.error());
    rows.clear();
    rows.shrink_to_fit();
    keys->sort();
    auto root = load_keys(*pager, *keys);
    if (!root) return std::unexpected(root.error());

    auto again = catalog.table(table);
    if (!again) return std::unexpected(again.error());
    IndexCatalogEntry index;
    index.name = index_name;
    index.columns = columns;
    index.positions = std::move(positions);
    index.root = *root;
    index.unique = unique;
    (*again)->indexes.push_back(std::move(index));
    return write_entry(table);
}

Status PageStore::drop_index(const std::string& table, const std::string& index_name) {
    auto found = catalog.table(table);
    if (!found) return std::unexpected(found.error());
    auto& indexes = (*found)->indexes;
    auto it = std::find_if(indexes.begin(), indexes.end(),
                           [&](const IndexCatalogEntry& i) { return i.name == index_name; });
    if (it == indexes.end()) return execution_error(format("index '{}' not found", index_name));
    const uint64_t root = it->root;
    indexes.erase(it);
    auto st = BPlusTree::free_tree(*pager, root);
    if (!st) return st;
    return write_entry(table);
}

Result<uint64_t> PageStore::insert_index_entry(const std::string& table, uint64_t root, uint64_t rowid,
                                               std::span<const Value> row, std::span<const size_t> positions,
                                               bool unique) {
    for (size_t p : positions) {
        if (p >= row.size()) {
            return storage_error(format("index on '{}' reads column {} of a row of {} values", table, p, row.size()));
        }
    }
    auto values = keycodec::index_key_for_row(row, positions);
    if (!values) return root;
    keycodec::Bytes prefix;
    for (const Value& v : *values) keycodec::encode_value(v, prefix);

    if (unique) {
        // The run of entries holding the same values starts where the bare
        // values would sort; it ends at the first entry that differs.
        auto cursor = BPlusTree::seek(*pager, root, bpt::ByteSpan(prefix));
        if (!cursor) return std::unexpected(cursor.error());
        std::vector<std::pair<uint64_t, keycodec::Bytes>> holders;
        for (;;) {
            bpt::ByteSpan entry_key, entry_value;
            auto got = cursor->next_view(entry_key, entry_value);
            if (!got) return std::unexpected(got.error());
            if (!*got) break;
            auto decoded = keycodec::decode_index_key(entry_key, values->size());
            if (!decoded) return std::unexpected(decoded.error());
            bool same = true;
            for (size_t i = 0; i < values->size() && same; ++i) {
                same = Value::key_cmp(decoded->values[i], (*values)[i]) == 0;
            }
            if (!same) break;
            holders.emplace_back(decoded->rowid, keycodec::Bytes(entry_key.begin(), entry_key.begin() + static_cast<ptrdiff_t>(decoded->consumed)));
        }
        for (auto& [holder, key] : holders) {
            // An entry of this very row (put again under its own id) is no
            // clash; inserting the key below just keeps it.
            if (holder == rowid) continue;
            auto live = fetch_row(table, Value::integer(static_cast<int64_t>(holder)));
            if (!live) return std::unexpected(live.error());
            if (*live) {
                return execution_error(format("unique constraint violated: duplicate key {}", debug_values(*values)));
            }
            auto removed = BPlusTree::delete_key(*pager, root, key);
            if (!removed) return std::unexpected(removed.error());
        }
    }

    keycodec::Bytes suffix = keycodec::table_key(rowid);
    prefix.insert(prefix.end(), suffix.begin(), suffix.end());
    return BPlusTree::insert(*pager, root, prefix, {});
}

Status PageStore::insert_index_entries(const std::string& table, uint64_t rowid, std::span<const Value> row) {
    auto found = catalog.table(table);
    if (!found) return std::unexpected(found.error());
    bool roots_changed = false;
    for (IndexCatalogEntry& index : (*found)->indexes) {
        auto root = insert_index_entry(table, index.root, rowid, row, index.positions, index.unique);
        if (!root) return std::unexpected(root.error());
        if (*root != index.root) {
            index.root = *root;
            roots_changed = true;
        }
    }
    // A new root lives only in memory until the entry is written; written
    // here so that no caller can save a catalog tree that lost it.
    if (roots_changed) return write_entry(table);
    return {};
}

}  // namespace zembrel
