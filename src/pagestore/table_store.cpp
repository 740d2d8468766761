// Tables of the page store: catalog entries, row ids, rows and rewrites.
//
// Table tree: key = key encoding of Int(row id) (9 bytes, so the tree is in
// row-id order), value = the row record (storage/row_record.h). An empty
// table is one empty leaf.

#include "pagestore/bulk_load.h"
#include "catalog/catalog_store.h"
#include "pagestore/index_build.h"
#include "pagestore/index_keys.h"
#include "pagestore/page_store.h"
#include "keycodec/keycodec.h"
#include "storage/row_record.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

// The rows under ids first, first + 1, ... as a fresh tree.
Result<uint64_t> load_rows(Pager& pager, uint64_t first, RowsView rows) {
    BulkLoader loader(pager);
    storage::Bytes record;
    record.reserve(4096);
    for (size_t i = 0; i < rows.size(); ++i) {
        record.clear();
        auto enc = storage::encode_row_into(record, rows[i]);
        if (!enc) return std::unexpected(enc.error());
        auto st = loader.add(keycodec::table_key(first + i), record);
        if (!st) return std::unexpected(st.error());
    }
    return loader.finish();
}

// What encoding and storing the rows could refuse, found without writing:
// the record's value count and text lengths, and the record's length as a
// B+tree value. Lets a rewrite fail before it frees the old tree.
Status check_rows_storable(RowsView rows) {
    for (RowView row : rows) {
        auto record = storage::encoded_row_size(row);
        if (!record) return fail(std::move(record.error()));
        if (*record > BPlusTree::kMaxValueLen) {
            return storage_error(format("value length {} exceeds maximum {}", *record, BPlusTree::kMaxValueLen));
        }
    }
    return {};
}

}  // namespace

Status PageStore::write_entry(const std::string& name) {
    auto entry = catalog.table(name);
    if (!entry) return std::unexpected(entry.error());
    return write_catalog_entry(*pager, name, **entry);
}

Status PageStore::create_table(const std::string& name, std::vector<Column> columns) {
    if (catalog.contains(name)) return execution_error(format("table '{}' already exists", name));
    BulkLoader empty(*pager);
    auto root = empty.finish();
    if (!root) return std::unexpected(root.error());
    CatalogEntry entry;
    entry.pk_column = first_pk_column(columns);
    entry.columns = std::move(columns);
    entry.root = *root;
    entry.rowid_counter = 1;
    entry.rowid_hint = 1;
    auto st = write_catalog_entry(*pager, name, entry);
    if (!st) return st;
    catalog.put(name, std::move(entry));
    return {};
}

Status PageStore::drop_table(const std::string& name) {
    std::optional<CatalogEntry> entry = catalog.take(name);
    if (!entry) return execution_error(format("table '{}' not found", name));
    for (const IndexCatalogEntry& index : entry->indexes) {
        auto st = BPlusTree::free_tree(*pager, index.root);
        if (!st) return st;
    }
    auto st = BPlusTree::free_tree(*pager, entry->root);
    if (!st) return st;
    auto removed = BPlusTree::delete_key(*pager, pager->catalog_root(), keycodec::catalog_key(name));
    if (!removed) return std::unexpected(removed.error());
    return {};
}

