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
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "types/huge_pages.h"
#include "types/value.h"

namespace zembrel {

using IndexKey = std::vector<Value>;

// A key as an index holds it: a view of its values, which converts to an
// IndexKey where a copy is wanted.
class IndexKeyView : public std::span<const Value> {
public:
    using std::span<const Value>::span;
    IndexKeyView(std::span<const Value> values) : std::span<const Value>(values) {}
    operator IndexKey() const { return IndexKey(begin(), end()); }
};

// The row ids under one key: ids in the order they were added, each once.
// Reads like a vector of ids. One word: one id below 2^63 (every key of a
// unique index, most of any other) sits in it; a longer list, or an id of
// 2^63 or more, moves to a heap block holding its size, capacity and ids.
class RowIdList {
public:
    RowIdList() = default;
    RowIdList(std::initializer_list<uint64_t> ids) {
        for (uint64_t id : ids) push_back(id);
    }
    RowIdList(const RowIdList& other);
    RowIdList(RowIdList&& other) noexcept : word_(std::exchange(other.word_, kEmpty)) {}
    RowIdList& operator=(const RowIdList& other) {
        if (this != &other) *this = RowIdList(other);
        return *this;
    }
    RowIdList& operator=(RowIdList&& other) noexcept {
        if (this != &other) {
            release();
            word_ = std::exchange(other.word_, kEmpty);
        }
        return *this;
    }
    ~RowIdList() { release(); }

    const uint64_t* begin() const { return in_block() ? block()->ids() : &word_; }
    const uint64_t* end() const { return begin() + size(); }
    const uint64_t* data() const { return begin(); }
    size_t size() const { return in_block() ? block()->size : word_ == kEmpty ? 0 : 1; }
    bool empty() const { return size() == 0; }
    // For reordering the ids in place: an id written must be one of the list's.
    uint64_t* begin() { return in_block() ? block()->ids() : &word_; }
    uint64_t* end() { return begin() + size(); }
    uint64_t front() const { return *begin(); }
    uint64_t back() const { return end()[-1]; }
    uint64_t operator[](size_t i) const { return begin()[i]; }
    bool contains(uint64_t id) const { return std::find(begin(), end(), id) != end(); }

    void push_back(uint64_t id);
    // Room for n ids in all, when that is more than one (a rebuild knows
    // each list's length before it fills it).
    void reserve(size_t n) {
        if (n > 1 && (!in_block() || block()->capacity < n)) move_to_block(n);
    }
    // Removes every id for which drop(id) holds, keeping the others' order.
    // Returns how many went.
    template <class Drop>
    size_t erase_if(Drop&& drop) {
        if (!in_block()) {
            if (word_ == kEmpty || !drop(word_)) return 0;
            word_ = kEmpty;
            return 1;
        }
        Block& b = *block();
        const uint64_t* kept = std::remove_if(b.ids(), b.ids() + b.size, drop);
        const size_t removed = static_cast<size_t>(b.ids() + b.size - kept);
        b.size -= removed;
        if (b.size == 0 || (b.size == 1 && b.ids()[0] < kBlockTag)) {
            const uint64_t rest = b.size == 0 ? kEmpty : b.ids()[0];
            release();
            word_ = rest;
        }
        return removed;
    }

    operator std::vector<uint64_t>() const { return std::vector<uint64_t>(begin(), end()); }
    friend bool operator==(const RowIdList& a, const RowIdList& b) { return std::ranges::equal(a, b); }
    friend bool operator==(const RowIdList& a, const std::vector<uint64_t>& b) { return std::ranges::equal(a, b); }

private:
    struct Block {
        uint64_t size;
        uint64_t capacity;
        uint64_t* ids() { return reinterpret_cast<uint64_t*>(this + 1); }
        const uint64_t* ids() const { return reinterpret_cast<const uint64_t*>(this + 1); }
    };
    // The word: kEmpty, an id below kBlockTag, or kBlockTag | (block >> 1)
    // (a block is aligned, so no bit of its address is lost).
    static constexpr uint64_t kEmpty = ~uint64_t{0};
    static constexpr uint64_t kBlockTag = uint64_t{1} << 63;

    bool in_block() const { return word_ >= kBlockTag && word_ != kEmpty; }
    Block* block() const { return reinterpret_cast<Block*>(static_cast<uintptr_t>(word_ << 1)); }
    // Moves the ids into a new block with room for `capacity` (not below
    // the size).
    void move_to_block(size_t capacity);
    void release() noexcept;

