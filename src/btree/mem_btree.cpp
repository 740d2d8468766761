#include "btree/mem_btree.h"

#include <utility>

namespace zembrel {

MemBTreeNode::MemBTreeNode(const MemBTreeNode& other)
    : keys(other.keys), prefixes(other.prefixes), values(other.values), leaf(other.leaf) {
    children.reserve(other.children.size());
    for (const auto& child : other.children) children.push_back(std::make_unique<MemBTreeNode>(*child));
}

MemBTreeNode& MemBTreeNode::operator=(const MemBTreeNode& other) {
    if (this != &other) {
        MemBTreeNode copy(other);
        *this = std::move(copy);
    }
    return *this;
}

MemBTree::MemBTree() : root(std::make_unique<MemBTreeNode>()) {}

MemBTree::MemBTree(const MemBTree& other)
    : root(std::make_unique<MemBTreeNode>(other.root ? *other.root : MemBTreeNode())), t(other.t), len(other.len) {}

MemBTree::MemBTree(MemBTree&& other) noexcept
    : root(std::move(other.root)), t(other.t), len(std::exchange(other.len, 0)) {}

MemBTree& MemBTree::operator=(MemBTree&& other) noexcept {
    if (this != &other) {
        root = std::move(other.root);
        t = other.t;
        len = std::exchange(other.len, 0);
    }
    return *this;
}

MemBTree& MemBTree::operator=(const MemBTree& other) {
    if (this != &other) {
        MemBTree copy(other);
        *this = std::move(copy);
    }
    return *this;
}

size_t MemBTree::lower_position(const MemBTreeNode& node, const Value& key) {
    bool equal = false;
    return lower_position(node, Probe(key), equal);
}

size_t MemBTree::lower_position(const MemBTreeNode& node, const Probe& probe, bool& equal) {
    // Equal prefixes are both exact or both not.
    auto cmp = [&](size_t i) -> int {
        const unsigned __int128 p = node.prefixes[i];
        if (p != probe.prefix) return p < probe.prefix ? -1 : 1;
        if (probe.exact) return 0;
        auto c = Value::key_cmp(node.keys[i], probe.key);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    };
    size_t lo = 0, hi = node.keys.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (cmp(mid) < 0) lo = mid + 1;
        else hi = mid;
    }
    equal = lo < node.keys.size() && cmp(lo) == 0;
    return lo;
}

void MemBTree::split_child(MemBTreeNode& x, size_t i, size_t t) {
    MemBTreeNode& c = *x.children[i];
    auto sibling = std::make_unique<MemBTreeNode>();
    sibling->leaf = c.leaf;
    sibling->keys.assign(std::make_move_iterator(c.keys.begin() + static_cast<ptrdiff_t>(t)),
                         std::make_move_iterator(c.keys.end()));
    sibling->prefixes.assign(c.prefixes.begin() + static_cast<ptrdiff_t>(t), c.prefixes.end());
    sibling->values.assign(c.values.begin() + static_cast<ptrdiff_t>(t), c.values.end());
    if (!c.leaf) {
        sibling->children.assign(std::make_move_iterator(c.children.begin() + static_cast<ptrdiff_t>(t)),
                                 std::make_move_iterator(c.children.end()));
        c.children.resize(t);
    }
    Value middle_key = std::move(c.keys[t - 1]);
    const unsigned __int128 middle_prefix = c.prefixes[t - 1];
    uint64_t middle_value = c.values[t - 1];
    c.keys.resize(t - 1);
    c.prefixes.resize(t - 1);
    c.values.resize(t - 1);
    x.keys.insert(x.keys.begin() + static_cast<ptrdiff_t>(i), std::move(middle_key));
    x.prefixes.insert(x.prefixes.begin() + static_cast<ptrdiff_t>(i), middle_prefix);
    x.values.insert(x.values.begin() + static_cast<ptrdiff_t>(i), middle_value);
    x.children.insert(x.children.begin() + static_cast<ptrdiff_t>(i) + 1, std::move(sibling));
}

void MemBTree::insert(Value key, uint64_t rowid) {
    const size_t full = 2 * t - 1;
    if (!root) root = std::make_unique<MemBTreeNode>();  // a moved-from tree is usable again
    if (root->keys.size() == full) {
        auto new_root = std::make_unique<MemBTreeNode>();
        new_root->leaf = false;
        new_root->children.push_back(std::move(root));
        root = std::move(new_root);
        split_child(*root, 0, t);
    }
    MemBTreeNode* node = root.get();
    const Probe probe(key);
    for (;;) {
        bool equal = false;
        size_t p = lower_position(*node, probe, equal);
        if (equal) {
            node->values[p] = rowid;
            return;
        }
        if (node->leaf) {
            node->prefixes.insert(node->prefixes.begin() + static_cast<ptrdiff_t>(p), probe.prefix);
            node->keys.insert(node->keys.begin() + static_cast<ptrdiff_t>(p), std::move(key));
            node->values.insert(node->values.begin() + static_cast<ptrdiff_t>(p), rowid);
            ++len;
            return;
        }
        if (node->children[p]->keys.size() == full) {
            split_child(*node, p, t);
            auto c = Value::key_cmp(key, node->keys[p]);
            if (c == 0) {
                node->values[p] = rowid;
                return;
            }
            if (c > 0) ++p;
        }
        node = node->children[p].get();
    }
}

