#include "catalog/schema_json.h"

#include <array>

#include "catalog/json_writer.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

constexpr std::array<std::string_view, 8> kValueKinds = {"Int", "Text", "Float", "Bool", "Null", "Uuid", "Date", "DateTime"};
constexpr std::array<std::string_view, 8> kTypeKinds = {"Int", "Text", "Float", "Bool", "Pk", "Date", "DateTime", "Str"};
constexpr std::array<std::string_view, 2> kDefaultKinds = {"Today", "Literal"};
constexpr std::array<std::string_view, 5> kColumnFields = {"name", "data_type", "default", "salt", "nullable"};

template <std::size_t N>
std::optional<std::size_t> find_name(const std::array<std::string_view, N>& names, std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == name) return i;
    return std::nullopt;
}

// A variant that needs a payload written as a bare string.
EngineError unit_for_newtype(const JsonReader& in) {
    return in.error("invalid type: unit variant, expected newtype variant");
}

Status write_text_value(std::string& out, std::string_view kind, std::string_view text) {
    std::size_t mark = out.size();
    out += "{\"";
    out += kind;
    out += "\":";
    if (auto st = json_out::write_string(out, text); !st) {
        out.resize(mark);  // a refused value leaves no trace
        return st;
    }
    out.push_back('}');
    return {};
}

}  // namespace

namespace schema_json {

Status write_value(std::string& out, const Value& value) {
    switch (value.kind()) {
        case ValueKind::Null: out += "\"Null\""; return {};
        case ValueKind::Int:
            out += "{\"Int\":";
            json_out::write_signed(out, value.as_int());
            out.push_back('}');
            return {};
        case ValueKind::Float: {
            // Checked before anything is appended, so a refused value leaves no trace.
            std::string num;
            if (auto st = json_out::write_float(num, value.as_float()); !st) return st;
            out += "{\"Float\":";
            out += num;
            out.push_back('}');
            return {};
        }
        case ValueKind::Bool: out += value.as_bool() ? "{\"Bool\":true}" : "{\"Bool\":false}"; return {};
        case ValueKind::Text: return write_text_value(out, "Text", value.as_text());
        case ValueKind::Uuid: return write_text_value(out, "Uuid", value.as_text());
        case ValueKind::Date: return write_text_value(out, "Date", value.as_text());
        case ValueKind::DateTime: return write_text_value(out, "DateTime", value.as_text());
    }
    return storage_error("unknown value kind");
}

Result<Value> read_value(JsonReader& in) {
    auto head = in.begin_variant("enum Value");
    if (!head) return fail(head.error());
    auto kind = find_name(kValueKinds, head->name);
    if (!kind) return fail(in.unknown_variant(head->name, kValueKinds));
    auto k = static_cast<ValueKind>(*kind);
    if (head->unit) {
        if (k == ValueKind::Null) return Value::null();
        return fail(unit_for_newtype(in));
    }
    Value v;
    switch (k) {
        case ValueKind::Null: {
            if (auto st = in.read_null("unit"); !st) return fail(st.error());
            break;
        }
        case ValueKind::Int: {
            auto i = in.read_i64();
            if (!i) return fail(i.error());
            v = Value::integer(*i);
            break;
        }
        case ValueKind::Float: {
            auto f = in.read_f64();
            if (!f) return fail(f.error());
            v = Value::floating(*f);
            break;
        }
        case ValueKind::Bool: {
            auto b = in.read_bool();
            if (!b) return fail(b.error());
            v = Value::boolean(*b);
            break;
        }
        case ValueKind::Text:
        case ValueKind::Uuid:
        case ValueKind::Date:
        case ValueKind::DateTime: {
            auto s = in.read_string();
            if (!s) return fail(s.error());
            v = Value::with_text(k, std::move(*s));
            break;
        }
    }
    if (auto st = in.end_variant(); !st) return fail(st.error());
    return v;
}


Status write_data_type(std::string& out, const DataType& type) {
    if (type.kind == DataTypeKind::Str) {
        out += "{\"Str\":";
        json_out::write_unsigned(out, type.size);
        out.push_back('}');
        return {};
    }
    auto i = static_cast<std::size_t>(type.kind);
    if (i >= kTypeKinds.size()) return storage_error("unknown column type");
    out.push_back('"');
    out += kTypeKinds[i];
    out.push_back('"');
    return {};
}

Status write_default(std::string& out, const DefaultValue& def) {
    if (def.is_today()) {
        out += "\"Today\"";
        return {};
    }
    out += "{\"Literal\":";
    if (auto st = write_value(out, def.literal); !st) return st;
    out.push_back('}');
    return {};
}

Status write_column(std::string& out, const Column& column) {
    out += "{\"name\":";
    if (auto st = json_out::write_string(out, column.name); !st) return st;
    out += ",\"data_type\":";
    if (auto st = write_data_type(out, column.data_type); !st) return st;
    if (column.default_value) {
        out += ",\"default\":";
        if (auto st = write_default(out, *column.default_value); !st) return st;
    }
    if (column.salt) {
        out += ",\"salt\":";
        if (auto st = json_out::write_string(out, *column.salt); !st) return st;
    }
    if (!column.nullable) out += ",\"nullable\":false";
    out.push_back('}');
    return {};
}

Status write_row(std::string& out, std::span<const Value> row) {
    out.push_back('[');
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) out.push_back(',');
        if (auto st = write_value(out, row[i]); !st) return st;
    }
    out.push_back(']');
    return {};
}

