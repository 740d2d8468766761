// The execute step: the one road of every statement through an Engine.
//
// `execute` loads the tables a writing statement names, clears the row cache,
// keeps the transaction's pre-images and sync modes, runs the statement on
// the in-memory tables (the dispatcher), mirrors the outcome into the page
// store (outside a transaction, and inside one for the outcomes that cannot
// wait) and, for a shadow session, captures the changed rows. A failure at
// any step leaves memory and pages as before the statement, or returns the
// engine to its last commit; either way nothing is captured.
//
// Thread: the thread that owns the engine. Nothing here commits the pager.
#pragma once

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "parser/ast.h"

namespace zembrel::executor {

// `sink`: where a row result's rows go (exec_result.h), or none.
Result<ExecResult> execute(Engine& engine, parser::Statement statement, RowSink* sink = nullptr);
// The dispatcher alone, on the in-memory tables.
Result<ExecResult> execute_statement(Engine& engine, parser::Statement statement, RowSink* sink = nullptr);
// Mirrors one outcome into the page store's cache (nothing is committed).
Status sync_to_page_store(Engine& engine, const ExecResult& result);

}  // namespace zembrel::executor