    uint64_t word_ = kEmpty;
};
static_assert(sizeof(RowIdList) == 8);

// The ordered keys of one index with their row-id lists, kept flat: sorted
// leaves of up to kLeafMax keys, each leaf one block holding its keys'
// values, ends and lists, so that a key costs no allocation of its own.
// Texts too long to sit inside a Value are copied into an arena the map
// owns and lent to the keys' values; the bytes of keys that went are
// counted, and once they exceed the bytes of the keys held the texts move
// to a fresh arena. A copy of the map has its own arena. Reads like an
// ordered map from key to list: iteration yields (key as a span of values,
// list) in key order.
//
// Finding the leaf is a binary search over the leaves, changing one is a
// shift within it; a split or an emptied leaf moves the leaf pointers
// (one per ~100 keys). References into it (keys, lists) are valid until the
// next change; a key handed to a change must not point into the map.
class IndexKeyMap {
public:
    static constexpr size_t kLeafMax = 128;
    using Key = IndexKeyView;

    class const_iterator {
    public:
        using value_type = std::pair<Key, const RowIdList&>;
        using reference = value_type;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::bidirectional_iterator_tag;
        struct Arrow {
            value_type item;
            const value_type* operator->() const { return &item; }
        };

        const_iterator() = default;
        value_type operator*() const { return {map_->leaves_[leaf_]->key(pos_), map_->leaves_[leaf_]->ids[pos_]}; }
        Arrow operator->() const { return Arrow{**this}; }
        const_iterator& operator++() {
            if (++pos_ == map_->leaves_[leaf_]->size()) {
                ++leaf_;
                pos_ = 0;
            }
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        // Not before begin().
        const_iterator& operator--() {
            if (pos_ == 0) pos_ = map_->leaves_[--leaf_]->size();
            --pos_;
            return *this;
        }
        const_iterator operator--(int) {
            const_iterator old = *this;
            --*this;
            return old;
        }
        bool operator==(const const_iterator& o) const { return leaf_ == o.leaf_ && pos_ == o.pos_; }

    private:
        friend class IndexKeyMap;
        const_iterator(const IndexKeyMap* map, size_t leaf, size_t pos) : map_(map), leaf_(leaf), pos_(pos) {}
        const IndexKeyMap* map_ = nullptr;
        size_t leaf_ = 0;
        size_t pos_ = 0;
    };
    using iterator = const_iterator;

