// In-memory B-tree from a primary-key value to its row id.
//
// Keys are ordered by Value::key_cmp and held once each: inserting an equal
// key replaces the stored row id. The split shape is fixed (minimum degree
// 32, full at 63 keys, splits on the way down), so the tree built from a given
// sequence of inserts is always the same tree.
//
// Ownership: the tree owns its root, every node owns its children. Copies are
// deep. Not thread-safe; an Engine uses its trees from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "types/huge_pages.h"
#include "types/value.h"

namespace zembrel {

// Keys are held as 16-byte images where they can be: a Uuid-kind value with
// a canonical text (36 characters, lower-case hex in groups 8-4-4-4-12) keeps
// only its 16 bytes, whose numeric order is the key order among such values.
// Any other key (another kind, another text) is an odd one and keeps its
// Value, in `others`; comparisons between the two sorts go through key_cmp.
struct MemBTreeNode {
    std::vector<unsigned __int128> images;  // per entry: the image, 0 for an odd one
    std::vector<uint64_t> values;           // row ids, parallel to images
    uint64_t odd = 0;                       // bit i: entry i is odd (a node holds at most 63)
    std::vector<Value> others;              // the odd entries' keys, in entry order
    std::vector<std::unique_ptr<MemBTreeNode>> children;  // empty in a leaf, entries + 1 otherwise
    bool leaf = true;

    MemBTreeNode() = default;
    MemBTreeNode(const MemBTreeNode& other);
    MemBTreeNode& operator=(const MemBTreeNode& other);
    MemBTreeNode(MemBTreeNode&&) noexcept = default;
    MemBTreeNode& operator=(MemBTreeNode&&) noexcept = default;

    size_t size() const { return values.size(); }
    bool is_odd(size_t i) const { return (odd >> i) & 1; }
    // Position in `others` of the odd entry i.
    size_t other_at(size_t i) const { return static_cast<size_t>(__builtin_popcountll(odd & ((uint64_t{1} << i) - 1))); }
    // The key of entry i as an owning Value.
    Value key(size_t i) const;
};

class MemBTree {
public:
    // At most 32: a node's odd entries are one bit each of a 64-bit mask.
    static constexpr size_t kMinDegree = 32;

    std::unique_ptr<MemBTreeNode> root;
    size_t t = kMinDegree;
    size_t len = 0;  // number of keys

    MemBTree();
    MemBTree(const MemBTree& other);
    // A moved-from tree has no root until its next insert and reads as empty.
    MemBTree& operator=(const MemBTree& other);
    MemBTree(MemBTree&& other) noexcept;
    MemBTree& operator=(MemBTree&& other) noexcept;

    // Adds the key, or replaces the row id of an equal key already present
    // (the new key is then dropped and len stays).
    void insert(Value key, uint64_t rowid);

    // A tree holding exactly the given entries, built bottom-up in linear
    // time. `entries` must be in ascending key order without equal keys.
    // Every node but the root holds t - 1 .. 2t - 2 keys, so later inserts
    // keep working as on any tree.
    static MemBTree from_sorted(std::vector<std::pair<Value, uint64_t>> entries);
    // The same from parallel arrays, allocating nothing per entry: each
    // entry's image (see uuid_image; 0 for an odd entry) and row id, and the
    // odd entries' positions and keys in ascending position.
    static MemBTree from_sorted(ScratchVector<unsigned __int128> images, ScratchVector<uint64_t> values,
                                std::vector<std::pair<size_t, Value>> others);

    // The image of a canonical Uuid text (of a Text or Uuid value); none for
    // any other value.
    static std::optional<unsigned __int128> uuid_image(const Value& key);
    // The canonical text of an image, written into buf.
    static std::string_view uuid_text(unsigned __int128 image, char (&buf)[36]);

    // Splits the full child at position i of x: the child keeps t - 1 keys,
    // the key at t - 1 moves up into x at i, the rest goes to a new sibling
    // at i + 1.
    static void split_child(MemBTreeNode& x, size_t i, size_t t);

    // Row id stored under a key equal to the given one.
    std::optional<uint64_t> find(const Value& key) const;

    // Removes the key equal to the given one (true), or does nothing (false).
    // O(depth): nodes are not merged, so a node may hold fewer than t - 1
    // keys (even none); search order and every operation stay valid, and a
    // rebuild restores the fixed shape.
    bool erase(const Value& key);
    // The same, only when the key names this row id (one descent where a
    // find and an erase take two).
    bool erase(const Value& key, uint64_t rowid);

    // Visits (key, rowid) in ascending key order while fn returns true. A
    // key held as an image is handed over as a Uuid value living only for
    // that call of fn.
    template <class Fn>
    void for_each(Fn&& fn) const {
        if (root) visit(*root, nullptr, fn);
    }
    // Same, starting at the first key not less than lower.
    template <class Fn>
    void for_each_from(const Value& lower, Fn&& fn) const {
        if (root) visit(*root, &lower, fn);
    }

    size_t size() const { return len; }
    bool empty() const { return len == 0; }

private:
    // Returns false once fn asked to stop.
    template <class Fn>
    static bool visit(const MemBTreeNode& node, const Value* lower, Fn& fn) {
        size_t start = 0;
        if (lower) start = lower_position(node, *lower);
        size_t other = node.other_at(start);
        for (size_t i = start; i < node.size(); ++i) {
            // Only the descent at the start position can still hold keys below
            // the bound; every later child lies wholly above it.
            if (!node.leaf && !visit(*node.children[i], i == start ? lower : nullptr, fn)) return false;
            if (node.is_odd(i)) {
                if (!fn(node.others[other++], node.values[i])) return false;
            } else {
                char buf[36];
                const Value key = Value::borrowed(ValueKind::Uuid, uuid_text(node.images[i], buf));
                if (!fn(key, node.values[i])) return false;
            }
        }
        if (!node.leaf) {
            const Value* child_lower = (start == node.size()) ? lower : nullptr;
            return visit(*node.children[node.size()], child_lower, fn);
        }
        return true;
    }
    // One entry out of its node.
    struct Entry {
        unsigned __int128 image = 0;
        uint64_t value = 0;
        std::optional<Value> other;  // the key of an odd entry
    };
    // Takes the largest key (and its row id) out of the subtree; none when
    // the subtree holds no key.
    static std::optional<Entry> take_max(MemBTreeNode& node);
    static Entry take(MemBTreeNode& node, size_t i);
    static void put(MemBTreeNode& node, size_t i, Entry entry);
    // Number of keys of the node less than key.
    static size_t lower_position(const MemBTreeNode& node, const Value& key);
    // The same for a probe whose image is already known; `equal` tells
    // whether the key at the returned position is equal to it.
    struct Probe {
        const Value& key;
        std::optional<unsigned __int128> image;
        explicit Probe(const Value& k) : key(k), image(uuid_image(k)) {}
    };
    // Key order of entry i against the probe: <0, 0 or >0.
    static int compare(const MemBTreeNode& node, size_t i, const Probe& probe);
    static size_t lower_position(const MemBTreeNode& node, const Probe& probe, bool& equal);
    // erase, of the key named by `rowid` only when one is given.
    bool erase_matching(const Value& key, const uint64_t* rowid);
};

}  // namespace zembrel
