#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "btree/key_order.h"
#include "btree/mem_btree.h"
#include "btree/mem_index.h"
#include "test_util.h"

using namespace zembrel;
using zembrel::testing::random_value;

namespace {

using Model = std::map<Value, uint64_t, KeyLess>;

// Checks ordering, fill and equal leaf depth; returns the number of keys.
size_t check_node(const MemBTreeNode& node, bool is_root, size_t t, int depth, int& leaf_depth,
                  const Value* lo, const Value* hi) {
    EXPECT_EQ(node.keys.size(), node.values.size());
    EXPECT_EQ(node.keys.size(), node.prefixes.size());
    for (size_t i = 0; i < std::min(node.keys.size(), node.prefixes.size()); ++i)
        EXPECT_TRUE(node.prefixes[i] == Value::key_prefix(node.keys[i]));
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

// random_value, and now and then a long text sharing its first bytes with
// others: the prefixes of such keys tie and the full comparison decides.
Value value_or_tie(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return Value::text("shared-head-" + std::to_string(rng() % 300));
        case 1: return Value::uuid("shared-head-" + std::to_string(rng() % 300));
        default: return random_value(rng);
    }
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

TEST(MemBTree, BuiltFromSortedEntriesMatchesTheModelAndTakesInserts) {
    std::mt19937_64 rng(9);
    for (size_t size : {0, 1, 31, 62, 63, 64, 125, 126, 127, 3969, 4000, 9000}) {
        SCOPED_TRACE(size);
        Model model;
        for (uint64_t i = 0; model.size() < size; ++i) {
            if (i % 3 == 0) model.insert_or_assign(Value::integer(static_cast<int64_t>(rng() % 100000)), i);
            else model.insert_or_assign(value_or_tie(rng), i);
            if (i > 100 * size + 1000) break;  // the random values ran out of distinct keys
        }
        std::vector<std::pair<Value, uint64_t>> entries(model.begin(), model.end());
        MemBTree tree = MemBTree::from_sorted(std::move(entries));
        expect_matches(tree, model);
        for (uint64_t i = 0; i < 1500; ++i) {
            Value v = value_or_tie(rng);
            model.insert_or_assign(v, 1000000 + i);
            tree.insert(std::move(v), 1000000 + i);
        }
        expect_matches(tree, model);
    }
}

TEST(KeyOrder, RowsInKeyOrderMatchesAStableSortByKey) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 6; ++round) {
        std::vector<Row> rows;
        const bool ascending = round == 5;  // already in order: recognised, not sorted
        for (int i = 0; i < 3000; ++i) {
            Row row{ascending ? Value::integer(i / 3) : value_or_tie(rng), value_or_tie(rng)};
            if (round == 4 && i % 100 == 0) row.pop_back();  // a short row has no key over column 1
            rows.push_back(std::move(row));
        }
        for (std::vector<size_t> positions : {std::vector<size_t>{0}, std::vector<size_t>{1, 0}}) {
            for (bool skip_nulls : {false, true}) {
                auto less = [&](size_t a, size_t b) {
                    for (size_t p : positions) {
                        auto c = Value::key_cmp(rows[a][p], rows[b][p]);
                        if (c != 0) return c < 0;
                    }
                    return false;
                };
                std::vector<size_t> want;
                for (size_t i = 0; i < rows.size(); ++i) {
                    bool keyed = true;
                    for (size_t p : positions) keyed = keyed && p < rows[i].size() && !(skip_nulls && rows[i][p].is_null());
                    if (keyed) want.push_back(i);
                }
                std::stable_sort(want.begin(), want.end(), less);
                std::vector<KeyedRow> got = rows_in_key_order(rows, positions, skip_nulls);
                ASSERT_EQ(got.size(), want.size());
                for (size_t i = 0; i < got.size(); ++i) {
                    ASSERT_EQ(got[i].row, want[i]) << "at " << i;
                    const bool same = i > 0 && !less(want[i - 1], want[i]) && !less(want[i], want[i - 1]);
                    ASSERT_EQ(got[i].same_key_as_previous, same) << "at " << i;
                }
            }
        }
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
        for (int step = 0; step < 4000; ++step) {
            Value k = value_or_tie(rng);
            if (rng() % 100 < (step < 3000 ? 35 : 65)) {
                // Mostly a key that is there.
                if (!model.empty() && rng() % 5 != 0) k = std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
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

// The flat key map of a secondary index against an ordered map: adds and
// removals enough to split and empty leaves, purges, keys of one and two
// values (a one-value probe of a two-value index is a proper prefix), lower
// bounds, copies and rebuilds from a sorted run.
TEST(MemIndex, FlatKeyMapMatchesAnOrderedMap) {
    using RefMap = std::map<IndexKey, std::vector<uint64_t>, KeyLess>;
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        std::mt19937_64 rng(seed);
        const size_t width = seed % 2 ? 1 : 2;
        MemIndex index("i", "t", {}, width == 1 ? std::vector<size_t>{0} : std::vector<size_t>{0, 1}, false);
        RefMap ref;
        auto random_key = [&] {
            IndexKey key;
            for (size_t i = 0; i < width; ++i) key.push_back(rng() % 4 ? Value::integer(rng() % 700) : random_value(rng));
            return key;
        };
        auto check = [&](int step) {
            ASSERT_EQ(index.map().size(), ref.size()) << "seed " << seed << " step " << step;
            auto it = ref.begin();
            for (const auto& [key, ids] : index.map()) {
                ASSERT_EQ(debug_values(key), debug_values(it->first)) << "seed " << seed << " step " << step;
                ASSERT_EQ(ids, it->second);
                ++it;
            }
            for (int probe = 0; probe < 20; ++probe) {
                IndexKey key = random_key();
                if (probe % 2) key.resize(1);
                const RowIdList* got = index.find(key);
                auto want = ref.find(key);
                ASSERT_EQ(got != nullptr, want != ref.end());
                if (got) { ASSERT_EQ(*got, want->second); }
                if (width == 1) {
                    // Enough lookups build the hash view, which must follow every change.
                    for (int again = 0; again < 3; ++again) {
                        const RowIdList* one = index.find_one(key.front());
                        ASSERT_EQ(one != nullptr, want != ref.end()) << "seed " << seed << " step " << step;
                        if (one) { ASSERT_EQ(*one, want->second); }
                    }
                }
                auto lower = index.map().lower_bound(key);
                auto want_lower = ref.lower_bound(key);
                ASSERT_EQ(lower == index.map().end(), want_lower == ref.end());
                if (want_lower != ref.end()) { ASSERT_EQ(debug_values(lower->first), debug_values(want_lower->first)); }
                // Backwards from the first key above it, as a descending scan walks.
                auto upper = index.map().upper_bound(key);
                auto want_upper = ref.upper_bound(key);
                for (int back = 0; back < 3 && want_upper != ref.begin(); ++back) {
                    ASSERT_TRUE(upper != index.map().begin());
                    --upper;
                    --want_upper;
                    ASSERT_EQ(debug_values(upper->first), debug_values(want_upper->first));
                }
                if (want_upper == ref.begin()) { ASSERT_TRUE(upper == index.map().begin()); }
            }
        };
        for (int step = 0; step < 6000; ++step) {
            const uint64_t op = rng() % 100;
            if (op < 55) {
                IndexKey key = random_key();
                const uint64_t id = rng() % 50;
                index.add_row_id(key, id);
                auto& ids = ref[key];
                if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
            } else if (op < 97 && !ref.empty()) {
                // Mostly keys that are there, so that leaves empty out.
                auto at = ref.begin();
                std::advance(at, static_cast<long>(rng() % ref.size()));
                IndexKey key = rng() % 8 ? at->first : random_key();
                const uint64_t id = rng() % 3 ? (ref.contains(key) ? ref[key].front() : 0) : rng() % 50;
                index.remove_row_id(key, id);
                if (auto found = ref.find(key); found != ref.end()) {
                    std::erase(found->second, id);
                    if (found->second.empty()) ref.erase(found);
                }
            } else if (op < 98) {
                const uint64_t cut = rng() % 50;
                index.retain_row_ids([&](uint64_t id) { return id < cut; });
                for (auto it = ref.begin(); it != ref.end();) {
                    std::erase_if(it->second, [&](uint64_t id) { return id >= cut; });
                    it = it->second.empty() ? ref.erase(it) : std::next(it);
                }
            } else if (op < 99) {
                const MemIndex copy = index;
                index = copy;
            } else {
                // Rebuilt from the sorted run of the model's keys.
                IndexKeyMap rebuilt;
                std::vector<size_t> positions(width);
                for (size_t i = 0; i < width; ++i) positions[i] = i;
                for (const auto& [key, ids] : ref) {
                    RowIdList& list = rebuilt.append_greatest(key, positions);
                    for (uint64_t id : ids) list.push_back(id);
                }
                index.replace_map(std::move(rebuilt), 0, 0);
            }
            if (step % 250 == 0 || step == 5999) check(step);
        }
    }
}

}  // namespace
