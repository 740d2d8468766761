#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "btree/mem_btree.h"
#include "test_util.h"

using namespace zembrel;
using zembrel::testing::random_value;

namespace {

using Model = std::map<Value, uint64_t, KeyLess>;

// Checks ordering, fill and equal leaf depth; returns the number of keys.
size_t check_node(const MemBTreeNode& node, bool is_root, size_t t, int depth, int& leaf_depth,
                  const Value* lo, const Value* hi) {
    EXPECT_EQ(node.keys.size(), node.values.size());
    EXPECT_LE(node.keys.size(), 2 * t - 1);
    if (!is_root) {
        EXPECT_GE(node.keys.size(), t - 1);
    }
    for (size_t i = 0; i < node.keys.size(); ++i) {
        if (i > 0) {
            EXPECT_TRUE(Value::key_cmp(node.keys[i - 1], node.keys[i]) < 0);
        }
        if (lo) {
            EXPECT_TRUE(Value::key_cmp(*lo, node.keys[i]) < 0);
        }
        if (hi) {
            EXPECT_TRUE(Value::key_cmp(node.keys[i], *hi) < 0);
        }
    }
    if (node.leaf) {
        EXPECT_TRUE(node.children.empty());
        if (leaf_depth < 0) leaf_depth = depth;
        EXPECT_EQ(leaf_depth, depth);
        return node.keys.size();
    }
    EXPECT_EQ(node.children.size(), node.keys.size() + 1);
    size_t total = node.keys.size();
    for (size_t i = 0; i < node.children.size(); ++i) {
        const Value* clo = i == 0 ? lo : &node.keys[i - 1];
        const Value* chi = i == node.keys.size() ? hi : &node.keys[i];
        total += check_node(*node.children[i], false, t, depth + 1, leaf_depth, clo, chi);
    }
    return total;
}

void expect_matches(const MemBTree& tree, const Model& model) {
    int leaf_depth = -1;
    ASSERT_EQ(check_node(*tree.root, true, tree.t, 0, leaf_depth, nullptr, nullptr), model.size());
    ASSERT_EQ(tree.len, model.size());
    auto it = model.begin();
    tree.for_each([&](const Value& k, uint64_t v) {
        EXPECT_TRUE(it != model.end());
        if (it == model.end()) return false;
        EXPECT_TRUE(Value::key_cmp(k, it->first) == 0);
        EXPECT_EQ(v, it->second);
        ++it;
        return true;
    });
    EXPECT_TRUE(it == model.end());
    for (const auto& [k, v] : model) EXPECT_EQ(tree.find(k), v);
}


}  // namespace

TEST(MemBTree, MatchesOrderedMapUnderRandomInserts) {
    for (uint64_t seed : {1u, 2u, 3u}) {
        std::mt19937_64 rng(seed);
        MemBTree tree;
        Model model;
        for (uint64_t i = 0; i < 6000; ++i) {
            Value v = random_value(rng);
            model.insert_or_assign(v, i);
            tree.insert(std::move(v), i);
            if (i % 1500 == 0) expect_matches(tree, model);
        }
        expect_matches(tree, model);
        // Replacing equal keys splits nothing: the shape survives a second pass.
        for (auto& [k, v] : model) {
            v += 100000;
            tree.insert(k, v);
        }
        expect_matches(tree, model);
    }
}

TEST(MemBTree, ForEachFromStartsAtLowerBound) {
    MemBTree tree;
    for (int64_t i = 0; i < 5000; i += 2) tree.insert(Value::integer(i), static_cast<uint64_t>(i));
    for (int64_t lower : {-5, 0, 1, 777, 778, 4998, 4999, 100000}) {
        std::vector<int64_t> seen;
        tree.for_each_from(Value::integer(lower), [&](const Value& k, uint64_t) {
            seen.push_back(k.as_int());
            return seen.size() < 3;
        });
        std::vector<int64_t> expected;
        for (int64_t i = std::max<int64_t>(0, lower + (lower & 1)); i < 5000 && expected.size() < 3; i += 2)
            expected.push_back(i);
        EXPECT_EQ(seen, expected) << "lower " << lower;
    }
}

TEST(MemBTree, CopiesAreDeep) {
    MemBTree tree;
    for (int64_t i = 0; i < 500; ++i) tree.insert(Value::integer(i), static_cast<uint64_t>(i));
    MemBTree copy = tree;
    copy.insert(Value::integer(1000), 1);
    copy.insert(Value::integer(5), 99);
    EXPECT_EQ(tree.len, 500u);
    EXPECT_EQ(tree.find(Value::integer(5)), 5u);
    EXPECT_EQ(tree.find(Value::integer(1000)), std::nullopt);
    EXPECT_EQ(copy.len, 501u);

}

namespace {

// Erasing leaves nodes underfull, but order, lookups and bounded walks hold,
// and inserts after erases still land where they belong.
TEST(MemBTree, MatchesOrderedMapUnderRandomInsertsAndErases) {
    for (uint64_t seed : {1, 2, 3}) {
        std::mt19937_64 rng(seed);
        MemBTree tree;
        Model model;
        for (int step = 0; step < 6000; ++step) {
            Value k = random_value(rng);
            if (rng() % 100 < (step < 3000 ? 35 : 65)) {
                EXPECT_EQ(tree.erase(k), model.erase(k) == 1);
            } else {
                tree.insert(k, static_cast<uint64_t>(step));
                model[k] = static_cast<uint64_t>(step);
            }
        }
        ASSERT_EQ(tree.size(), model.size());
        auto it = model.begin();
        tree.for_each([&](const Value& k, uint64_t v) {
            EXPECT_TRUE(it != model.end() && Value::key_cmp(k, it->first) == 0 && v == it->second);
            if (it != model.end()) ++it;
            return true;
        });
        EXPECT_TRUE(it == model.end());
        for (const auto& [k, v] : model) EXPECT_EQ(tree.find(k), v);
        const Value lower = Value::integer(0);
        auto from = model.lower_bound(lower);
        tree.for_each_from(lower, [&](const Value& k, uint64_t) {
            EXPECT_TRUE(from != model.end() && Value::key_cmp(k, from->first) == 0);
            if (from != model.end()) ++from;
            return true;
        });
        EXPECT_TRUE(from == model.end());
        for (const auto& [k, v] : Model(model)) EXPECT_TRUE(tree.erase(k));
        EXPECT_TRUE(tree.empty());
        tree.insert(Value::integer(1), 1);
        EXPECT_EQ(tree.find(Value::integer(1)), 1u);
    }
}

}  // namespace