Status PageStore::set_table_columns(const std::string& name, std::vector<Column> columns) {
    auto found = catalog.table(name);
    if (!found) return std::unexpected(found.error());
    CatalogEntry& entry = **found;
    entry.columns = std::move(columns);
    entry.pk_column = first_pk_column(entry.columns);

    // Index positions follow the columns by name: a column dropped or moved
    // before an indexed one must not leave the index reading the wrong
    // value (or past the end of a row). An index whose column is gone can
    // match no row any more; keeping it would also make the stored entry
    // unreadable at the next open.
    std::vector<uint64_t> orphaned;
    std::vector<IndexCatalogEntry> kept;
    kept.reserve(entry.indexes.size());
    for (IndexCatalogEntry& index : entry.indexes) {
        std::vector<size_t> positions;
        bool complete = true;
        for (const std::string& column : index.columns) {
            auto at = column_position(entry.columns, column);
            if (!at) {
                complete = false;
                break;
            }
            positions.push_back(*at);
        }
        if (!complete) {
            orphaned.push_back(index.root);
            continue;
        }
        index.positions = std::move(positions);
        kept.push_back(std::move(index));
    }
    entry.indexes = std::move(kept);
    for (uint64_t root : orphaned) {
        auto st = BPlusTree::free_tree(*pager, root);
        if (!st) return st;
    }
    return write_catalog_entry(*pager, name, entry);
}

Status PageStore::set_merge_policy(const std::string& name, std::optional<std::string> policy) {
    auto found = catalog.table(name);
    if (!found) return std::unexpected(found.error());
    (*found)->merge_policy = std::move(policy);
    return write_catalog_entry(*pager, name, **found);
}

Result<Value> PageStore::next_rowid(const std::string& name) {
    auto found = catalog.table(name);
    if (!found) return std::unexpected(found.error());
    CatalogEntry& entry = **found;
    const uint64_t id = entry.rowid_counter;
    entry.rowid_counter = id + 1;
    if (id + 1 > entry.rowid_hint) {
        // Persist a bound 1024 ids ahead so that the entry is written once
        // per 1025 ids, not once per row, and a reopen still starts above
        // every id handed out.
        entry.rowid_hint = id + 1025;
        auto st = write_catalog_entry(*pager, name, entry);
        if (!st) return std::unexpected(st.error());
    }
    return Value::integer(static_cast<int64_t>(id));
}

Status PageStore::put_row(const std::string& name, std::span<const uint8_t> key, std::span<const Value> row) {
    auto found = catalog.table(name);
    if (!found) return std::unexpected(found.error());
    CatalogEntry& entry = **found;
    auto record = storage::encode_row(row);
    if (!record) return std::unexpected(record.error());
    auto root = BPlusTree::insert(*pager, entry.root, key, *record);
    if (!root) return std::unexpected(root.error());
    if (*root == entry.root) return {};
    entry.root = *root;
    return write_catalog_entry(*pager, name, entry);
}

Result<std::vector<uint64_t>> PageStore::insert_rows(const std::string& name, RowsView rows) {
    auto found = catalog.table(name);
    if (!found) return std::unexpected(found.error());
    CatalogEntry& entry = **found;  // stays put: nothing below erases entries

    // Every index key is built (and its length checked) before the first
    // row is stored; the row-id suffixes are filled in once the ids exist.
    std::vector<KeyBatch> batches;
    batches.reserve(entry.indexes.size());
    for (const IndexCatalogEntry& index : entry.indexes) {
        auto keys = collect_index_keys(index.name, index.positions, rows, {}, UniqueCheck::None);
        if (!keys) return std::unexpected(keys.error());
        batches.push_back(std::move(*keys));
    }

    std::vector<uint64_t> ids;
    ids.reserve(rows.size());
    for (RowView row : rows) {
        auto id = next_rowid(name);
        if (!id) return std::unexpected(id.error());
        const uint64_t rowid = static_cast<uint64_t>(id->as_int());
        auto st = put_row(name, keycodec::table_key(rowid), row);
        if (!st) return std::unexpected(st.error());
        ids.push_back(rowid);
    }

    bool roots_changed = false;
    for (size_t i = 0; i < batches.size(); ++i) {
        KeyBatch& keys = batches[i];
        for (size_t k = 0; k < keys.size(); ++k) keys.set_rowid(k, ids[keys.row(k)]);
        keys.sort();
        IndexCatalogEntry& index = entry.indexes[i];
        uint64_t root = index.root;
        for (size_t k = 0; k < keys.size(); ++k) {
            Result<uint64_t> next =
                index.unique ? insert_index_entry(name, root, ids[keys.row(k)], rows[keys.row(k)], index.positions, true)
                             : BPlusTree::insert(*pager, root, keys.key(k), {});
            if (!next) return std::unexpected(next.error());
            root = *next;
        }
        if (root != index.root) {
            index.root = root;
            roots_changed = true;
        }
    }
    if (roots_changed) {
        auto st = write_entry(name);
        if (!st) return std::unexpected(st.error());
    }
    return ids;
}

