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

// Appends the index key of a row (values, then the row id) to `out`; false
// (with `out` as it was) for a row with a Null in an indexed column. A
// position outside the row is a broken catalog: a Storage error rather than
// a read past the row.
Result<bool> append_index_key(const IndexCatalogEntry& index, uint64_t rowid, const Row& row, keycodec::Bytes& out) {
    const size_t start = out.size();
    for (size_t p : index.positions) {
        if (p >= row.size())
            return storage_error(format("index '{}' reads column {} of a row of {} values", index.name, p, row.size()));
        if (row[p].is_null()) {
            out.resize(start);
            return false;
        }
        keycodec::encode_value(row[p], out);
    }
    keycodec::encode_value(Value::integer(static_cast<int64_t>(rowid)), out);
    return true;
}

// The changes of one index: the keys that go and the keys that come, each
// naming its change.
struct IndexKeyChanges {
    KeyBatch removed;
    KeyBatch added;
};

// The batch's keys, in its order, as edits of the tree.
std::vector<TreeEdit> edits_of(const KeyBatch& keys, bool erase) {
    std::vector<TreeEdit> edits(keys.size());
    for (size_t k = 0; k < keys.size(); ++k) edits[k] = TreeEdit{keys.key(k), {}, erase};
    return edits;
}

}  // namespace

Status PageStore::apply_row_changes(const std::string& name, std::span<const StoredRowChange> changes,
                                    uint64_t next_rowid_at_least) {
    auto found = catalog.table(name);
    if (!found) return std::unexpected(found.error());
    CatalogEntry& entry = **found;  // stays put: nothing below erases entries
    const size_t n_indexes = entry.indexes.size();

    // Row ids usually come ascending already; in that order the table tree
    // is walked leaf by leaf.
    std::vector<uint32_t> order(changes.size());
    for (uint32_t c = 0; c < order.size(); ++c) order[c] = c;
    auto by_rowid = [&](uint32_t a, uint32_t b) { return changes[a].rowid < changes[b].rowid; };
    if (!std::is_sorted(order.begin(), order.end(), by_rowid)) std::stable_sort(order.begin(), order.end(), by_rowid);

    // Everything that could be refused, before any page changes. The records
    // and keys lie in flat buffers: one allocation per buffer, not per row.
    storage::Bytes record_bytes;
    std::vector<size_t> record_end(changes.size(), 0);
    std::vector<IndexKeyChanges> index_changes(n_indexes);
    keycodec::Bytes old_key, new_key;
    for (uint32_t c : order) {
        const StoredRowChange& change = changes[c];
        if (change.after != nullptr) {
            const size_t start = record_bytes.size();
            if (auto st = storage::encode_row_into(record_bytes, *change.after); !st) return fail(st.error());
            if (record_bytes.size() - start > BPlusTree::kMaxValueLen)
                return storage_error(
                    format("value length {} exceeds maximum {}", record_bytes.size() - start, BPlusTree::kMaxValueLen));
        }
        record_end[c] = record_bytes.size();
        for (size_t i = 0; i < n_indexes; ++i) {
            if (change.before != nullptr && change.after != nullptr &&
                same_values_at(*change.before, *change.after, entry.indexes[i].positions))
                continue;
            old_key.clear();
            new_key.clear();
            bool had = false, has = false;
            if (change.before != nullptr) {
                auto got = append_index_key(entry.indexes[i], change.rowid, *change.before, old_key);
                if (!got) return fail(got.error());
                had = *got;
            }
            if (change.after != nullptr) {
                auto got = append_index_key(entry.indexes[i], change.rowid, *change.after, new_key);
                if (!got) return fail(got.error());
                has = *got;
                if (has) {
                    if (auto fits = check_index_key_length(new_key.size()); !fits) return fits;
                }
            }
            if (had == has && (!had || old_key == new_key)) continue;
            if (had) index_changes[i].removed.add(old_key, c);
            if (has) index_changes[i].added.add(new_key, c);
        }
    }

    // Old index entries out first: a key another changed row gives up must
    // be free before that row's new key goes in.
    for (size_t i = 0; i < n_indexes; ++i) {
        KeyBatch& removed = index_changes[i].removed;
        if (removed.empty()) continue;
        removed.sort();
        auto root = BPlusTree::apply_sorted(*pager, entry.indexes[i].root, edits_of(removed, true));
        if (!root) return std::unexpected(root.error());
        removed = KeyBatch();
    }

    // The rows, under their own ids.
    const uint64_t old_root = entry.root;
    uint64_t highest_added = 0;
    {
        keycodec::Bytes row_keys;
        row_keys.reserve(order.size() * 9);
        for (uint32_t c : order) keycodec::encode_value(Value::integer(static_cast<int64_t>(changes[c].rowid)), row_keys);
        const size_t key_len = order.empty() ? 0 : row_keys.size() / order.size();
        std::vector<TreeEdit> edits(order.size());
        for (size_t k = 0; k < order.size(); ++k) {
            const uint32_t c = order[k];
            const StoredRowChange& change = changes[c];
            TreeEdit& edit = edits[k];
            edit.key = bpt::ByteSpan(row_keys.data() + k * key_len, key_len);
            edit.erase = change.after == nullptr;
            if (!edit.erase) {
                const size_t start = c == order.front() ? 0 : record_end[order[k - 1]];
                edit.value = bpt::ByteSpan(record_bytes.data() + start, record_end[c] - start);
                if (change.before == nullptr) highest_added = std::max(highest_added, change.rowid);
            }
        }
        auto root = BPlusTree::apply_sorted(*pager, entry.root, edits);
        if (!root) return std::unexpected(root.error());
        entry.root = *root;
    }
    bool entry_changed = entry.root != old_root;

    // New index entries; a unique index checks the rows that hold the key now.
    for (size_t i = 0; i < n_indexes; ++i) {
        IndexCatalogEntry& index = entry.indexes[i];
        KeyBatch& added = index_changes[i].added;
        if (added.empty()) continue;
        uint64_t root = index.root;
        if (index.unique) {
            for (size_t k = 0; k < added.size(); ++k) {
                const StoredRowChange& change = changes[added.row(k)];
                auto next = insert_index_entry(name, root, change.rowid, *change.after, index.positions, true);
                if (!next) return std::unexpected(next.error());
                root = *next;
            }
        } else {
            added.sort();
            auto next = BPlusTree::apply_sorted(*pager, root, edits_of(added, false));
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
