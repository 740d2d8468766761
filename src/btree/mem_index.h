// In-memory secondary indexes: per CREATE [UNIQUE] INDEX, an ordered map from
// the values of the indexed columns to the row ids of the rows holding them.
//
// A row with Null in any indexed column has no key: it is in no row-id list
// and never takes part in a unique check. Keys are ordered element by element
// by Value::key_cmp, a proper prefix first. A row-id list keeps the ids in the
// order they were added and is never left empty.
//
// The map is only changed through the members below, so that the index can
// keep track of what it may hold (see may_hold_stale_ids). Owned by the
// Engine's MemIndexMap, used from the Engine's thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "types/value.h"

namespace zembrel {

using IndexKey = std::vector<Value>;
using RowIdList = std::vector<uint64_t>;
using IndexKeyMap = std::map<IndexKey, RowIdList, KeyLess>;

// A hash view of a single-column index's keys, for runs of point lookups:
// a probe reads one slot where the ordered map walks some twenty nodes. It
// points into the index's map and is valid only while the index has not
// gained or lost a key (MemIndex drops it then). Read-only once built.
class KeyHashView {
public:
    explicit KeyHashView(const IndexKeyMap& map);
    // The row ids under a key equal to `key` under Value::key_cmp, or null.
    const RowIdList* find(const Value& key) const;

private:
    struct Slot {
        uint64_t code = 0;  // the key's bits when every key is an Int (or every one a Float), else its hash
        const IndexKeyMap::value_type* entry = nullptr;  // null: empty slot
    };
    static uint64_t mixed(uint64_t h);
    // The slot code of `key`; none when no key of the map can equal it.
    bool code_of(const Value& key, uint64_t& code) const;

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    // Int or Float when every key is one value of that kind: the code is
    // then the value's bits and equal codes are equal keys.
    std::optional<ValueKind> numeric_kind_;
};

class MemIndex {
public:
    std::string name;                  // same as its key in MemIndexMap
    std::string table;                 // indexed table
    std::vector<std::string> columns;  // indexed column names, in index order
    std::vector<size_t> positions;     // their positions in the table's columns
    bool unique = false;

    MemIndex() = default;
    // A defined index with an empty key map; Engine::rebuild_index fills it.
    MemIndex(std::string name, std::string table, std::vector<std::string> columns, std::vector<size_t> positions,
             bool unique);

    // The row's key: copies of the values at the positions, in order; none
    // when any of them is Null. A position beyond the row's end (which valid
    // rows never have) also gives none rather than reading out of bounds.
    static std::optional<IndexKey> key_for_row(const Row& row, std::span<const size_t> positions);
    std::optional<IndexKey> key_for_row(const Row& row) const { return key_for_row(row, positions); }

    // Read access for seeks and range scans.
    const IndexKeyMap& map() const { return map_; }
    const RowIdList* find(const IndexKey& key) const;
    // The list of the one-value key {key}, found without building that key.
    const RowIdList* find(const Value& key) const;
    // Row ids in all lists together: the number of keyed rows while the index
    // is in step with its table, so the table's other rows have a Null key.
    size_t id_count() const { return id_count_; }

    // Appends rowid to the key's list (creating the key) unless the list
    // already holds it. For ids of rows that are in the table: an id of a
    // row that is not (yet) there must be followed by mark_may_hold_stale_ids.
    void add_row_id(const IndexKey& key, uint64_t rowid);
    // Removes every occurrence of rowid from the key's list; the key goes when
    // its list empties. An absent key is no error.
    void remove_row_id(const IndexKey& key, uint64_t rowid);

    // Whether the unique purge of Engine::index_insert_row can change this
    // index: true when it may hold a row id that is not the id of one of the
    // table's first entered_rows() rows. Code that removes rows from a table,
    // or changes row ids, without keeping this index in step (and without a
    // rebuild afterwards) must call mark_may_hold_stale_ids for every index
    // of that table.
    bool may_hold_stale_ids() const { return may_hold_stale_ids_; }
    void mark_may_hold_stale_ids() { may_hold_stale_ids_ = true; }