Result<uint64_t> PageStore::bulk_load_rows(uint64_t first_rowid, RowsView rows) {
    return load_rows(*pager, first_rowid, rows);
}

namespace {

// How a table load gives back the table's old tree.
enum class OldTree {
    Free,       // free the whole tree
    EmptyLeaf,  // the tree is one empty leaf: return that page
};

// rewrite_table and replace_table_rows: every row and index key checked
// before any page changes, the old tree given back, the rows as a fresh tree
// under ids 1..n, the entry's root and row-id fields, the rebuilt index
// trees, the entry written.
Status load_table(PageStore& store, const std::string& name, RowsView rows, OldTree old) {
    auto found = store.catalog.table(name);
    if (!found) return std::unexpected(found.error());
    CatalogEntry& entry = **found;
    if (auto ok = check_rows_storable(rows); !ok) return ok;
    auto prepared = prepare_index_rebuild(entry, rows);
    if (!prepared) return std::unexpected(prepared.error());
    if (old == OldTree::Free) {
        if (auto st = BPlusTree::free_tree(*store.pager, entry.root); !st) return st;
    } else {
        // The new root replaces the empty leaf: give it back (the load may
        // take it again) rather than leak a page per call.
        auto empty = BPlusTree::is_empty(*store.pager, entry.root);
        if (!empty) return std::unexpected(empty.error());
        if (*empty && entry.root != 0) {
            if (auto st = store.pager->free_page(entry.root); !st) return st;
        }
    }
    auto root = load_rows(*store.pager, 1, rows);
    if (!root) return std::unexpected(root.error());
    const uint64_t n = rows.size();
    entry.root = *root;
    entry.rowid_counter = n + 1;
    entry.rowid_hint = n + 1025;
    auto st = apply_index_rebuild(store, name, std::move(*prepared));
    if (!st) return st;
    return store.write_entry(name);
}

}  // namespace

Status PageStore::rewrite_table(const std::string& name, RowsView rows) {
    return load_table(*this, name, rows, OldTree::Free);
}

Status PageStore::replace_table_rows(const std::string& name, RowsView rows) {
    return load_table(*this, name, rows, OldTree::EmptyLeaf);
}

namespace {

// The row stored under `wanted` in an indexed leaf, none when absent.
Result<std::optional<Row>> row_in_leaf(Pager& pager, const uint8_t* page, const bpt::PageIndex& index,
                                       bpt::ByteSpan wanted) {
    const size_t pos = bpt::lower_bound(page, index, wanted);
    if (pos == index.cells.size() ||
        bpt::compare_keys(bpt::cell_key(page, bpt::kLeafType, index.cells[pos]), wanted) != 0) {
        return std::optional<Row>();
    }
    const bpt::CellRef& cell = index.cells[pos];
    if (!bpt::leaf_cell_overflow(page, cell)) {
        auto row = storage::decode_row(bpt::leaf_inline_value(page, cell));
        if (!row) return std::unexpected(row.error());
        return std::optional<Row>(std::move(*row));
    }
    auto bytes = BPlusTree::read_overflow(pager, bpt::decode_leaf_cell(page, cell));
    if (!bytes) return std::unexpected(bytes.error());
    auto row = storage::decode_row(*bytes);
    if (!row) return std::unexpected(row.error());
    return std::optional<Row>(std::move(*row));
}

}  // namespace

