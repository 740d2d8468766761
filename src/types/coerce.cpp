#include "types/coerce.h"

#include <cmath>

#include "hash_column/hash_column.h"
#include "types/dates.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel {

namespace types {

namespace {

bool is_text_column(DataTypeKind k) { return k == DataTypeKind::Text || k == DataTypeKind::Str; }

// A text written into a DATE or DATETIME column (`kind`), checked against the
// column's rule and made a Date or DateTime value.
Result<Value> dated(std::string_view text, DataTypeKind kind, std::string_view column) {
    if (kind == DataTypeKind::Date) {
        if (!parse_date(text))
            return type_error(format("column '{}': invalid date '{}', expected yyyy-MM-dd", column, text));
        return Value::date(text);
    }
    if (auto st = parse_datetime(text, column); !st) return fail(std::move(st.error()));
    return Value::datetime(text);
}

Result<Value> hashed_if_salted(Value v, const Column& column) {
    if (column.salt && v.kind() == ValueKind::Text && is_text_column(column.data_type.kind)) {
        auto hashed = hash_column::hash_value(v.as_text(), *column.salt);
        if (!hashed) return execution_error(format("column '{}': hashing failed: {}", column.name, hashed.error()));
        return Value::text(std::move(*hashed));
    }
    return v;
}

Result<Value> default_for(const Column& column) {
    if (!column.default_value) return Value::null();
    if (column.default_value->is_today()) {
        switch (column.data_type.kind) {
            case DataTypeKind::Date: return today_value();
            case DataTypeKind::DateTime: return now_value();
            default: return Value::null();
        }
    }
    return hashed_if_salted(column.default_value->literal, column);
}

}  // namespace

Result<Value> coerce_value(Value value, const Column& column) {
    if (value.is_null()) return default_for(column);
    const DataType type = column.data_type;
    const std::string& name = column.name;
    const ValueKind kind = value.kind();
    switch (type.kind) {
        case DataTypeKind::Int:
            if (kind == ValueKind::Int) return value;
            break;
        case DataTypeKind::Float:
            if (kind == ValueKind::Float) return value;
            if (kind == ValueKind::Int) return Value::floating(static_cast<double>(value.as_int()));
            break;
        case DataTypeKind::Bool:
            if (kind == ValueKind::Bool) return value;
            break;
        case DataTypeKind::Text:
            if (kind == ValueKind::Text) return hashed_if_salted(std::move(value), column);
            break;
        case DataTypeKind::Str:
            if (kind == ValueKind::Text) {
                if (value.as_text().size() > type.size)
                    return type_error(format("column '{}': string length {} exceeds STRING({})", name,
                                             value.as_text().size(), type.size));
                return hashed_if_salted(std::move(value), column);
            }
            break;
        case DataTypeKind::Date:
        case DataTypeKind::DateTime:
            if (kind == ValueKind::Text) return dated(value.as_text(), type.kind, name);
            break;
        case DataTypeKind::Pk: break;
    }
    return type_error(format("column '{}' expects {}, got {}", name, type.display(), value.debug()));
}

}  // namespace types

Result<Value> Column::validate_default(const Value& value, DataType type, std::string_view column_name) {
    const ValueKind kind = value.kind();
    switch (type.kind) {
        case DataTypeKind::Int:
            if (kind == ValueKind::Int) return value;
            break;
        case DataTypeKind::Float:
            if (kind == ValueKind::Float) {
                // Not finite has no catalog form to be read back from.
                if (!std::isfinite(value.as_float()))
                    return execution_error(format("column '{}': default value must be a finite number", column_name));
                return value;
            }
            break;
        case DataTypeKind::Bool:
            if (kind == ValueKind::Bool) return value;
            break;
        case DataTypeKind::Text:
            if (kind == ValueKind::Text) return value;
            break;
        case DataTypeKind::Str:
            if (kind == ValueKind::Text) {
                if (value.as_text().size() > type.size)
                    return type_error(format("column '{}': default string length {} exceeds STRING({})", column_name,
                                             value.as_text().size(), type.size));
                return value;
            }
            break;
        case DataTypeKind::Date:
        case DataTypeKind::DateTime:
            if (kind == ValueKind::Text) return types::dated(value.as_text(), type.kind, column_name);
            break;
        case DataTypeKind::Pk: break;
    }
    return execution_error(format("column '{}': default value {} does not match type {}", column_name, value.debug(),
                                  type.display()));
}

Result<Column> Column::from_def(std::string name, DataType data_type, std::optional<DefaultValue> default_value,
                                bool nullable, bool hash) {
    Column col;
    if (default_value && !default_value->is_today()) {
        auto v = validate_default(default_value->literal, data_type, name);
        if (!v) return fail(std::move(v.error()));
        default_value = DefaultValue::of(std::move(*v));
    }
    col.name = std::move(name);
    col.data_type = data_type;
    col.default_value = std::move(default_value);
    if (hash) col.salt = types::new_uuid();
    col.nullable = nullable && data_type.kind != DataTypeKind::Pk;
    return col;
}

}  // namespace zembrel