    // Bookkeeping used by the Engine's index operations. The map holds only
    // ids of the table's first entered_rows() rows (unless may_hold_stale_ids);
    // last_entered_id() is the id that row entered_rows() - 1 had then, a
    // cheap witness that the table's ids were not renumbered behind our back.
    size_t entered_rows() const { return entered_rows_; }
    uint64_t last_entered_id() const { return last_entered_id_; }
    void set_entered(size_t rows, uint64_t last_id, bool may_hold_stale);

    // The hash view of a single-column index, when one was built and the
    // index has gained or lost no key since; null otherwise.
    const KeyHashView* hash_view() const { return hash_view_.view.get(); }
    // Builds the hash view (single-column indexes only; O(keys)). It lives
    // until the index gains or loses a key or is copied.
    const KeyHashView& build_hash_view() const;
    // The row ids under one value of a single-column index (as find). Once
    // the lookups since the index last gained or lost a key have cost about
    // what the hash view costs to build (one per 64 keys), it is built and
    // answers from then on: runs of lookups go through one slot instead of
    // some twenty tree nodes, while changes between few lookups never pay
    // for it.
    const RowIdList* find_one(const Value& key) const;

    // Replaces the key map (a rebuild), resetting the bookkeeping.
    void replace_map(IndexKeyMap map, size_t entered_rows, uint64_t last_id);
    // Keeps in every key's list only the ids for which keep(id) holds;
    // keys whose list empties are removed.
    template <class Keep>
    void retain_row_ids(Keep&& keep) {
        for (auto it = map_.begin(); it != map_.end();) {
            auto& ids = it->second;
            id_count_ -= std::erase_if(ids, [&](uint64_t id) { return !keep(id); });
            if (!ids.empty()) {
                ++it;
                continue;
            }
            hash_view_.reset();
            it = map_.erase(it);
        }
    }

private:
    IndexKeyMap map_;
    bool may_hold_stale_ids_ = false;
    size_t entered_rows_ = 0;
    uint64_t last_entered_id_ = 0;
    // Upper bound of every id in any list (0 while none was added): an id
    // above it cannot be there, which spares the duplicate scan of a long
    // row-id list.
    uint64_t max_id_ = 0;
    size_t id_count_ = 0;
    // The view points into map_: a moved index takes it along (the map's
    // nodes stay where they are), a copy starts without one.
    struct HashViewHolder {
        std::shared_ptr<const KeyHashView> view;
        uint64_t lookups = 0;  // find_one calls since the last key change
        HashViewHolder() = default;
        HashViewHolder(const HashViewHolder&) {}
        HashViewHolder& operator=(const HashViewHolder&) {
            reset();
            return *this;
        }
        void reset() {
            view.reset();
            lookups = 0;
        }
        HashViewHolder(HashViewHolder&&) noexcept = default;
        HashViewHolder& operator=(HashViewHolder&&) noexcept = default;
    };
    mutable HashViewHolder hash_view_;
};

// One index of a table as MemIndexMap::indexes_of_table reports it (copies).
struct MemIndexInfo {
    std::string name;
    std::vector<size_t> positions;
    bool unique = false;
};

// Index name -> MemIndex; names are global to the database.
class MemIndexMap {
public:
    MemIndex* get(std::string_view name);
    const MemIndex* get(std::string_view name) const;
    bool contains(std::string_view name) const { return get(name) != nullptr; }

    // Every index of the table, in the map's iteration order.
    std::vector<MemIndexInfo> indexes_of_table(std::string_view table) const;
    std::vector<std::string> names_of_table(std::string_view table) const;

    // Adds the index under its name; false (and nothing changes) when the
    // name is taken.
    bool insert(MemIndex index);
    // Removes and returns the named index.
    std::optional<MemIndex> remove(std::string_view name);
    // Removes every index of the table.
    void remove_table(std::string_view table);

    size_t size() const { return indexes_.size(); }
    auto begin() { return indexes_.begin(); }
    auto end() { return indexes_.end(); }
    auto begin() const { return indexes_.begin(); }
    auto end() const { return indexes_.end(); }

private:
    // Lets lookups by string_view go without building a std::string.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, MemIndex, NameHash, std::equal_to<>> indexes_;
};


}  // namespace zembrel
