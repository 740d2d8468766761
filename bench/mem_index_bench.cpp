// One-row INSERTs into the in-memory indexes of a table that already holds
// 10,000 or 1,000,000 rows: the cost per insert must not grow with the table.
// Table t(id PK, a INT with a unique index, b TEXT with a non-unique index
// over ten distinct values, so its row-id lists are long).
#include <benchmark/benchmark.h>

#include <string>

#include "engine/engine.h"

using namespace zembrel;

namespace {

Column column(std::string name, DataTypeKind kind) {
    Column c;
    c.name = std::move(name);
    c.data_type = DataType::of(kind);
    c.nullable = kind != DataTypeKind::Pk;
    return c;
}

Row make_row(int64_t i) {
    return {Value::uuid("00000000-0000-4000-8000-" + std::to_string(100000000000 + i)), Value::integer(i),
            Value::text("group" + std::to_string(i % 10))};
}

void BM_OneRowInsert(benchmark::State& state) {
    const int64_t existing = state.range(0);
    Engine engine;
    Table table;
    table.name = "t";
    table.columns = {column("id", DataTypeKind::Pk), column("a", DataTypeKind::Int), column("b", DataTypeKind::Text)};
    table.rows.reserve(static_cast<size_t>(existing) + 20000, table.columns.size());
    for (int64_t i = 0; i < existing; ++i) {
        table.rows.push_back(make_row(i));
        table.rowids.push_back(table.next_rowid++);
    }
    engine.tables.database.tables.emplace("t", std::move(table));
    engine.tables.mem_indexes.insert(MemIndex("t_a", "t", {"a"}, {1}, true));
    engine.tables.mem_indexes.insert(MemIndex("t_b", "t", {"b"}, {2}, false));
    engine.tables.rebuild_pk_index("t");
    engine.tables.rebuild_secondary_indexes("t");

    Table& t = engine.tables.database.tables.at("t");
    int64_t next = existing;
    for (auto _ : state) {
        const size_t s = t.rows.size();
        t.rows.push_back(make_row(next++));
        t.rowids.push_back(t.next_rowid++);
        engine.tables.pk_index_insert("t", s);
        if (!engine.tables.index_insert_row("t", s)) state.SkipWithError("unexpected unique violation");
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_OneRowInsert)->Arg(10'000)->Arg(1'000'000)->Iterations(10'000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
