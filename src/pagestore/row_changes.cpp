// Changing a stored table row by row: what UPDATE and DELETE (and a COMMIT of
// their changes) write, so that a statement costs what it changes rather
// than a rewrite of the whole table.

#include <algorithm>
#include <vector>

#include "keycodec/keycodec.h"
#include "pagestore/index_keys.h"
#include "pagestore/page_store.h"
#include "storage/row_record.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

// The index key bytes of a row (values, then the row id), or none for a row
// with a Null in an indexed column. A position outside the row is a broken
// catalog: a Storage error rather than a read past the row.
Result<std::optional<keycodec::Bytes>> index_key_bytes(const IndexCatalogEntry& index, uint64_t rowid, const Row& row) {
    keycodec::Bytes key;
    for (size_t p : index.positions) {
        if (p >= row.size())
            return storage_error(format("index '{}' reads column {} of a row of {} values", index.name, p, row.size()));
        if (row[p].is_null()) return std::optional<keycodec::Bytes>();
        keycodec::encode_value(row[p], key);
    }
    keycodec::Bytes suffix = keycodec::table_key(rowid);
    key.insert(key.end(), suffix.begin(), suffix.end());
    return std::optional<keycodec::Bytes>(std::move(key));
}

// Per change and index: the old and the new key, and whether they differ.
struct KeyPair {
    std::optional<keycodec::Bytes> old_key;
    std::optional<keycodec::Bytes> new_key;
    bool changed() const { return old_key != new_key; }
};

}  // namespace

Status PageStore::apply_row_changes(const std::string& name, std::span<const StoredRowChange> changes,
                                    uint64_t next_rowid_at_least) {
    auto found = catalog.table(name);
    if (!found) return std::unexpected(found.error());
    CatalogEntry& entry = **found;  // stays put: nothing below erases entries
    const size_t n_indexes = entry.indexes.size();

    // Everything that could be refused, before any page changes.
    std::vector<KeyPair> keys(changes.size() * n_indexes);
    std::vector<storage::Bytes> records(changes.size());
    for (size_t c = 0; c < changes.size(); ++c) {
        const StoredRowChange& change = changes[c];
        if (change.after != nullptr) {
            auto record = storage::encode_row(*change.after);
            if (!record) return std::unexpected(record.error());
            if (record->size() > BPlusTree::kMaxValueLen)
                return storage_error(format("value length {} exceeds maximum {}", record->size(), BPlusTree::kMaxValueLen));
            records[c] = std::move(*record);
        }
        for (size_t i = 0; i < n_indexes; ++i) {
            KeyPair& pair = keys[c * n_indexes + i];
            if (change.before != nullptr) {
                auto old_key = index_key_bytes(entry.indexes[i], change.rowid, *change.before);
                if (!old_key) return fail(old_key.error());
                pair.old_key = std::move(*old_key);
            }
            if (change.after != nullptr) {
                auto new_key = index_key_bytes(entry.indexes[i], change.rowid, *change.after);
                if (!new_key) return fail(new_key.error());
                if (*new_key) {
                    if (auto fits = check_index_key_length((*new_key)->size()); !fits) return fits;
                }
                pair.new_key = std::move(*new_key);
            }
        }
    }

    // Old index entries out first: a key another changed row gives up must
    // be free before that row's new key goes in.
    for (size_t c = 0; c < changes.size(); ++c) {
        for (size_t i = 0; i < n_indexes; ++i) {
            const KeyPair& pair = keys[c * n_indexes + i];
            if (!pair.changed() || !pair.old_key) continue;
            auto removed = BPlusTree::delete_key(*pager, entry.indexes[i].root, *pair.old_key);
            if (!removed) return std::unexpected(removed.error());
        }
    }

    // The rows, under their own ids.
    const uint64_t old_root = entry.root;
    uint64_t highest_added = 0;
    for (size_t c = 0; c < changes.size(); ++c) {
        const StoredRowChange& change = changes[c];
        const keycodec::Bytes key = keycodec::table_key(change.rowid);
        if (change.after == nullptr) {
            auto removed = BPlusTree::delete_key(*pager, entry.root, key);
            if (!removed) return std::unexpected(removed.error());
            continue;
        }
        auto root = BPlusTree::insert(*pager, entry.root, key, records[c]);
        if (!root) return std::unexpected(root.error());
        entry.root = *root;
        records[c] = storage::Bytes();
        if (change.before == nullptr) highest_added = std::max(highest_added, change.rowid);
    }
    bool entry_changed = entry.root != old_root;

    // New index entries; a unique index checks the rows that hold the key now.
    for (size_t i = 0; i < n_indexes; ++i) {
        IndexCatalogEntry& index = entry.indexes[i];
        uint64_t root = index.root;
        for (size_t c = 0; c < changes.size(); ++c) {
            const KeyPair& pair = keys[c * n_indexes + i];
            if (!pair.changed() || !pair.new_key) continue;
            Result<uint64_t> next = index.unique ? insert_index_entry(name, root, changes[c].rowid, *changes[c].after,
                                                                      index.positions, true)
                                                 : BPlusTree::insert(*pager, root, *pair.new_key, {});
            if (!next) return std::unexpected(next.error());
            root = *next;
        }
        if (root != index.root) {
            index.root = root;
            entry_changed = true;
        }
    }

    // Ids given to new rows are never handed out again, here or after a reopen.
    const uint64_t next = std::max(highest_added + 1, next_rowid_at_least);
    if (next > entry.rowid_counter) {
        entry.rowid_counter = next;
        entry_changed = true;
    }
    if (entry.rowid_counter > entry.rowid_hint) {
        entry.rowid_hint = entry.rowid_counter + 1024;
        entry_changed = true;
    }
    if (entry_changed) return write_entry(name);
    return {};
}

}  // namespace zembrel
