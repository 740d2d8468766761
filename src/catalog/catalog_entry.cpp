#include "catalog/catalog_entry.h"

#include <array>
#include <utility>

#include "catalog/json_reader.h"
#include "catalog/json_writer.h"
#include "catalog/schema_json.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

constexpr std::array<std::string_view, 6> kEntryFields = {"columns",      "root",        "rowid_hint",
                                                          "indexes",      "merge_policy", "shadow_merges"};
constexpr std::array<std::string_view, 5> kIndexFields = {"name", "columns", "column", "root", "unique"};

Status write_index(std::string& out, const IndexCatalogEntry& index) {
    out += "{\"name\":";
    if (auto st = json_out::write_string(out, index.name); !st) return st;
    out += ",\"columns\":[";
    for (std::size_t i = 0; i < index.columns.size(); ++i) {
        if (i > 0) out.push_back(',');
        if (auto st = json_out::write_string(out, index.columns[i]); !st) return st;
    }
    out.push_back(']');
    if (!index.column.empty()) {
        out += ",\"column\":";
        if (auto st = json_out::write_string(out, index.column); !st) return st;
    }
    out += ",\"root\":";
    json_out::write_unsigned(out, index.root);
    out += index.unique ? ",\"unique\":true}" : ",\"unique\":false}";
    return {};
}

Status write_entry(std::string& out, const CatalogEntry& e) {
    out += "{\"columns\":[";
    for (std::size_t i = 0; i < e.columns.size(); ++i) {
        if (i > 0) out.push_back(',');
        if (auto st = schema_json::write_column(out, e.columns[i]); !st) return st;
    }
    out += "],\"root\":";
    json_out::write_unsigned(out, e.root);
    out += ",\"rowid_hint\":";
    json_out::write_unsigned(out, e.rowid_hint);
    out += ",\"indexes\":[";
    for (std::size_t i = 0; i < e.indexes.size(); ++i) {
        if (i > 0) out.push_back(',');
        if (auto st = write_index(out, e.indexes[i]); !st) return st;
    }
    out.push_back(']');
    if (e.merge_policy) {
        out += ",\"merge_policy\":";
        if (auto st = json_out::write_string(out, *e.merge_policy); !st) return st;
    }
    if (!e.shadow_merges.empty()) {
        out += ",\"shadow_merges\":{";
        bool first = true;
        for (const auto& [stem, id] : e.shadow_merges) {
            if (!std::exchange(first, false)) out.push_back(',');
            if (auto st = json_out::write_string(out, stem); !st) return st;
            out.push_back(':');
            if (auto st = json_out::write_string(out, id); !st) return st;
        }
        out.push_back('}');
    }
    out.push_back('}');
    return {};
}

Result<std::vector<std::string>> read_name_list(JsonReader& in) {
    std::vector<std::string> names;
    auto st = in.read_array([&]() -> Status {
        auto s = in.read_string();
        if (!s) return fail(s.error());
        names.push_back(std::move(*s));
        return {};
    });
    if (!st) return fail(st.error());
    return names;
}

// An object of string values; a key given twice keeps its last value.
Status read_text_map(JsonReader& in, std::map<std::string, std::string>& out) {
    if (in.peek().kind != JsonToken::BeginObject) return fail(in.invalid_type("a map"));
    in.advance();
    out.clear();
    while (in.peek().kind == JsonToken::Key) {
        std::string key(in.text_of(in.peek()));
        in.advance();
        auto value = in.read_string();
        if (!value) return fail(value.error());
        out.insert_or_assign(std::move(key), std::move(*value));
    }
    if (in.peek().kind != JsonToken::EndObject) return fail(in.invalid_type("a field name"));
    in.advance();
    return {};
}

Result<IndexCatalogEntry> read_index(JsonReader& in) {
    static constexpr RecordShape kShape{"struct IndexCatalogEntry", kIndexFields, 0b01001, 4};
    IndexCatalogEntry ix;
    auto st = in.read_record(kShape, [&](std::size_t field) -> Status {
        switch (field) {
            case 0: {
                auto s = in.read_string();
                if (!s) return fail(s.error());
                ix.name = std::move(*s);
                return {};
            }
            case 1: {
                auto names = read_name_list(in);
                if (!names) return fail(names.error());
                ix.columns = std::move(*names);
                return {};
            }
            case 2: {
                auto s = in.read_string();
                if (!s) return fail(s.error());
                ix.column = std::move(*s);
                return {};
            }
            case 3: {
                auto r = in.read_u64();
                if (!r) return fail(r.error());
                ix.root = *r;
                return {};
            }
            default: {
                auto b = in.read_bool();
                if (!b) return fail(b.error());
                ix.unique = *b;
                return {};
            }
        }
    });
    if (!st) return fail(st.error());
    return ix;
}

Result<CatalogEntry> read_entry(JsonReader& in) {
    static constexpr RecordShape kShape{"struct CatalogEntry", kEntryFields, 0b000111, 3, 5};
    CatalogEntry e;
    auto st = in.read_record(kShape, [&](std::size_t field) -> Status {
        switch (field) {
            case 0: {
                auto cols = schema_json::read_column_list(in);
                if (!cols) return fail(cols.error());
                e.columns = std::move(*cols);
                return {};
            }
            case 1:
            case 2: {
                auto n = in.read_u64();
                if (!n) return fail(n.error());
                (field == 1 ? e.root : e.rowid_hint) = *n;
                return {};
            }
            case 3: {
                e.indexes.clear();
                return in.read_array([&]() -> Status {
                    auto ix = read_index(in);
                    if (!ix) return fail(ix.error());
                    e.indexes.push_back(std::move(*ix));
                    return {};
                });
            }
            case 5: return read_text_map(in, e.shadow_merges);
            default: {
                if (in.take_null()) {
                    e.merge_policy.reset();
                    return {};
                }
                auto s = in.read_string();
                if (!s) return fail(s.error());
                e.merge_policy = std::move(*s);
                return {};
            }
        }
    });
    if (!st) return fail(st.error());
    return e;
}

}  // namespace

Result<std::string> CatalogEntry::to_json() const {
    std::string out;
    out.reserve(128);
    if (auto st = write_entry(out, *this); !st) return storage_error(format("catalog encode failed: {}", st.error().message));
    return out;
}

Result<CatalogEntry> CatalogEntry::from_json(std::string_view bytes) {
    JsonReader in(bytes);
    auto e = read_entry(in);
    if (!e) return e;
    if (auto st = in.finish(); !st) return fail(st.error());
    return e;
}

std::optional<std::size_t> first_pk_column(std::span<const Column> columns) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i].data_type.kind == DataTypeKind::Pk) return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> column_position(std::span<const Column> columns, std::string_view name) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (columns[i].name == name) return i;
    }
    return std::nullopt;
}

Status CatalogEntry::derive_fields() {
    pk_column = first_pk_column(columns);
    for (IndexCatalogEntry& ix : indexes) {
        if (ix.columns.empty()) ix.columns.push_back(ix.column);
        ix.column.clear();
        ix.positions.clear();
        ix.positions.reserve(ix.columns.size());
        for (const std::string& name : ix.columns) {
            auto at = column_position(columns, name);
            if (!at) return storage_error(format("index '{}' names unknown column '{}'", ix.name, name));
            ix.positions.push_back(*at);
        }
    }
    rowid_counter = rowid_hint;
    return {};
}

}  // namespace zembrel
