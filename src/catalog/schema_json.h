// JSON forms of the data model: values, column types, column defaults,
// columns and rows. The catalog entries are built from these, the legacy
// database document reuses the readers, and sort spill files store rows with
// write_row/read_row.
//
//   DataType      "Int" "Text" "Float" "Bool" "Pk" "Date" "DateTime" | {"Str":n}
//   DefaultValue  "Today" | {"Literal":Value}           (no default: key left out)
//   Value         "Null" | {"Int":i} {"Text":"s"} {"Float":x} {"Bool":b}
//                 {"Uuid":"s"} {"Date":"s"} {"DateTime":"s"}
//   Column        {"name":..,"data_type":..[,"default":..][,"salt":..][,"nullable":false]}
//   Row           [Value, ...]
//
// Readers also accept the alternative forms: {"Int":null} for a kind without
// payload, {"Today":null}, {"Null":null}, a Float given as an integer, and a
// column as an array [name, data_type, default, salt, nullable] whose last
// three elements may be left off. Writers produce exactly the forms above.
//
// Writers return a Storage error (and may have appended part of the form)
// for a non-finite Float or a text that is not UTF-8. Readers leave the
// reader just past the value they read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "catalog/json_reader.h"
#include "types/value.h"

namespace zembrel::schema_json {

Status write_value(std::string& out, const Value& value);
Status write_data_type(std::string& out, const DataType& type);
Status write_default(std::string& out, const DefaultValue& def);
Status write_column(std::string& out, const Column& column);
Status write_row(std::string& out, std::span<const Value> row);

Result<Value> read_value(JsonReader& in);
Result<DataType> read_data_type(JsonReader& in);
// "Today", {"Today":null} or {"Literal":Value}; null is the caller's business
// (it means "no default" where a default is optional).
Result<DefaultValue> read_default(JsonReader& in);
Result<Column> read_column(JsonReader& in);
Result<std::vector<Column>> read_column_list(JsonReader& in);
Result<Row> read_row(JsonReader& in);

}  // namespace zembrel::schema_json
