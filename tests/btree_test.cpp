#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "btree/mem_btree.h"

using namespace zembrel;

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

Value random_value(std::mt19937_64& rng) {
    switch (rng() % 6) {
        case 0: return Value::integer(static_cast<int64_t>(rng() % 3000) - 1500);
        case 1: return Value::floating(static_cast<double>(rng() % 200) / 4.0);
        case 2: return Value::text("k" + std::to_string(rng() % 500));
        case 3: return Value::uuid("k" + std::to_string(rng() % 500));  // equal to the Text of the same text
        case 4: return Value::boolean(rng() % 2);
        default: return rng() % 2 ? Value::null() : Value::date("2024-01-" + std::to_string(rng() % 28 + 1));
    }
}

}  // namespace

TEST(MemBTree, FixedShapeAfter64Keys) {
    // Whatever the insertion order, the 64th distinct key splits the full root
    // leaf: the 32nd smallest of the first 63 goes up, leaves of 31 and 32.
    std::vector<std::vector<int64_t>> orders;
    std::vector<int64_t> ascending, descending, shuffled;
    for (int64_t i = 0; i < 64; ++i) ascending.push_back(i * 10);
    descending.assign(ascending.rbegin(), ascending.rend());
    shuffled = ascending;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(7));
    for (const auto& order : {ascending, descending, shuffled}) {
        MemBTree tree;
        std::vector<int64_t> first63(order.begin(), order.begin() + 63);
        for (size_t i = 0; i < 63; ++i) tree.insert(Value::integer(order[i]), i);
        ASSERT_TRUE(tree.root->leaf);
        ASSERT_EQ(tree.root->keys.size(), 63u);
        tree.insert(Value::integer(order[63]), 63);
        std::sort(first63.begin(), first63.end());
        ASSERT_FALSE(tree.root->leaf);
        ASSERT_EQ(tree.root->keys.size(), 1u);
        EXPECT_EQ(tree.root->keys[0].as_int(), first63[31]);
        ASSERT_EQ(tree.root->children.size(), 2u);
        size_t left = tree.root->children[0]->keys.size(), right = tree.root->children[1]->keys.size();
        // The 64th key lands in whichever half it belongs to.
        bool goes_left = order[63] < first63[31];
        EXPECT_EQ(left, goes_left ? 32u : 31u);
        EXPECT_EQ(right, goes_left ? 31u : 32u);
        EXPECT_EQ(tree.len, 64u);
    }
}

TEST(MemBTree, EqualKeyReplacesRowId) {
    MemBTree tree;
    tree.insert(Value::integer(1), 10);
    tree.insert(Value::floating(1.0), 11);  // a different key
    tree.insert(Value::text("a"), 12);
    tree.insert(Value::uuid("a"), 13);      // equal to Text "a": replaces
    tree.insert(Value::null(), 14);
    tree.insert(Value::null(), 15);
    EXPECT_EQ(tree.len, 4u);
    EXPECT_EQ(tree.find(Value::integer(1)), 10u);
    EXPECT_EQ(tree.find(Value::floating(1.0)), 11u);
    EXPECT_EQ(tree.find(Value::text("a")), 13u);
    EXPECT_EQ(tree.find(Value::null()), 15u);
    EXPECT_EQ(tree.find(Value::integer(2)), std::nullopt);
}

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

TEST(MemBTree, CopiesAreDeepAndMovedFromTreesAreEmpty) {
    MemBTree tree;
    for (int64_t i = 0; i < 500; ++i) tree.insert(Value::integer(i), static_cast<uint64_t>(i));
    MemBTree copy = tree;
    copy.insert(Value::integer(1000), 1);
    copy.insert(Value::integer(5), 99);
    EXPECT_EQ(tree.len, 500u);
    EXPECT_EQ(tree.find(Value::integer(5)), 5u);
    EXPECT_EQ(tree.find(Value::integer(1000)), std::nullopt);
    EXPECT_EQ(copy.len, 501u);

    MemBTree moved = std::move(tree);
    EXPECT_EQ(moved.len, 500u);
    EXPECT_EQ(tree.len, 0u);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(tree.find(Value::integer(5)), std::nullopt);
    tree.insert(Value::integer(5), 1);
    EXPECT_EQ(tree.find(Value::integer(5)), 1u);
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