Result<std::optional<Row>> PageStore::fetch_row(const std::string& name, const Value& key) {
    auto entry = catalog.table(name);
    if (!entry) return std::unexpected(entry.error());
    keycodec::Bytes wanted;
    keycodec::encode_value(key, wanted);
    auto leaf = BPlusTree::find_leaf(*pager, (*entry)->root, bpt::ByteSpan(wanted));
    if (!leaf) return std::unexpected(leaf.error());
    auto ref = pager->read_page(*leaf);
    if (!ref) return std::unexpected(ref.error());
    bpt::PageIndex index;
    if (auto indexed = bpt::index_leaf(ref->data(), pager->usable_page_size(), *leaf, index); !indexed)
        return std::unexpected(indexed.error());
    return row_in_leaf(*pager, ref->data(), index, wanted);
}

RowFetcher::RowFetcher(Pager& pager, uint64_t root, InteriorPages* interiors, DecodedRows* decoded)
    : pager_(&pager), root_(root), interiors_(interiors), decoded_(decoded) {
    if (interiors_ == nullptr) {
        own_pages_ = std::make_unique<InteriorPages>();
        interiors_ = own_pages_.get();
    }
}

std::optional<RowFetcher> RowFetcher::open(PageStore& store, const std::string& name, InteriorPages* interiors,
                                           DecodedRows* decoded) {
    const CatalogEntry* entry = store.catalog.get(name);
    if (entry == nullptr) return std::nullopt;
    return RowFetcher(*store.pager, entry->root, interiors, decoded);
}

Status RowFetcher::go_down(uint64_t page, std::optional<bpt::ByteSpan> upper, bpt::ByteSpan key) {
    leaf_ = 0;
    // Taken at the first leaf: a fetcher whose rows are all decoded already
    // reads none.
    if (!page_) page_ = std::make_unique<PageBuf>();
    auto leaf = BPlusTree::descend_cached(*pager_, *interiors_, root_, page, upper, key, path_, *page_, index_);
    if (!leaf) return std::unexpected(leaf.error());
    leaf_ = *leaf;
    pos_ = 0;
    return {};
}

Status RowFetcher::locate(bpt::ByteSpan key) {
    if (leaf_ != 0 && !index_.cells.empty()) {
        const uint8_t* page = page_->data();
        if (bpt::compare_keys(key, bpt::cell_key(page, bpt::kLeafType, index_.cells[0])) >= 0) {
            const bpt::CellRef& last = index_.cells[index_.cells.size() - 1];
            if (bpt::compare_keys(key, bpt::cell_key(page, bpt::kLeafType, last)) <= 0) return {};
            // Every key below a level lies at or above the leaf's first key:
            // the lowest level whose bound the key stays below holds it, and
            // the walk goes down again from there.
            for (size_t level = path_.size(); level-- > 0;) {
                const InteriorLevel from = path_[level];
                if (from.upper && bpt::compare_keys(key, *from.upper) >= 0) continue;
                path_.resize(level);
                return go_down(from.page, from.upper, key);
            }
        }
    }
    path_.clear();
    return go_down(root_, std::nullopt, key);
}

std::optional<bpt::CellRef> RowFetcher::find_cell(bpt::ByteSpan key) {
    const uint8_t* page = page_->data();
    pos_ = bpt::lower_bound_from(page, index_, key, pos_);
    if (pos_ == index_.cells.size()) return std::nullopt;
    const bpt::CellRef& cell = index_.cells[pos_];
    if (bpt::compare_keys(bpt::cell_key(page, bpt::kLeafType, cell), key) != 0) return std::nullopt;
    return cell;
}

