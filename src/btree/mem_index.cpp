#include "btree/mem_index.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace zembrel {

namespace {

// Element by element in key order, a proper prefix first.
int compare_keys(std::span<const Value> a, std::span<const Value> b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto c = Value::key_cmp(a[i], b[i]);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

RowIdList::RowIdList(const RowIdList& other) : word_(other.word_) {
    if (other.in_block()) {
        word_ = kEmpty;
        move_to_block(std::max<size_t>(other.size(), 1));
        std::copy(other.begin(), other.end(), block()->ids());
        block()->size = other.size();
    }
}

void RowIdList::push_back(uint64_t id) {
    if (word_ == kEmpty && id < kBlockTag) {
        word_ = id;
        return;
    }
    if (!in_block()) move_to_block(4);
    else if (block()->size == block()->capacity) move_to_block(block()->capacity * 2);
    Block& b = *block();
    b.ids()[b.size++] = id;
}

void RowIdList::move_to_block(size_t capacity) {
    const size_t n = size();
    capacity = std::max(capacity, n);
    auto* fresh = static_cast<Block*>(::operator new(sizeof(Block) + capacity * sizeof(uint64_t)));
    const auto bits = reinterpret_cast<uintptr_t>(fresh);
    if ((bits & 1) != 0 || (bits >> 63) != 0) invariant_failed("a row-id block at an address its list cannot hold");
    fresh->size = n;
    fresh->capacity = capacity;
    std::copy(begin(), end(), fresh->ids());
    release();
    word_ = kBlockTag | (static_cast<uint64_t>(bits) >> 1);
}

void RowIdList::release() noexcept {
    if (in_block()) ::operator delete(block());
    word_ = kEmpty;
}

IndexKeyMap::IndexKeyMap(const IndexKeyMap& other) : size_(other.size_) {
    leaves_.reserve(other.leaves_.size());
    for (const LeafPtr& from : other.leaves_) {
        LeafPtr leaf = make_leaf(from->value_capacity);
        for (size_t v = 0; v < from->value_count; ++v) set_cell(leaf->values[v], from->values[v]);
        leaf->value_count = from->value_count;
        std::copy(from->ends, from->ends + from->count, leaf->ends);
        std::copy(from->ids, from->ids + from->count, leaf->ids);
        leaf->count = from->count;
        leaves_.push_back(std::move(leaf));
    }
}

IndexKeyMap& IndexKeyMap::operator=(const IndexKeyMap& other) {
    if (this != &other) {
        IndexKeyMap copy(other);
        *this = std::move(copy);
    }
    return *this;
}

bool operator==(const IndexKeyMap& a, const IndexKeyMap& b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        const auto [ka, ia] = *i;
        const auto [kb, ib] = *j;
        if (!std::ranges::equal(ka, kb) || !(ia == ib)) return false;
    }
    return true;
}

namespace {

// The bytes a cell borrows from its map's arena.
size_t lent_bytes(const Value& cell) {
    return cell.text_store() == Value::TextStore::Borrowed ? cell.as_text().size() : 0;
}

// Below this much waste a map's texts are not worth a pass.
constexpr size_t kCompactFrom = 64 * 1024;

}  // namespace

void IndexKeyMap::plan_build(size_t keys, size_t width) {
    const size_t bytes = (keys + kBuildFill - 1) / kBuildFill * (sizeof(Leaf) + (kLeafMax + 1) * width * sizeof(Value));
    // A smaller build does as well in the heap's pages; a map holding
    // leaves keeps its slab.
    if (bytes < kHugePage || !leaves_.empty() || !slab_.empty()) return;
    slab_.resize(bytes);
}

IndexKeyMap::LeafPtr IndexKeyMap::make_leaf(size_t values) {
    static_assert(sizeof(Leaf) % alignof(Value) == 0 && alignof(Leaf) <= alignof(std::max_align_t));
    const size_t bytes = sizeof(Leaf) + values * sizeof(Value);
    const bool in_slab = slab_.size() - slab_used_ >= bytes;
    void* block = in_slab ? slab_.data() + slab_used_ : ::operator new(bytes);
    if (in_slab) slab_used_ += bytes;
    LeafPtr leaf(::new (block) Leaf);
    leaf->in_slab = in_slab;
    std::uninitialized_value_construct_n(leaf->tail(), values);
    leaf->values = leaf->tail();
    leaf->value_capacity = leaf->tail_capacity = static_cast<uint32_t>(values);
    return leaf;
}

void IndexKeyMap::LeafDelete::operator()(Leaf* leaf) const noexcept {
    std::destroy_n(leaf->tail(), leaf->tail_capacity);
    const bool in_slab = leaf->in_slab;
    leaf->~Leaf();
    if (!in_slab) ::operator delete(leaf);
}

void IndexKeyMap::set_cell(Value& cell, const Value& v) {
    if (!v.has_text() || v.as_text().size() <= Value::kInlineText) {
        cell = v;
        return;
    }
    if (!texts_) texts_ = std::make_unique<TextArena>();
    const std::string_view text = texts_->store(v.as_text());
    cell.reset_borrowed(v.kind(), text);
    text_lent_ += text.size();
    text_live_ += text.size();
}

void IndexKeyMap::compact_texts_if_wasteful() {
    const size_t waste = text_lent_ - text_live_;
    if (!texts_ || waste < kCompactFrom || waste <= text_live_) return;
    auto fresh = std::make_unique<TextArena>();
    for (const LeafPtr& leaf : leaves_) {
        for (size_t v = 0; v < leaf->value_count; ++v) {
            Value& cell = leaf->values[v];
            if (lent_bytes(cell) > 0) cell.reset_borrowed(cell.kind(), fresh->store(cell.as_text()));
        }
    }
    texts_ = std::move(fresh);
    text_lent_ = text_live_;
}

size_t IndexKeyMap::Leaf::lower(Key key, bool& equal) const {
    size_t lo = 0, hi = size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (compare_keys(this->key(mid), key) < 0) lo = mid + 1;
        else hi = mid;
    }
    equal = lo < size() && compare_keys(this->key(lo), key) == 0;
    return lo;
}

