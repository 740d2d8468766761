// Helpers for the engine-level tests: a scratch directory and statements run
// from SQL text through Engine::execute.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "engine/storage_open.h"
#include "executor/execute.h"
#include "parser/parser.h"

namespace zembrel::testing {

class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zembrel-engine-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline Result<ExecResult> run(Engine& engine, std::string_view sql) {
    auto statement = parser::parse_sql(sql);
    if (!statement) return fail(statement.error());
    return executor::execute(engine, std::move(*statement));
}

// Runs a statement that must succeed.
inline ExecResult ok(Engine& engine, std::string_view sql) {
    auto r = run(engine, sql);
    EXPECT_TRUE(r.has_value()) << sql << " -> " << (r ? "" : r.error().display());
    return r ? std::move(*r) : ExecResult{TransactionStarted{}};
}

// Runs a statement that must fail; its display text ("Execution error: ...").
inline std::string err(Engine& engine, std::string_view sql) {
    auto r = run(engine, sql);
    EXPECT_FALSE(r.has_value()) << sql << " unexpectedly succeeded";
    return r ? std::string() : r.error().display();
}

inline Engine must(Result<Engine> r) {
    if (!r) {
        ADD_FAILURE() << r.error().display();
        return Engine();
    }
    return std::move(*r);
}

inline const Table* table_of(const Engine& engine, const std::string& name) {
    auto it = engine.tables.database.tables.find(name);
    return it == engine.tables.database.tables.end() ? nullptr : &it->second;
}

}  // namespace zembrel::testing
