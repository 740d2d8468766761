// Merge planning and conflict detection: the folding of ops into net
// changes, the planning errors and their order, the conflict rules per net
// change and policy (one table of cases), a random comparison with a plain
// model of the rules, and the policy words.
#include <gtest/gtest.h>

#include <random>

#include "engine/engine.h"
#include "shadow/conflicts.h"
#include "shadow/merge_plan.h"
#include "types/merge_policy.h"

namespace zembrel::testing {
namespace {

using shadow::BeforeImage;
using shadow::ConflictKind;
using shadow::MergeKey;
using shadow::MergeOutcome;
using shadow::MergePlan;
using shadow::MergeResolution;
using shadow::NetChange;
using shadow::SessionPolicies;
using shadow::ShadowOp;
using Tag = ConflictKind::Tag;

Database& db(Engine& e) { return e.tables.database; }

Column col(const char* name, DataTypeKind kind) { return Column{name, DataType::of(kind), std::nullopt, std::nullopt, true}; }

// t (id PK, a INT, b INT); keyless k (x INT).
Table table_t() { return Table{"t", {col("id", DataTypeKind::Pk), col("a", DataTypeKind::Int), col("b", DataTypeKind::Int)}, {}, {}, 1}; }
Table table_k() { return Table{"k", {col("x", DataTypeKind::Int)}, {}, {}, 1}; }

Row r(std::int64_t id, std::int64_t a, std::int64_t b) { return {Value::integer(id), Value::integer(a), Value::integer(b)}; }

// A base engine whose t holds `current` (if any) and a filler row.
Engine base_with(const std::optional<Row>& current) {
    Engine e;
    Table t = table_t();
    t.rows.push_back(r(9, 9, 9));
    if (current) t.rows.push_back(*current);
    t.renumber_rowids();
    db(e).tables["t"] = std::move(t);
    db(e).tables["k"] = table_k();
    return e;
}

MergePlan plan_of(Engine& e, const std::vector<ShadowOp>& ops) {
    auto plan = MergePlan::fold_ops(db(e), ops);
    EXPECT_TRUE(plan.has_value()) << plan.error().display();
    return plan ? std::move(*plan) : MergePlan{};
}

const MergeKey k1{"t", "1"};

TEST(MergePlanning, ConflictRulesPerNetChangeAndPolicy) {
    const Row B = r(1, 10, 20), S = r(1, 11, 20), C = r(1, 10, 21), S2 = r(1, 12, 22);
    const auto ins = [](Row row) { return ShadowOp::insert("t", std::move(row)); };
    const auto upd = [](std::optional<Row> before, Row row) { return ShadowOp::update("t", Value::integer(1), std::move(before), std::move(row)); };
    const auto del = [](std::optional<Row> before) { return ShadowOp::remove("t", Value::integer(1), std::move(before)); };
    using P = MergePolicy;
    struct Expect {
        std::optional<Tag> kind;                    // none: clean (no record)
        MergeOutcome outcome = MergeOutcome::Aborted;
        std::optional<std::optional<Row>> resolved;  // none: the key is not resolved
    };
    struct Case {
        const char* what;
        std::vector<ShadowOp> ops;
        std::optional<Row> current;
        MergePolicy policy;
        NetChange net;
        Expect expect;
    };
    const Case cases[] = {
        {"update, base untouched", {upd(B, S)}, B, P::Error, {S, BeforeImage::of(B)}, {{}, {}, S}},
        {"both sides made the same row", {upd(B, S)}, S, P::Error, {S, BeforeImage::of(B)}, {{}, {}, S}},
        {"update diverged, lww", {upd(B, S)}, C, P::Lww, {S, BeforeImage::of(B)}, {Tag::UpdateDiverged, MergeOutcome::Ours, S}},
        {"update diverged, error", {upd(B, S)}, C, P::Error, {S, BeforeImage::of(B)}, {Tag::UpdateDiverged, MergeOutcome::Aborted, {}}},
        {"update diverged, manual", {upd(B, S)}, C, P::Manual, {S, BeforeImage::of(B)}, {Tag::UpdateDiverged, MergeOutcome::Skipped, {}}},
        {"field merge of different columns", {upd(B, S)}, C, P::FieldMerge, {S, BeforeImage::of(B)},
         {Tag::UpdateDiverged, MergeOutcome::Merged, r(1, 11, 21)}},
        {"field merge clash", {upd(B, S)}, r(1, 13, 20), P::FieldMerge, {S, BeforeImage::of(B)},
         {Tag::SameColumnsEdited, MergeOutcome::Aborted, {}}},
        {"update on deleted row", {upd(B, S)}, {}, P::Manual, {S, BeforeImage::of(B)}, {Tag::UpdateOnDeletedRow, MergeOutcome::Skipped, {}}},
        {"update on deleted row, field merge", {upd(B, S)}, {}, P::FieldMerge, {S, BeforeImage::of(B)},
         {Tag::UpdateOnDeletedRow, MergeOutcome::Aborted, {}}},
        {"insert of a new key", {ins(S)}, {}, P::Error, {S, BeforeImage::inserted()}, {{}, {}, S}},
        {"insert on existing pk, lww", {ins(S)}, C, P::Lww, {S, BeforeImage::inserted()}, {Tag::InsertOnExistingPk, MergeOutcome::Ours, S}},
        {"insert on existing pk, field merge", {ins(S)}, C, P::FieldMerge, {S, BeforeImage::inserted()},
         {Tag::InsertOnExistingPk, MergeOutcome::Aborted, {}}},
        {"insert on an equal row", {ins(S)}, S, P::Error, {S, BeforeImage::inserted()}, {{}, {}, S}},
        {"inserted and deleted: the base row stays", {ins(S), del(S)}, C, P::Lww, {std::nullopt, BeforeImage::inserted()}, {{}, {}, {}}},
        {"inserted and deleted, no base row", {ins(S), del(S)}, {}, P::Lww, {std::nullopt, BeforeImage::inserted()}, {{}, {}, {}}},
        {"delete, base untouched", {del(B)}, B, P::Error, {std::nullopt, BeforeImage::of(B)}, {{}, {}, std::optional<Row>{}}},
        {"delete, base deleted too", {del(B)}, {}, P::Error, {std::nullopt, BeforeImage::of(B)}, {{}, {}, std::optional<Row>{}}},
        {"delete diverged, lww", {del(B)}, C, P::Lww, {std::nullopt, BeforeImage::of(B)},
         {Tag::DeleteDiverged, MergeOutcome::Ours, std::optional<Row>{}}},
        {"delete diverged, field merge", {del(B)}, C, P::FieldMerge, {std::nullopt, BeforeImage::of(B)},
         {Tag::DeleteDiverged, MergeOutcome::Aborted, {}}},
        {"update without before-image", {upd(std::nullopt, S)}, C, P::Error, {S, BeforeImage::absent()}, {{}, {}, S}},
        {"delete without before-image", {del(std::nullopt)}, C, P::Error, {std::nullopt, BeforeImage::absent()},
         {{}, {}, std::optional<Row>{}}},
        {"update twice keeps the first before", {upd(B, S), upd(S, S2)}, B, P::Error, {S2, BeforeImage::of(B)}, {{}, {}, S2}},
        {"delete then insert", {del(B), ins(S2)}, B, P::Error, {S2, BeforeImage::of(B)}, {{}, {}, S2}},
        {"insert then update", {ins(S), upd(S, S2)}, {}, P::Error, {S2, BeforeImage::inserted()}, {{}, {}, S2}},
        {"an Int never equals a Float", {upd(B, S)}, Row{Value::integer(1), Value::floating(10), Value::integer(20)}, P::Error,
         {S, BeforeImage::of(B)}, {Tag::UpdateDiverged, MergeOutcome::Aborted, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Engine base = base_with(c.current);
        MergePlan plan = plan_of(base, c.ops);
        ASSERT_EQ(plan.changes.size(), 1u);
        EXPECT_EQ(plan.changes.begin()->first, k1);
        EXPECT_EQ(plan.changes.begin()->second, c.net);
        const MergeResolution res = plan.detect_conflicts(base.tables, SessionPolicies{{}, c.policy});
        if (c.expect.kind) {
            ASSERT_EQ(res.conflicts.size(), 1u);
            const auto& rec = res.conflicts[0];
            EXPECT_EQ(rec.kind.tag, *c.expect.kind);
            EXPECT_EQ(rec.outcome, c.expect.outcome);
            EXPECT_EQ(rec.shadow, c.net.row);
            EXPECT_EQ(rec.current, c.current);
        } else {
            EXPECT_TRUE(res.conflicts.empty());
        }
        if (c.expect.resolved) {
            ASSERT_TRUE(res.resolved.contains(k1));
            EXPECT_EQ(res.resolved.at(k1), *c.expect.resolved);
        } else {
            EXPECT_FALSE(res.resolved.contains(k1));
        }
        EXPECT_EQ(res.skipped.contains(k1), c.expect.outcome == MergeOutcome::Skipped && c.expect.kind);
        EXPECT_EQ(res.merged, c.expect.outcome == MergeOutcome::Merged ? 1u : 0u);
    }
}

TEST(MergePlanning, ReportLinesAndPolicyOrder) {
    Engine base = base_with(r(1, 10, 21));
    db(base).tables["u"] = Table{"u", {col("id", DataTypeKind::Pk), col("a", DataTypeKind::Int), col("b", DataTypeKind::Int)}, {r(1, 5, 5)}, {1}, 2};
    db(base).tables["v"] = db(base).tables["u"];
    db(base).tables["v"].name = "v";
    base.tables.merge_policies["t"] = " Manual ";
    base.tables.merge_policies["u"] = "bogus";  // a word that does not parse: the default applies
    base.tables.merge_policies["v"] = "lww";
    const std::vector<ShadowOp> ops = {
        ShadowOp::update("v", Value::integer(1), r(1, 0, 0), r(1, 1, 1)),
        ShadowOp::update("t", Value::integer(1), r(1, 10, 20), r(1, 12, 22)),
        ShadowOp::update("u", Value::integer(1), r(1, 0, 0), r(1, 1, 6)),
    };
    MergePlan plan = plan_of(base, ops);
    const MergeResolution res = plan.detect_conflicts(base.tables, SessionPolicies{{{"V", MergePolicy::Error}}, MergePolicy::FieldMerge});
    EXPECT_EQ(shadow::format_conflict_lines(res.conflicts),
              (std::vector<std::string>{"t[1]: update diverged (Skipped)",
                                        "u[1]: same columns edited on both sides: a, b (Aborted)",
                                        "v[1]: update diverged (Ours)"}));
    ASSERT_EQ(shadow::aborted_conflicts(res.conflicts).size(), 1u);
    EXPECT_EQ(shadow::aborted_conflicts(res.conflicts)[0].table, "u");
    // A session override goes first, with the exact table name.
    const MergeResolution over = plan.detect_conflicts(base.tables, SessionPolicies{{{"t", MergePolicy::Error}, {"v", MergePolicy::Manual}}, MergePolicy::Lww});
    EXPECT_EQ(shadow::format_conflict_lines(over.conflicts),
              (std::vector<std::string>{"t[1]: update diverged (Aborted)", "u[1]: update diverged (Ours)",
                                        "v[1]: update diverged (Skipped)"}));
}

TEST(MergePlanning, FoldErrorsAndTheirOrder) {
    Engine base = base_with(std::nullopt);
    const shadow::TableFingerprints stale{{"t", 1}, {"zz", 2}};
    const shadow::TableFingerprints current{{"t", shadow::schema_fingerprint(db(base).tables["t"].columns)}};
    const auto ins = [](const char* t, Row row) { return ShadowOp::insert(t, std::move(row)); };
    struct Case {
        std::vector<ShadowOp> ops;
        shadow::TableFingerprints fingerprints;
        const char* error;  // empty: folds
    };
    const Case cases[] = {
        {{ins("zz", {}), ins("t", r(1, 1, 1))}, stale,
         "schema divergence on 't': the shadow was written against a different schema (columns/types changed on main since the snapshot)"},
        {{ins("t", r(1, 1, 1)), ins("y", {}), ins("x", {})}, current, "shadow references unknown table 'x'"},
        {{ins("t", {Value::integer(1)}), ins("x", {})}, {}, "shadow references unknown table 'x'"},
        {{ins("t", r(1, 1, 1)), ins("t", {Value::integer(2)})}, current, "shadow row width mismatch on 't' — schema divergence"},
        {{ins("k", {Value::integer(1), Value::integer(2)})}, {}, "shadow row width mismatch on 'k' — schema divergence"},
        {{ShadowOp::update("t", Value::integer(1), std::nullopt, {Value::integer(1)})}, {},
         "shadow row width mismatch on 't' — schema divergence"},
        {{ShadowOp::update("k", Value::integer(1), std::nullopt, {Value::integer(1)})}, {},
         "shadow Update/Delete on table 'k' without PK column"},
        {{ShadowOp::remove("k", Value::integer(1), std::nullopt)}, {}, "shadow Update/Delete on table 'k' without PK column"},
        // A delete's before-image may have any width; a table without a
        // recorded fingerprint is never reported as diverged.
        {{ShadowOp::remove("t", Value::integer(1), Row{})}, {{"u", 5}}, ""},
    };
    for (const Case& c : cases) {
        Database before = db(base);
        std::string got;
        if (auto st = shadow::check_schema_divergence(db(base), c.fingerprints, c.ops); !st) got = st.error().message;
        else if (auto plan = MergePlan::fold_ops(db(base), c.ops); !plan) got = plan.error().message;
        EXPECT_EQ(got, c.error);
        if (*c.error) {
            EXPECT_EQ(db(base).tables["t"].rowids, before.tables["t"].rowids);
        }
    }
}

TEST(MergePlanning, KeyTextsKeylessInsertsAndRowIds) {
    Engine base = base_with(std::nullopt);
    Table& t = db(base).tables["t"];
    t.rows = {r(7, 0, 0), {Value::text("7"), Value::integer(1), Value::integer(1)}, r(8, 0, 0)};
    t.rowids = {4};  // not one per row: renumbered by the fold
    t.next_rowid = 2;
    const std::vector<ShadowOp> ops = {
        ShadowOp::insert("k", {Value::integer(1)}),
        ShadowOp::update("t", Value::text("7"), std::nullopt, r(7, 5, 5)),  // keyed by pk, not by the row
        ShadowOp::insert("k", {Value::integer(2)}),
        ShadowOp::remove("t", Value::integer(7), std::nullopt),
    };
    MergePlan plan = plan_of(base, ops);
    EXPECT_EQ(plan.keyless_inserts, (std::vector<std::pair<std::string, Row>>{{"k", {Value::integer(1)}}, {"k", {Value::integer(2)}}}));
    EXPECT_EQ(plan.tables, (std::set<std::string>{"k", "t"}));
    EXPECT_EQ(plan.pk_columns.at("k"), std::nullopt);
    EXPECT_EQ(plan.pk_columns.at("t"), 0u);
    ASSERT_EQ(plan.changes.size(), 1u);
    EXPECT_EQ(plan.changes.at(MergeKey{"t", "7"}), (NetChange{std::nullopt, BeforeImage::absent()}));
    EXPECT_EQ(t.rowids, (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_EQ(t.next_rowid, 4u);
    // Two base rows with one key text: the later one is the key's row.
    EXPECT_EQ(plan.base_row(MergeKey{"t", "7"}), (shadow::BaseRow{1, 2}));
    EXPECT_EQ(plan.base_row(MergeKey{"t", "8"}), std::nullopt);  // not changed, never looked up
}

// ------------------------------------------------------------ model

// The rules written plainly, one key at a time.
struct ModelOutcome {
    std::optional<Tag> kind;
    MergeOutcome outcome = MergeOutcome::Aborted;
    bool resolved = false;
    std::optional<Row> row;  // when resolved
};

bool same(const Row& a, const Row& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Value::key_cmp(a[i], b[i]) != 0) return false;
    return true;
}

ModelOutcome model(const NetChange& n, const std::optional<Row>& cur, MergePolicy policy) {
    const bool inserted = n.before.kind == BeforeImage::Kind::Inserted;
    const bool has_before = n.before.is_row();
    if (!n.row && inserted) return {};
    std::optional<Tag> kind;
    if (!n.row) {
        if (cur && has_before && !same(n.before.row, *cur)) kind = Tag::DeleteDiverged;
    } else if (!cur) {
        if (has_before) kind = Tag::UpdateOnDeletedRow;
    } else if (!same(*cur, *n.row)) {
        if (inserted) kind = Tag::InsertOnExistingPk;
        else if (has_before && !same(n.before.row, *cur)) kind = Tag::UpdateDiverged;
    }
    if (!kind) return {std::nullopt, MergeOutcome::Aborted, true, n.row};
    switch (policy.kind()) {
        case MergePolicy::Lww: return {kind, MergeOutcome::Ours, true, n.row};
        case MergePolicy::Error: return {kind, MergeOutcome::Aborted, false, {}};
        case MergePolicy::Manual: return {kind, MergeOutcome::Skipped, false, {}};
        case MergePolicy::FieldMerge: break;
    }
    if (*kind != Tag::UpdateDiverged) return {kind, MergeOutcome::Aborted, false, {}};
    Row m = *n.row;
    bool clash = false;
    for (size_t j = 0; j < m.size(); ++j) {
        const Value &b = n.before.row[j], &c = (*cur)[j], &s = (*n.row)[j];
        if (same({c}, {s}) || same({s}, {b})) m[j] = c;
        else if (!same({c}, {b})) clash = true;
    }
    if (clash) return {Tag::SameColumnsEdited, MergeOutcome::Aborted, false, {}};
    return {kind, MergeOutcome::Merged, true, m};
}

TEST(MergePlanning, RandomHistoriesAgainstModel) {
    std::mt19937_64 rng(42);
    std::set<std::pair<Tag, MergeOutcome>> seen;  // the series must reach every rule
    // Small values so that rows often agree.
    auto row_for = [&](std::int64_t key) { return r(key, std::int64_t(rng() % 3), std::int64_t(rng() % 2)); };
    for (int round = 0; round < 300; ++round) {
        const MergePolicy policy = MergePolicy::Kind(rng() % 4);
        Engine base;
        Table t = table_t();
        std::map<std::int64_t, Row> current;
        for (std::int64_t key = 1; key <= 4; ++key)
            if (rng() % 3) current[key] = row_for(key);
        for (auto& [key, row] : current) t.rows.push_back(row);
        t.renumber_rowids();
        db(base).tables["t"] = t;

        std::vector<ShadowOp> ops;
        std::map<std::int64_t, NetChange> expected;
        for (int i = 0, n = int(rng() % 12); i < n; ++i) {
            const std::int64_t key = 1 + std::int64_t(rng() % 4);
            const std::optional<Row> before = rng() % 4 ? std::optional<Row>(row_for(key)) : std::nullopt;
            ShadowOp op;
            BeforeImage first;
            switch (rng() % 3) {
                case 0: op = ShadowOp::insert("t", row_for(key)); first = BeforeImage::inserted(); break;
                case 1: op = ShadowOp::update("t", Value::integer(key), before, row_for(key)); break;
                default: op = ShadowOp::remove("t", Value::integer(key), before); break;
            }
            if (op.kind != ShadowOp::Kind::Insert) first = before ? BeforeImage::of(*before) : BeforeImage::absent();
            auto [it, fresh] = expected.try_emplace(key, NetChange{std::nullopt, first});
            it->second.row = op.kind == ShadowOp::Kind::Delete ? std::nullopt : std::optional<Row>(op.row);
            ops.push_back(std::move(op));
        }

        MergePlan plan = plan_of(base, ops);
        const MergeResolution res = plan.detect_conflicts(base.tables, SessionPolicies{{}, policy});
        ASSERT_EQ(plan.changes.size(), expected.size());
        size_t record = 0;
        std::uint64_t merged = 0;
        for (const auto& [key, net] : expected) {
            const MergeKey mk{"t", std::to_string(key)};
            SCOPED_TRACE("round " + std::to_string(round) + " key " + mk.key);
            ASSERT_EQ(plan.changes.at(mk), net);
            const auto cur = current.contains(key) ? std::optional<Row>(current[key]) : std::nullopt;
            const ModelOutcome m = model(net, cur, policy);
            if (m.kind) {
                ASSERT_LT(record, res.conflicts.size());
                EXPECT_EQ(res.conflicts[record].pk, mk.key);
                EXPECT_EQ(res.conflicts[record].kind.tag, *m.kind);
                EXPECT_EQ(res.conflicts[record].outcome, m.outcome);
                seen.emplace(*m.kind, m.outcome);
                ++record;
            }
            EXPECT_EQ(res.resolved.contains(mk), m.resolved);
            if (m.resolved && res.resolved.contains(mk)) {
                EXPECT_EQ(res.resolved.at(mk), m.row);
            }
            EXPECT_EQ(res.skipped.contains(mk), m.kind && m.outcome == MergeOutcome::Skipped);
            merged += m.outcome == MergeOutcome::Merged && m.kind;
        }
        EXPECT_EQ(record, res.conflicts.size());
        EXPECT_EQ(res.merged, merged);
    }
    EXPECT_EQ(seen.size(), 4u * 3 + 2);  // four kinds under lww, error and manual; field_merge's merged and clash
}

TEST(MergePolicyWords, Parse) {
    struct Case {
        const char* text;
        std::optional<MergePolicy> policy;
    };
    const Case cases[] = {
        {"lww", MergePolicy::Lww},
        {"ERROR", MergePolicy::Error},
        {" \t Field-Merge\n", MergePolicy::FieldMerge},
        {"FIELDMERGE", MergePolicy::FieldMerge},
        {"field_merge", MergePolicy::FieldMerge},
        {"\xE3\x80\x80manual\xC2\xA0", MergePolicy::Manual},  // U+3000 and U+00A0 are white space
        {"field merge", std::nullopt},
        {"", std::nullopt},
        {"  ", std::nullopt},
        {"lww\xFF", std::nullopt},
        {"MANUAL\xC4\xB0", std::nullopt},  // only ASCII letters are lowered
    };
    for (const Case& c : cases) EXPECT_EQ(MergePolicy::parse(c.text), c.policy) << c.text;
    for (auto k : {MergePolicy::Lww, MergePolicy::Error, MergePolicy::FieldMerge, MergePolicy::Manual})
        EXPECT_EQ(MergePolicy::parse(MergePolicy(k).word()), MergePolicy(k));
    EXPECT_EQ(MergePolicy(MergePolicy::FieldMerge).word(), "field_merge");
}

}  // namespace
}  // namespace zembrel::testing