void IndexKeyMap::Leaf::grow_values(size_t need) {
    const size_t capacity = std::max<size_t>(need, size_t{value_capacity} * 2);
    auto bigger = std::make_unique<Value[]>(capacity);
    for (size_t v = 0; v < value_count; ++v) Value::relocate(bigger[v], values[v]);
    spilled = std::move(bigger);
    values = spilled.get();
    value_capacity = static_cast<uint32_t>(capacity);
}

void IndexKeyMap::Leaf::open_values(size_t from, size_t w) {
    if (value_count + w > value_capacity) grow_values(value_count + w);
    for (size_t v = value_count; v-- > from;) Value::relocate(values[v + w], values[v]);
    value_count += static_cast<uint32_t>(w);
}

void IndexKeyMap::Leaf::close_values(size_t from, size_t w) {
    for (size_t v = from + w; v < value_count; ++v) Value::relocate(values[v - w], values[v]);
    // What the shift left behind, when nothing followed the removed values.
    for (size_t v = std::max(from, value_count - w); v < value_count; ++v) values[v] = Value();
    value_count -= static_cast<uint32_t>(w);
}

void IndexKeyMap::insert(Leaf& leaf, size_t at, Key key) {
    const size_t from = leaf.start(at), w = key.size();
    leaf.open_values(from, w);
    for (size_t i = 0; i < w; ++i) set_cell(leaf.values[from + i], key[i]);
    std::move_backward(leaf.ids + at, leaf.ids + leaf.count, leaf.ids + leaf.count + 1);
    for (size_t i = leaf.count; i > at; --i) leaf.ends[i] = leaf.ends[i - 1] + static_cast<uint32_t>(w);
    leaf.ends[at] = static_cast<uint32_t>(from + w);
    ++leaf.count;
}

void IndexKeyMap::remove(Leaf& leaf, size_t at) {
    const size_t from = leaf.start(at), w = leaf.ends[at] - from;
    for (size_t v = from; v < from + w; ++v) text_live_ -= lent_bytes(leaf.values[v]);
    leaf.close_values(from, w);
    leaf.ids[at] = RowIdList();
    std::move(leaf.ids + at + 1, leaf.ids + leaf.count, leaf.ids + at);
    for (size_t i = at; i + 1 < leaf.count; ++i) leaf.ends[i] = leaf.ends[i + 1] - static_cast<uint32_t>(w);
    --leaf.count;
}

