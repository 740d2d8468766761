// Coercion of a value into a column, the checks of column defaults, and the
// making of columns from parsed definitions (Column::from_def and
// Column::validate_default are declared in types/value.h, defined here).
#pragma once

#include "types/value.h"

namespace zembrel::types {

// The value to store for `value` written into `column`.
// - Null: the column's default (none: Null; Today: today_value for DATE,
//   now_value for DATETIME, Null otherwise; Literal: the stored literal).
// - Otherwise: Int kept in INT, converted to Float in FLOAT; Text kept in TEXT,
//   checked against n bytes in STRING(n), checked and turned into Date or
//   DateTime in DATE and DATETIME; Float kept in FLOAT; Bool kept in BOOL;
//   everything else refused with "column '{}' expects {}, got {}" (Type).
// - A Text stored into a TEXT or STRING(n) column with a salt (HASH) is
//   replaced by its hash; this holds for a Text literal default too, so every
//   road that stores the default (a column left out of an INSERT, an explicit
//   NULL, ALTER TABLE ADD COLUMN via coerce_value(Value::null(), column))
//   stores the same hash. The STRING(n) check measures the text before hashing.
Result<Value> coerce_value(Value value, const Column& column);

}  // namespace zembrel::types
