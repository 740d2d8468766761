#include "btree/mem_btree.h"

#include <utility>

namespace zembrel {

MemBTreeNode::MemBTreeNode(const MemBTreeNode& other)
    : keys(other.keys), values(other.values), leaf(other.leaf) {
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
    size_t lo = 0, hi = node.keys.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (Value::key_cmp(node.keys[mid], key) < 0) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

void MemBTree::split_child(MemBTreeNode& x, size_t i, size_t t) {
    MemBTreeNode& c = *x.children[i];
    auto sibling = std::make_unique<MemBTreeNode>();
    sibling->leaf = c.leaf;
    sibling->keys.assign(std::make_move_iterator(c.keys.begin() + static_cast<ptrdiff_t>(t)),
                         std::make_move_iterator(c.keys.end()));
    sibling->values.assign(c.values.begin() + static_cast<ptrdiff_t>(t), c.values.end());
    if (!c.leaf) {
        sibling->children.assign(std::make_move_iterator(c.children.begin() + static_cast<ptrdiff_t>(t)),
                                 std::make_move_iterator(c.children.end()));
        c.children.resize(t);
    }
    Value middle_key = std::move(c.keys[t - 1]);
    uint64_t middle_value = c.values[t - 1];
    c.keys.resize(t - 1);
    c.values.resize(t - 1);
    x.keys.insert(x.keys.begin() + static_cast<ptrdiff_t>(i), std::move(middle_key));
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
    for (;;) {
        size_t p = lower_position(*node, key);
        if (p < node->keys.size() && Value::key_cmp(node->keys[p], key) == 0) {
            node->values[p] = rowid;
            return;
        }
        if (node->leaf) {
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

std::optional<uint64_t> MemBTree::find(const Value& key) const {
    const MemBTreeNode* node = root.get();
    while (node) {
        size_t p = lower_position(*node, key);
        if (p < node->keys.size() && Value::key_cmp(node->keys[p], key) == 0) return node->values[p];
        if (node->leaf) return std::nullopt;
        node = node->children[p].get();
    }
    return std::nullopt;
}

std::optional<std::pair<Value, uint64_t>> MemBTree::take_max(MemBTreeNode& node) {
    if (node.leaf) {
        if (node.keys.empty()) return std::nullopt;
        std::pair<Value, uint64_t> out{std::move(node.keys.back()), node.values.back()};
        node.keys.pop_back();
        node.values.pop_back();
        return out;
    }
    if (auto below = take_max(*node.children.back())) return below;
    // The right-most subtree holds no key: the node's last key is the
    // largest, and that empty subtree goes with it.
    if (node.keys.empty()) return std::nullopt;
    std::pair<Value, uint64_t> out{std::move(node.keys.back()), node.values.back()};
    node.keys.pop_back();
    node.values.pop_back();
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
                node->values.erase(node->values.begin() + at);
            } else if (auto below = take_max(*node->children[p])) {
                // The largest key left of it takes its place.
                node->keys[p] = std::move(below->first);
                node->values[p] = below->second;
            } else {
                // Nothing lies left of it: the key and that empty subtree go.
                node->keys.erase(node->keys.begin() + at);
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