size_t IndexKeyMap::drop_empty(Leaf& leaf) {
    size_t out = 0, value_out = 0, from = 0;
    const size_t n = leaf.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t to = leaf.ends[i];
        if (leaf.ids[i].empty()) {
            for (size_t v = from; v < to; ++v) {
                text_live_ -= lent_bytes(leaf.values[v]);
                leaf.values[v] = Value();
            }
            leaf.ids[i] = RowIdList();
        } else {
            if (out != i) {
                for (size_t v = from; v < to; ++v) Value::relocate(leaf.values[value_out + v - from], leaf.values[v]);
                leaf.ids[out] = std::move(leaf.ids[i]);
            }
            value_out += to - from;
            leaf.ends[out] = static_cast<uint32_t>(value_out);
            ++out;
        }
        from = to;
    }
    leaf.value_count = static_cast<uint32_t>(value_out);
    leaf.count = static_cast<uint32_t>(out);
    return n - out;
}

size_t IndexKeyMap::leaf_for(Key key, size_t from) const {
    size_t lo = from, hi = leaves_.size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        const Leaf& leaf = *leaves_[mid];
        if (compare_keys(leaf.key(leaf.size() - 1), key) < 0) lo = mid + 1;
        else hi = mid;
    }
    return lo == leaves_.size() && lo > 0 ? lo - 1 : lo;
}

IndexKeyMap::const_iterator IndexKeyMap::lower_bound(Key key) const {
    if (leaves_.empty()) return end();
    const size_t at = leaf_for(key);
    bool equal = false;
    const size_t pos = leaves_[at]->lower(key, equal);
    if (pos == leaves_[at]->size()) return const_iterator(this, at + 1, 0);  // past the last key
    return const_iterator(this, at, pos);
}

IndexKeyMap::const_iterator IndexKeyMap::upper_bound(Key key) const {
    const_iterator it = lower_bound(key);
    if (it != end() && compare_keys((*it).first, key) == 0) ++it;
    return it;
}

IndexKeyMap::const_iterator IndexKeyMap::find(Key key) const {
    if (leaves_.empty()) return end();
    const size_t at = leaf_for(key);
    bool equal = false;
    const size_t pos = leaves_[at]->lower(key, equal);
    return equal ? const_iterator(this, at, pos) : end();
}

const RowIdList* IndexKeyMap::find_ids(Key key) const {
    if (leaves_.empty()) return nullptr;
    const Leaf& leaf = *leaves_[leaf_for(key)];
    bool equal = false;
    const size_t pos = leaf.lower(key, equal);
    return equal ? &leaf.ids[pos] : nullptr;
}

RowIdList& IndexKeyMap::entry(Key key) {
    if (leaves_.empty()) {
        leaves_.push_back(make_leaf((kLeafMax + 1) * key.size()));
        insert(*leaves_.back(), 0, key);
        ++size_;
        return leaves_.back()->ids[0];
    }
    size_t at = leaf_for(key);
    bool equal = false;
    size_t pos = leaves_[at]->lower(key, equal);
    if (equal) return leaves_[at]->ids[pos];
    insert(*leaves_[at], pos, key);
    ++size_;
    if (leaves_[at]->size() > kLeafMax) {
        split(at);
        if (pos >= leaves_[at]->size()) {
            pos -= leaves_[at]->size();
            ++at;
        }
    }
    return leaves_[at]->ids[pos];
}

void IndexKeyMap::split(size_t at) {
    Leaf& left = *leaves_[at];
    const size_t keep = left.size() / 2;
    const size_t cut = left.start(keep);
    LeafPtr right = make_leaf(left.value_capacity);
    for (size_t v = cut; v < left.value_count; ++v) Value::relocate(right->values[v - cut], left.values[v]);
    right->value_count = static_cast<uint32_t>(left.value_count - cut);
    left.value_count = static_cast<uint32_t>(cut);
    for (size_t i = keep; i < left.size(); ++i) {
        right->ends[i - keep] = left.ends[i] - static_cast<uint32_t>(cut);
        right->ids[i - keep] = std::move(left.ids[i]);
    }
    right->count = static_cast<uint32_t>(left.size() - keep);
    left.count = static_cast<uint32_t>(keep);
    leaves_.insert(leaves_.begin() + static_cast<ptrdiff_t>(at) + 1, std::move(right));
}