Result<std::optional<RowView>> RowFetcher::fetch_view(uint64_t rowid) {
    using Out = std::optional<RowView>;
    if (decoded_ != nullptr) {
        if (auto kept = decoded_->find(rowid)) return Out(RowView(*kept));
    }
    const keycodec::TableKey wanted = keycodec::table_key_array(rowid);
    const bpt::ByteSpan key(wanted);
    if (auto st = locate(key); !st) return std::unexpected(st.error());
    const std::optional<bpt::CellRef> cell = find_cell(key);
    if (!cell) return Out();
    const uint8_t* page = page_->data();
    size_t record_bytes = 0;
    if (!bpt::leaf_cell_overflow(page, *cell)) {
        const bpt::ByteSpan record = bpt::leaf_inline_value(page, *cell);
        if (auto st = storage::decode_row_into(record, row_); !st) return std::unexpected(st.error());
        record_bytes = record.size();
    } else {
        auto bytes = BPlusTree::read_overflow(*pager_, bpt::decode_leaf_cell(page, *cell));
        if (!bytes) return std::unexpected(bytes.error());
        if (auto st = storage::decode_row_into(*bytes, row_); !st) return std::unexpected(st.error());
        record_bytes = bytes->size();
    }
    if (decoded_ != nullptr) decoded_->add(rowid, row_, record_bytes);
    return Out(RowView(row_));
}

Result<TableCursor> TableCursor::open(PageStore& store, const std::string& name) {
    auto entry = store.catalog.table(name);
    if (!entry) return std::unexpected(entry.error());
    auto cursor = BPlusTree::seek(*store.pager, (*entry)->root, std::nullopt);
    if (!cursor) return std::unexpected(cursor.error());
    return TableCursor(std::move(*cursor));
}

Result<TableCursor> TableCursor::open_snapshot(const PagerSnapshot& snapshot, uint64_t root) {
    auto leaf = BPlusTree::leftmost_leaf_snapshot(snapshot, root);
    if (!leaf) return std::unexpected(leaf.error());
    return TableCursor(BPlusTreeCursor(snapshot, *leaf, 0));
}

Result<std::optional<std::pair<Value, Row>>> TableCursor::next_row() {
    bpt::ByteSpan key_bytes, value_bytes;
    auto got = cursor_.next_view(key_bytes, value_bytes);
    if (!got) return std::unexpected(got.error());
    if (!*got) return std::optional<std::pair<Value, Row>>();
    auto key = keycodec::decode_key(key_bytes);
    if (!key) return std::unexpected(key.error());
    auto row = storage::decode_row(value_bytes);
    if (!row) return std::unexpected(row.error());
    return std::optional<std::pair<Value, Row>>(std::in_place, std::move(*key), std::move(*row));
}

Result<bool> TableCursor::next_record(Value& key, std::span<const uint8_t>& record) {
    bpt::ByteSpan key_bytes;
    auto got = cursor_.next_view(key_bytes, record);
    if (!got) return std::unexpected(got.error());
    if (!*got) return false;
    auto decoded = keycodec::decode_key(key_bytes);
    if (!decoded) return std::unexpected(decoded.error());
    key = std::move(*decoded);
    return true;
}

Result<TableCursor::Read> TableCursor::next_row_cells(Value& key, FlatRows& rows, size_t width, Row& other,
                                                      TextArena* arena) {
    std::span<const uint8_t> record;
    auto got = next_record(key, record);
    if (!got) return std::unexpected(got.error());
    if (!*got) return Read::End;
    if (storage::row_value_count(record) != width) {
        if (auto st = storage::decode_row_into(record, other); !st) return std::unexpected(st.error());
        return Read::OtherWidth;
    }
    if (auto st = storage::decode_row_cells(record, rows.append_blank(width), arena); !st) {
        rows.pop_back();
        return std::unexpected(st.error());
    }
    return Read::Appended;
}

Result<bool> TableCursor::next_row_into(Value& key, Row& row, TextArena* arena) {
    std::span<const uint8_t> record;
    auto got = next_record(key, record);
    if (!got || !*got) return got;
    if (auto st = storage::decode_row_into(record, row, arena); !st) return std::unexpected(st.error());
    return true;
}

}  // namespace zembrel
