// The branches of the statement dispatcher, one per statement kind. Each
// works on the in-memory side of the Engine only (the page store is reached
// afterwards through Engine::sync_to_page_store) and checks everything it
// can before it changes anything, so a failed branch leaves memory as it was.
#pragma once

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "parser/ast.h"

namespace zembrel::executor {

inline bool is_date_type(DataType t) { return t.kind == DataTypeKind::Date || t.kind == DataTypeKind::DateTime; }
inline bool is_text_type(DataType t) { return t.kind == DataTypeKind::Text || t.kind == DataTypeKind::Str; }

// ddl.cpp
Result<ExecResult> create_table(Engine& engine, parser::CreateTable statement);
Result<ExecResult> drop_table(Engine& engine, const parser::DropTable& statement);
Result<ExecResult> truncate_table(Engine& engine, const parser::Truncate& statement);
Result<ExecResult> create_index(Engine& engine, parser::CreateIndex statement);
Result<ExecResult> drop_index(Engine& engine, const parser::DropIndex& statement);

// insert.cpp
Result<ExecResult> insert(Engine& engine, parser::Insert statement);

// update_delete.cpp
Result<ExecResult> update(Engine& engine, parser::Update statement);
Result<ExecResult> remove(Engine& engine, parser::Delete statement);

// alter.cpp
Result<ExecResult> alter_table(Engine& engine, parser::AlterTable statement);
// A column name the table has already: ALTER TABLE ADD, and CREATE TABLE
// naming a column twice.
std::unexpected<EngineError> column_exists_error(const std::string& column, const std::string& table);

// transaction.cpp
Result<ExecResult> begin(Engine& engine);
Result<ExecResult> commit(Engine& engine);
Result<ExecResult> rollback(Engine& engine);

// Gives the in-memory table the row ids the page store handed out for its
// rows from position `first` on, and its next row id; indexes follow.
void adopt_stored_rowids(Engine& engine, const std::string& table, size_t first, const std::vector<uint64_t>& ids,
                         uint64_t next_rowid);
// After the store renumbered a table 1..n: memory follows, indexes rebuilt.
void renumber_in_memory(Engine& engine, const std::string& table);

}  // namespace zembrel::executor