void IndexKeyMap::erase(Key key) {
    if (leaves_.empty()) return;
    const size_t at = leaf_for(key);
    bool equal = false;
    const size_t pos = leaves_[at]->lower(key, equal);
    if (!equal) return;
    remove(*leaves_[at], pos);
    --size_;
    if (leaves_[at]->size() == 0) leaves_.erase(leaves_.begin() + static_cast<ptrdiff_t>(at));
    compact_texts_if_wasteful();
}

size_t IndexKeyMap::remove_sorted(std::span<const Key> keys, std::span<const uint64_t> ids) {
    if (keys.size() != ids.size()) invariant_failed("index keys that do not pair with their row ids");
    size_t removed = 0;
    std::vector<size_t> emptied;  // leaves left with an empty list, ascending
    std::vector<uint64_t> gone;   // the ids of one key, sorted
    size_t at = 0;
    for (size_t i = 0; i < keys.size() && !leaves_.empty();) {
        size_t end = i + 1;
        while (end < keys.size() && compare_keys(keys[end], keys[i]) == 0) ++end;
        at = leaf_for(keys[i], at);
        Leaf& leaf = *leaves_[at];
        bool equal = false;
        const size_t pos = leaf.lower(keys[i], equal);
        if (equal) {
            RowIdList& list = leaf.ids[pos];
            if (end - i == 1) {
                removed += list.erase_if([&](uint64_t id) { return id == ids[i]; });
            } else {
                gone.assign(ids.begin() + static_cast<ptrdiff_t>(i), ids.begin() + static_cast<ptrdiff_t>(end));
                std::sort(gone.begin(), gone.end());
                removed += list.erase_if([&](uint64_t id) { return std::binary_search(gone.begin(), gone.end(), id); });
            }
            // The key stays in its leaf until the pass ends, so later keys
            // find their leaves as before.
            if (list.empty() && (emptied.empty() || emptied.back() != at)) emptied.push_back(at);
        }
        i = end;
    }
    for (size_t e : emptied) size_ -= drop_empty(*leaves_[e]);
    if (!emptied.empty()) {
        std::erase_if(leaves_, [](const auto& leaf) { return leaf->size() == 0; });
        compact_texts_if_wasteful();
    }
    return removed;
}

RowIdList& IndexKeyMap::append_greatest(std::span<const Value> row, std::span<const size_t> positions) {
    if (leaves_.empty() || leaves_.back()->size() >= kBuildFill)
        leaves_.push_back(make_leaf((kLeafMax + 1) * positions.size()));
    Leaf& leaf = *leaves_.back();
    if (leaf.value_count + positions.size() > leaf.value_capacity) leaf.grow_values(leaf.value_count + positions.size());
    for (size_t p : positions) set_cell(leaf.values[leaf.value_count++], row[p]);
    leaf.ends[leaf.count] = leaf.value_count;
    ++size_;
    return leaf.ids[leaf.count++];
}

MemIndex::MemIndex(std::string name_, std::string table_, std::vector<std::string> columns_,
                   std::vector<size_t> positions_, bool unique_)
    : name(std::move(name_)),
      table(std::move(table_)),
      columns(std::move(columns_)),
      positions(std::move(positions_)),
      unique(unique_) {}

std::optional<IndexKey> MemIndex::key_for_row(std::span<const Value> row, std::span<const size_t> positions) {
    for (size_t p : positions)
        if (p >= row.size() || row[p].is_null()) return std::nullopt;
    IndexKey key;
    key.reserve(positions.size());
    for (size_t p : positions) key.push_back(row[p]);
    return key;
}

void MemIndex::add_row_id(const IndexKey& key, uint64_t rowid) {
    const size_t keys_before = map_.size();
    RowIdList& ids = map_.entry(key);
    // A new key moves its neighbours in the leaf, which the hash view points to.
    if (map_.size() != keys_before) hash_view_.reset();
    if (rowid > max_id_ || !ids.contains(rowid)) {
        ids.push_back(rowid);
        ++id_count_;
    }
    max_id_ = std::max(max_id_, rowid);
}

