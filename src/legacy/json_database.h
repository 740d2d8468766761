// The legacy JSON database: the oldest on-disk form, one JSON document with
// every table. Only read, to migrate it. Read with the catalog's JSON reader
// and the same column, type, default and value readers as the catalog, so
// errors end with " at line {} column {}".
//
//   document      {"tables": TABLES}  |  [TABLES]
//   TABLES        {"<table name>": TABLE, ...}   (a repeated key: the later wins)
//   TABLE         {"name":..,"columns":[Column..],"rows":[[Value..]..]
//                  [,"rowids":[u64..]][,"next_rowid":u64]}
//                 | [name, columns, rows[, rowids[, next_rowid]]]
//
// Column and Value are the catalog's JSON forms (catalog/schema_json.h).
// Missing "rowids" is an empty list (the rows are numbered 1..n later),
// missing "next_rowid" is 1. The table is registered under its key; its own
// "name" is kept as read.
//
// Nothing in the document is trusted: a row whose width is not the column
// count is refused; row ids that will be kept (as many as rows, any unsigned
// 64-bit value) must be distinct, and next_rowid is raised above the
// largest, so that a new row never reuses an id. Ids that include 2^64 - 1,
// above which nothing lies, are dropped like a list of another length (the
// rows are numbered 1..n).
//
// Errors (Storage): "read failed: {}" for bytes that are not UTF-8;
// "parse failed: {}" with the reader's description and position for
// everything else.
#pragma once

#include <string_view>

#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::storage {

Result<Database> read_json_database(std::string_view bytes);

}  // namespace zembrel::storage