    IndexKeyMap() = default;
    IndexKeyMap(const IndexKeyMap& other);
    IndexKeyMap& operator=(const IndexKeyMap& other);
    // A moved-from map is empty. The leaves and texts stay where they are.
    IndexKeyMap(IndexKeyMap&& other) noexcept
        : slab_(std::move(other.slab_)),
          slab_used_(std::exchange(other.slab_used_, 0)),
          leaves_(std::move(other.leaves_)),
          size_(std::exchange(other.size_, 0)),
          texts_(std::move(other.texts_)),
          text_lent_(std::exchange(other.text_lent_, 0)),
          text_live_(std::exchange(other.text_live_, 0)) {
        other.leaves_.clear();
    }
    IndexKeyMap& operator=(IndexKeyMap&& other) noexcept {
        if (this != &other) {
            leaves_ = std::move(other.leaves_);
            other.leaves_.clear();
            slab_ = std::move(other.slab_);
            slab_used_ = std::exchange(other.slab_used_, 0);
            size_ = std::exchange(other.size_, 0);
            texts_ = std::move(other.texts_);
            text_lent_ = std::exchange(other.text_lent_, 0);
            text_live_ = std::exchange(other.text_live_, 0);
        }
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const_iterator begin() const { return const_iterator(this, 0, 0); }
    const_iterator end() const { return const_iterator(this, leaves_.size(), 0); }
    // The first key not less than `key`.
    const_iterator lower_bound(Key key) const;
    // The first key greater than `key`.
    const_iterator upper_bound(Key key) const;
    const_iterator find(Key key) const;
    const RowIdList* find_ids(Key key) const;
    RowIdList* find_ids(Key key) { return const_cast<RowIdList*>(std::as_const(*this).find_ids(key)); }

    // The list of the key, the key entered with an empty list when new.
    RowIdList& entry(Key key);
    // Removes the key and its list; an absent key is no error.
    void erase(Key key);
    // Takes ids[i] out of the list of keys[i] for every i, as one removal
    // per id would, in one pass over the leaves: `keys` ascend (equal keys
    // side by side). A key whose list empties goes; each leaf is compacted
    // once, however many of its keys go. Absent keys and ids are no error.
    // Returns how many ids went.
    size_t remove_sorted(std::span<const Key> keys, std::span<const uint64_t> ids);
    // Before a build of `keys` keys of `width` values by append_greatest:
    // takes the blocks of their leaves at once when they are many.
    void plan_build(size_t keys, size_t width);
    // For building in key order: enters a key greater than every key held
    // (the values at `positions` of `row`) and returns its empty list, valid
    // until the next change.
    RowIdList& append_greatest(std::span<const Value> row, std::span<const size_t> positions);

    // Applies fn(list) to every list; keys whose list it leaves empty go.
    template <class Fn>
    void for_each_list_removing_empty(Fn&& fn) {
        for (auto& leaf : leaves_) {
            for (size_t i = 0; i < leaf->size(); ++i) fn(leaf->ids[i]);
            size_ -= drop_empty(*leaf);
        }
        std::erase_if(leaves_, [](const auto& leaf) { return leaf->size() == 0; });
        compact_texts_if_wasteful();
    }

    friend bool operator==(const IndexKeyMap& a, const IndexKeyMap& b);

    // Bytes of key texts in the map's arena: those of the keys held, and
    // all lent since the arena was made (the rest is waste).
    size_t text_bytes_live() const { return text_live_; }
    size_t text_bytes_lent() const { return text_lent_; }

private:
    // Built leaves are left a quarter empty, so that inserts between the
    // loaded keys do not split at once.
    static constexpr size_t kBuildFill = kLeafMax * 3 / 4;
    // A leaf is one block: this header, then room for values (`tail`). Its
    // values own nothing (texts past kInlineText are lent from texts_), so
    // they move by relocation. Lists past `count` are empty.
    struct Leaf {
        uint32_t count = 0;
        uint32_t value_count = 0;
        uint32_t value_capacity = 0;
        uint32_t tail_capacity = 0;
        bool in_slab = false;              // the block lies in the map's slab_
        Value* values = nullptr;           // the tail, or `spilled` once keys wider than planned outgrew it
        std::unique_ptr<Value[]> spilled;
        uint32_t ends[kLeafMax + 1];       // where each key's values end in `values`
        RowIdList ids[kLeafMax + 1];

        size_t size() const { return count; }
        size_t start(size_t i) const { return i == 0 ? 0 : ends[i - 1]; }
        Key key(size_t i) const { return Key(values + start(i), ends[i] - start(i)); }
        Value* tail() { return reinterpret_cast<Value*>(this + 1); }
        // Number of keys less than `key`; `equal` tells whether the key
        // there equals it.
        size_t lower(Key key, bool& equal) const;
        // Room for `need` values in all.
        void grow_values(size_t need);
        // Inserts w Null values at `from` / removes the w values there
        // (which must own nothing).
        void open_values(size_t from, size_t w);
        void close_values(size_t from, size_t w);
    };
    struct LeafDelete {
        void operator()(Leaf* leaf) const noexcept;
    };
    using LeafPtr = std::unique_ptr<Leaf, LeafDelete>;
    // A leaf with room in its block for `values` values: from slab_ while
    // it has room, else from the heap.
    LeafPtr make_leaf(size_t values);

    // Makes `cell` read as `v`, a long text lent from texts_.
    void set_cell(Value& cell, const Value& v);
    void insert(Leaf& leaf, size_t at, Key key);
    void remove(Leaf& leaf, size_t at);
    // Removes the keys with empty lists; returns how many went.
    size_t drop_empty(Leaf& leaf);
    // Moves the texts of the keys held to a fresh arena when the bytes of
    // keys that went exceed them (and are worth a pass).
    void compact_texts_if_wasteful();
    // The leaf that holds the key or would receive it: the first whose last
    // key is not less than it, else the last leaf. `from` is a leaf known
    // not to lie past it.
    size_t leaf_for(Key key, size_t from = 0) const;
    void split(size_t leaf);

    // Blocks for the leaves of a large build, in one mapping that 2 MiB pages
    // back (a fault per 2 MiB rather than per 4 KiB). A leaf in it that goes
    // leaves its block unused until the map goes. Declared before leaves_,
    // which must go first.
    ScratchVector<std::byte> slab_;
    size_t slab_used_ = 0;
    std::vector<LeafPtr> leaves_;  // none when empty, never an empty one
    size_t size_ = 0;
    std::unique_ptr<TextArena> texts_;  // null until a long text is lent
    size_t text_lent_ = 0;              // bytes lent from texts_
    size_t text_live_ = 0;              // of which the keys held use
};

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
        const Value* key = nullptr;       // the key's one value in the map; null: empty slot
        const RowIdList* ids = nullptr;   // its row ids in the map
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
    static std::optional<IndexKey> key_for_row(std::span<const Value> row, std::span<const size_t> positions);
    std::optional<IndexKey> key_for_row(std::span<const Value> row) const { return key_for_row(row, positions); }