void MemIndex::remove_row_id(const IndexKey& key, uint64_t rowid) {
    RowIdList* ids = map_.find_ids(key);
    if (ids == nullptr) return;
    id_count_ -= ids->erase_if([&](uint64_t id) { return id == rowid; });
    if (ids->empty()) {
        hash_view_.reset();
        map_.erase(key);
    }
}

void MemIndex::add_row_ids(const IndexKey& key, std::span<const uint64_t> rowids) {
    if (rowids.size() < 8) {
        for (uint64_t id : rowids) add_row_id(key, id);
        return;
    }
    const size_t keys_before = map_.size();
    RowIdList& ids = map_.entry(key);
    if (map_.size() != keys_before) hash_view_.reset();
    std::unordered_set<uint64_t> held(ids.begin(), ids.end());
    held.reserve(ids.size() + rowids.size());
    for (uint64_t id : rowids) {
        if (!held.insert(id).second) continue;
        ids.push_back(id);
        ++id_count_;
        max_id_ = std::max(max_id_, id);
    }
}

void MemIndex::remove_row_ids(const IndexKey& key, std::span<const uint64_t> rowids) {
    if (rowids.size() < 8) {
        for (uint64_t id : rowids) remove_row_id(key, id);
        return;
    }
    RowIdList* ids = map_.find_ids(key);
    if (ids == nullptr) return;
    std::vector<uint64_t> gone(rowids.begin(), rowids.end());
    std::sort(gone.begin(), gone.end());
    id_count_ -= ids->erase_if([&](uint64_t id) { return std::binary_search(gone.begin(), gone.end(), id); });
    if (ids->empty()) {
        hash_view_.reset();
        map_.erase(key);
    }
}

size_t MemIndex::remove_sorted(std::span<const IndexKeyView> keys, std::span<const uint64_t> rowids) {
    const size_t keys_before = map_.size();
    const size_t removed = map_.remove_sorted(keys, rowids);
    id_count_ -= removed;
    if (map_.size() != keys_before) hash_view_.reset();
    return removed;
}

void MemIndex::set_entered(size_t rows, uint64_t last_id, bool may_hold_stale) {
    entered_rows_ = rows;
    last_entered_id_ = last_id;
    may_hold_stale_ids_ = may_hold_stale;
}

void MemIndex::replace_map(IndexKeyMap map, size_t entered_rows, uint64_t last_id) {
    size_t count = 0;
    uint64_t max_id = 0;
    for (const auto& [key, ids] : map) {
        for (uint64_t id : ids) max_id = std::max(max_id, id);
        count += ids.size();
    }
    replace_map(std::move(map), entered_rows, last_id, count, max_id);
}

void MemIndex::replace_map(IndexKeyMap map, size_t entered_rows, uint64_t last_id, size_t ids, uint64_t max_id) {
    hash_view_.reset();
    map_ = std::move(map);
    max_id_ = max_id;
    id_count_ = ids;
    set_entered(entered_rows, last_id, false);
}

const KeyHashView& MemIndex::build_hash_view() const {
    if (positions.size() != 1) invariant_failed("a hash view of a composite index");
    if (const KeyHashView* view = hash_view_.get()) return *view;
    return hash_view_.publish(std::make_unique<const KeyHashView>(map_));
}

const RowIdList* MemIndex::find_one(const Value& key) const {
    if (positions.size() == 1) {
        if (const KeyHashView* view = hash_view()) return view->find(key);
        if (hash_view_.lookups.fetch_add(1, std::memory_order_relaxed) + 1 >= 16 + map_.size() / 64) return build_hash_view().find(key);
    }
    return find(IndexKey{key});
}