Result<DataType> read_data_type(JsonReader& in) {
    auto head = in.begin_variant("enum DataType");
    if (!head) return fail(head.error());
    auto kind = find_name(kTypeKinds, head->name);
    if (!kind) return fail(in.unknown_variant(head->name, kTypeKinds));
    auto k = static_cast<DataTypeKind>(*kind);
    if (head->unit) {
        if (k == DataTypeKind::Str) return fail(unit_for_newtype(in));
        return DataType::of(k);
    }
    DataType t = DataType::of(k);
    if (k == DataTypeKind::Str) {
        auto n = in.read_u16();
        if (!n) return fail(n.error());
        t = DataType::str(*n);
    } else if (auto st = in.read_null("unit"); !st) {
        return fail(st.error());
    }
    if (auto st = in.end_variant(); !st) return fail(st.error());
    return t;
}

Result<DefaultValue> read_default(JsonReader& in) {
    auto head = in.begin_variant("enum DefaultValue");
    if (!head) return fail(head.error());
    auto kind = find_name(kDefaultKinds, head->name);
    if (!kind) return fail(in.unknown_variant(head->name, kDefaultKinds));
    bool today = *kind == 0;
    if (head->unit) {
        if (today) return DefaultValue::today();
        return fail(unit_for_newtype(in));
    }
    DefaultValue d = DefaultValue::today();
    if (today) {
        if (auto st = in.read_null("unit"); !st) return fail(st.error());
    } else {
        auto v = read_value(in);
        if (!v) return fail(v.error());
        d = DefaultValue::of(std::move(*v));
    }
    if (auto st = in.end_variant(); !st) return fail(st.error());
    return d;
}

Result<Column> read_column(JsonReader& in) {
    static constexpr RecordShape kShape{"struct Column", kColumnFields, 0b11, 2};
    Column c;
    auto st = in.read_record(kShape, [&](std::size_t field) -> Status {
        switch (field) {
            case 0: {
                auto s = in.read_string();
                if (!s) return fail(s.error());
                c.name = std::move(*s);
                return {};
            }
            case 1: {
                auto t = read_data_type(in);
                if (!t) return fail(t.error());
                c.data_type = *t;
                return {};
            }
            case 2: {
                if (in.take_null()) {
                    c.default_value.reset();
                    return {};
                }
                auto d = read_default(in);
                if (!d) return fail(d.error());
                c.default_value = std::move(*d);
                return {};
            }
            case 3: {
                if (in.take_null()) {
                    c.salt.reset();
                    return {};
                }
                auto s = in.read_string();
                if (!s) return fail(s.error());
                c.salt = std::move(*s);
                return {};
            }
            default: {
                auto b = in.read_bool();
                if (!b) return fail(b.error());
                c.nullable = *b;
                return {};
            }
        }
    });
    if (!st) return fail(st.error());
    return c;
}

Result<std::vector<Column>> read_column_list(JsonReader& in) {
    std::vector<Column> columns;
    auto st = in.read_array([&]() -> Status {
        auto c = read_column(in);
        if (!c) return fail(c.error());
        columns.push_back(std::move(*c));
        return {};
    });
    if (!st) return fail(st.error());
    return columns;
}

Result<Row> read_row(JsonReader& in) {
    Row row;
    auto st = in.read_array([&]() -> Status {
        auto v = read_value(in);
        if (!v) return fail(v.error());
        row.push_back(std::move(*v));
        return {};
    });
    if (!st) return fail(st.error());
    return row;
}

}  // namespace schema_json
}  // namespace zembrel