    // Read access for seeks and range scans.
    const IndexKeyMap& map() const { return map_; }
    const RowIdList* find(const IndexKey& key) const { return map_.find_ids(key); }
    const RowIdList* find(std::span<const Value> key) const { return map_.find_ids(key); }
    // The list of the one-value key {key}, found without building that key.
    const RowIdList* find(const Value& key) const { return map_.find_ids(IndexKeyView(&key, 1)); }
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
    // add_row_id and remove_row_id for many ids of one key at once, with the
    // same outcome as one call per id in the given order, in time about
    // linear in the list and the ids (one call per id is quadratic for a key
    // that many rows share).
    void add_row_ids(const IndexKey& key, std::span<const uint64_t> rowids);
    void remove_row_ids(const IndexKey& key, std::span<const uint64_t> rowids);
    // remove_row_id(keys[i], rowids[i]) for every i, with `keys` ascending
    // (see IndexKeyMap::remove_sorted): the removal of many rows, in one pass
    // over the map. Returns how many ids went.
    size_t remove_sorted(std::span<const IndexKeyView> keys, std::span<const uint64_t> rowids);

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
    const KeyHashView* hash_view() const { return hash_view_.get(); }
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
    // The same for a map whose lists hold `ids` ids in all, none above
    // max_id (counted by the rebuild as it filled them).
    void replace_map(IndexKeyMap map, size_t entered_rows, uint64_t last_id, size_t ids, uint64_t max_id);
    // Keeps in every key's list only the ids for which keep(id) holds;
    // keys whose list empties are removed.
    template <class Keep>
    void retain_row_ids(Keep&& keep) {
        const size_t keys_before = map_.size();
        map_.for_each_list_removing_empty(
            [&](RowIdList& ids) { id_count_ -= ids.erase_if([&](uint64_t id) { return !keep(id); }); });
        if (map_.size() != keys_before) hash_view_.reset();
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
    // leaves stay where they are), a copy starts without one. Readers of an
    // index nobody changes may run find_one on several threads at once (a
    // shared handle's readers share tables): the count and the view are
    // atomic, and of two views built at once the first published stays.
    struct HashViewHolder {
        std::atomic<const KeyHashView*> view{nullptr};  // owned
        std::atomic<uint64_t> lookups{0};               // find_one calls since the last key change
        HashViewHolder() = default;
        HashViewHolder(const HashViewHolder&) {}
        HashViewHolder& operator=(const HashViewHolder&) {
            reset();
            return *this;
        }
        HashViewHolder(HashViewHolder&& other) noexcept
            : view(other.view.exchange(nullptr)), lookups(other.lookups.load(std::memory_order_relaxed)) {}
        HashViewHolder& operator=(HashViewHolder&& other) noexcept {
            if (this != &other) {
                delete view.exchange(other.view.exchange(nullptr));
                lookups.store(other.lookups.load(std::memory_order_relaxed), std::memory_order_relaxed);
            }
            return *this;
        }
        ~HashViewHolder() { delete view.load(); }
        void reset() {
            delete view.exchange(nullptr);
            lookups.store(0, std::memory_order_relaxed);
        }
        const KeyHashView* get() const { return view.load(std::memory_order_acquire); }
        // Publishes `built` unless a view is there already; returns the one that stays.
        const KeyHashView& publish(std::unique_ptr<const KeyHashView> built) {
            const KeyHashView* expected = nullptr;
            if (view.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel)) return *built.release();
            return *expected;
        }
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