KeyHashView::KeyHashView(const IndexKeyMap& map) {
    size_t capacity = 16;
    while (capacity < map.size() * 2) capacity *= 2;
    slots_.resize(capacity);
    mask_ = capacity - 1;
    if (!map.empty()) {
        const ValueKind first = map.begin()->first.front().kind();
        if (first == ValueKind::Int || first == ValueKind::Float) numeric_kind_ = first;
    }
    for (const auto& entry : map) {
        if (entry.first.size() != 1) invariant_failed("a single-column index holds a wider key");
        if (numeric_kind_ && entry.first.front().kind() != *numeric_kind_) numeric_kind_.reset();
    }
    for (const auto& entry : map) {
        uint64_t code = 0;
        code_of(entry.first.front(), code);
        size_t at = mixed(code) & mask_;
        while (slots_[at].key != nullptr) at = (at + 1) & mask_;
        slots_[at] = Slot{code, &entry.first.front(), &entry.second};
    }
}

uint64_t KeyHashView::mixed(uint64_t h) {
    // Spreads the bits the mask keeps (a Float's low bits are often zero).
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

bool KeyHashView::code_of(const Value& key, uint64_t& code) const {
    if (numeric_kind_) {
        // No key of another kind is equal under the key order.
        if (key.kind() != *numeric_kind_) return false;
        code = key.is_int() ? static_cast<uint64_t>(key.as_int()) : std::bit_cast<uint64_t>(key.as_float());
        return true;
    }
    // Equal under the key order hashes alike: Text and Uuid of the same
    // bytes share a hash; other kinds differ by their tag.
    uint64_t h = 0;
    switch (key.kind()) {
        case ValueKind::Null: h = 0x51ed27; break;
        case ValueKind::Bool: h = key.as_bool() ? 1 : 2; break;
        case ValueKind::Int: h = static_cast<uint64_t>(key.as_int()) ^ 0x2000000000000001ull; break;
        case ValueKind::Float: h = std::bit_cast<uint64_t>(key.as_float()) ^ 0x3000000000000003ull; break;
        case ValueKind::Text:
        case ValueKind::Uuid: h = std::hash<std::string_view>{}(key.as_text()) ^ 0x4000000000000004ull; break;
        case ValueKind::Date: h = std::hash<std::string_view>{}(key.as_text()) ^ 0x6000000000000006ull; break;
        case ValueKind::DateTime: h = std::hash<std::string_view>{}(key.as_text()) ^ 0x7000000000000007ull; break;
    }
    code = h;
    return true;
}

const RowIdList* KeyHashView::find(const Value& key) const {
    uint64_t code = 0;
    if (!code_of(key, code)) return nullptr;
    for (size_t at = mixed(code) & mask_; slots_[at].key != nullptr; at = (at + 1) & mask_) {
        const Slot& slot = slots_[at];
        if (slot.code != code) continue;
        // Numeric codes are the keys themselves; hashes are confirmed.
        if (numeric_kind_ || Value::key_cmp(*slot.key, key) == 0) return slot.ids;
    }
    return nullptr;
}

MemIndex* MemIndexMap::get(std::string_view name) {
    auto it = indexes_.find(name);
    return it == indexes_.end() ? nullptr : &it->second;
}

const MemIndex* MemIndexMap::get(std::string_view name) const {
    auto it = indexes_.find(name);
    return it == indexes_.end() ? nullptr : &it->second;
}

std::vector<MemIndexInfo> MemIndexMap::indexes_of_table(std::string_view table) const {
    std::vector<MemIndexInfo> out;
    for (const auto& [name, index] : indexes_)
        if (index.table == table) out.push_back({name, index.positions, index.unique});
    return out;
}

std::vector<std::string> MemIndexMap::names_of_table(std::string_view table) const {
    std::vector<std::string> out;
    for (const auto& [name, index] : indexes_)
        if (index.table == table) out.push_back(name);
    return out;
}

bool MemIndexMap::insert(MemIndex index) {
    std::string key = index.name;
    return indexes_.try_emplace(std::move(key), std::move(index)).second;
}

std::optional<MemIndex> MemIndexMap::remove(std::string_view name) {
    auto it = indexes_.find(name);
    if (it == indexes_.end()) return std::nullopt;
    MemIndex out = std::move(it->second);
    indexes_.erase(it);
    return out;
}

void MemIndexMap::remove_table(std::string_view table) {
    std::erase_if(indexes_, [&](const auto& entry) { return entry.second.table == table; });
}

}  // namespace zembrel
