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
#include <utility>
#include <vector>

#include "types/value.h"

namespace zembrel {

struct MemBTreeNode {
    std::vector<Value> keys;        // ascending in key order
    // Value::key_prefix of each key, parallel to keys: a search compares
    // these first and reaches into the keys (often on the heap) only on ties.
    std::vector<unsigned __int128> prefixes;
    std::vector<uint64_t> values;   // row ids, parallel to keys
    std::vector<std::unique_ptr<MemBTreeNode>> children;  // empty in a leaf, keys + 1 otherwise
    bool leaf = true;

    MemBTreeNode() = default;
    MemBTreeNode(const MemBTreeNode& other);
    MemBTreeNode& operator=(const MemBTreeNode& other);
    MemBTreeNode(MemBTreeNode&&) noexcept = default;
    MemBTreeNode& operator=(MemBTreeNode&&) noexcept = default;
};

class MemBTree {
public:
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
    // The same from parallel arrays: the keys, their Value::key_prefix and
    // their row ids.
    static MemBTree from_sorted(std::vector<Value> keys, std::vector<unsigned __int128> prefixes,
                                std::vector<uint64_t> values);

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

    // Visits (key, rowid) in ascending key order while fn returns true.
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
        for (size_t i = start; i < node.keys.size(); ++i) {
            // Only the descent at the start position can still hold keys below
            // the bound; every later child lies wholly above it.
            if (!node.leaf && !visit(*node.children[i], i == start ? lower : nullptr, fn)) return false;
            if (!fn(node.keys[i], node.values[i])) return false;
        }
        if (!node.leaf) {
            const Value* child_lower = (start == node.keys.size()) ? lower : nullptr;
            return visit(*node.children[node.keys.size()], child_lower, fn);
        }
        return true;
    }
    // Takes the largest key (and its row id) out of the subtree; none when
    // the subtree holds no key.
    static std::optional<std::pair<Value, uint64_t>> take_max(MemBTreeNode& node);
    // Number of keys of the node less than key.
    static size_t lower_position(const MemBTreeNode& node, const Value& key);
    // The same for a key whose prefix is already known; `equal` tells
    // whether the key at the returned position is equal to it.
    struct Probe {
        const Value& key;
        unsigned __int128 prefix;
        bool exact;
        explicit Probe(const Value& k) : key(k), prefix(Value::key_prefix(k)), exact(Value::key_prefix_exact(k)) {}
    };
    static size_t lower_position(const MemBTreeNode& node, const Probe& probe, bool& equal);
};

}  // namespace zembrel