MemBTree MemBTree::from_sorted(std::vector<std::pair<Value, uint64_t>> entries) {
    std::vector<Value> keys;
    std::vector<unsigned __int128> prefixes;
    std::vector<uint64_t> values;
    keys.reserve(entries.size());
    prefixes.reserve(entries.size());
    values.reserve(entries.size());
    for (auto& [key, value] : entries) {
        prefixes.push_back(Value::key_prefix(key));
        keys.push_back(std::move(key));
        values.push_back(value);
    }
    entries = {};
    return from_sorted(std::move(keys), std::move(prefixes), std::move(values));
}

MemBTree MemBTree::from_sorted(std::vector<Value> keys, std::vector<unsigned __int128> prefixes,
                               std::vector<uint64_t> values) {
    MemBTree tree;
    tree.len = keys.size();
    if (keys.empty()) return tree;
    const size_t most = 2 * tree.t - 2;  // fill of a built node: one below full
    // One level per pass: m items over c nodes with one separator between
    // neighbours, which moves up as the next level's items.
    std::vector<std::unique_ptr<MemBTreeNode>> children;
    bool leaf = true;
    for (;;) {
        const size_t m = keys.size();
        const size_t c = (m + 1 + most) / (most + 1);
        if (c <= 1) {
            auto root = std::make_unique<MemBTreeNode>();
            root->leaf = leaf;
            root->keys = std::move(keys);
            root->prefixes = std::move(prefixes);
            root->values = std::move(values);
            root->children = std::move(children);
            tree.root = std::move(root);
            return tree;
        }
        const size_t in_nodes = m - (c - 1);
        const size_t base = in_nodes / c, extra = in_nodes % c;
        std::vector<Value> up_keys;
        std::vector<unsigned __int128> up_prefixes;
        std::vector<uint64_t> up_values;
        std::vector<std::unique_ptr<MemBTreeNode>> nodes;
        up_keys.reserve(c - 1);
        up_prefixes.reserve(c - 1);
        up_values.reserve(c - 1);
        nodes.reserve(c);
        size_t pos = 0, child = 0;
        for (size_t j = 0; j < c; ++j) {
            const size_t k = base + (j < extra ? 1 : 0);
            auto node = std::make_unique<MemBTreeNode>();
            node->leaf = leaf;
            node->keys.assign(std::make_move_iterator(keys.begin() + static_cast<ptrdiff_t>(pos)),
                              std::make_move_iterator(keys.begin() + static_cast<ptrdiff_t>(pos + k)));
            node->prefixes.assign(prefixes.begin() + static_cast<ptrdiff_t>(pos),
                                  prefixes.begin() + static_cast<ptrdiff_t>(pos + k));
            node->values.assign(values.begin() + static_cast<ptrdiff_t>(pos), values.begin() + static_cast<ptrdiff_t>(pos + k));
            if (!leaf) {
                node->children.assign(std::make_move_iterator(children.begin() + static_cast<ptrdiff_t>(child)),
                                      std::make_move_iterator(children.begin() + static_cast<ptrdiff_t>(child + k + 1)));
                child += k + 1;
            }
            pos += k;
            nodes.push_back(std::move(node));
            if (j + 1 < c) {
                up_keys.push_back(std::move(keys[pos]));
                up_prefixes.push_back(prefixes[pos]);
                up_values.push_back(values[pos]);
                ++pos;
            }
        }
        keys = std::move(up_keys);
        prefixes = std::move(up_prefixes);
        values = std::move(up_values);
        children = std::move(nodes);
        leaf = false;
    }
}

std::optional<uint64_t> MemBTree::find(const Value& key) const {
    const MemBTreeNode* node = root.get();
    const Probe probe(key);
    while (node) {
        bool equal = false;
        size_t p = lower_position(*node, probe, equal);
        if (equal) return node->values[p];
        if (node->leaf) return std::nullopt;
        node = node->children[p].get();
    }
    return std::nullopt;
}

std::optional<std::pair<Value, uint64_t>> MemBTree::take_max(MemBTreeNode& node) {
    auto pop_last = [](MemBTreeNode& n) {
        std::pair<Value, uint64_t> out{std::move(n.keys.back()), n.values.back()};
        n.keys.pop_back();
        n.prefixes.pop_back();
        n.values.pop_back();
        return out;
    };
    if (node.leaf) {
        if (node.keys.empty()) return std::nullopt;
        return pop_last(node);
    }
    if (auto below = take_max(*node.children.back())) return below;
    // The right-most subtree holds no key: the node's last key is the
    // largest, and that empty subtree goes with it.
    if (node.keys.empty()) return std::nullopt;
    auto out = pop_last(node);
    node.children.pop_back();
    return out;
}

bool MemBTree::erase(const Value& key) {
    MemBTreeNode* node = root.get();
    while (node != nullptr) {
        const size_t p = lower_position(*node, key);
        if (p < node->keys.size() && Value::key_cmp(node->keys[p], key) == 0) {
            const auto at = static_cast<ptrdiff_t>(p);
            if (node->leaf) {
                node->keys.erase(node->keys.begin() + at);
                node->prefixes.erase(node->prefixes.begin() + at);
                node->values.erase(node->values.begin() + at);
            } else if (auto below = take_max(*node->children[p])) {
                // The largest key left of it takes its place.
                node->prefixes[p] = Value::key_prefix(below->first);
                node->keys[p] = std::move(below->first);
                node->values[p] = below->second;
            } else {
                // Nothing lies left of it: the key and that empty subtree go.
                node->keys.erase(node->keys.begin() + at);
                node->prefixes.erase(node->prefixes.begin() + at);
                node->values.erase(node->values.begin() + at);
                node->children.erase(node->children.begin() + at);
            }
            --len;
            return true;
        }
        if (node->leaf) return false;
        node = node->children[p].get();
    }
    return false;
}

}  // namespace zembrel
