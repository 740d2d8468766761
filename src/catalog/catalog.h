// The in-memory catalog of a page store: table name -> CatalogEntry. While a
// page store is open this map is the authority on every table's columns,
// roots, row-id counter and indexes; each change of a stored field is also
// written into the catalog tree at once (the page-store operations do that).
//
// Names are compared byte for byte. Ownership: the Catalog owns its entries;
// references handed out stay valid until that entry is erased (the map is
// node-based, so other insertions do not move entries). Thread: the owning
// engine's.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "catalog/catalog_entry.h"
#include "types/error.h"

namespace zembrel {

// Hashing that lets string_view keys find std::string entries without a copy.
struct CatalogNameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

class Catalog {
public:
    using Map = std::unordered_map<std::string, CatalogEntry, CatalogNameHash, std::equal_to<>>;

    // The table's entry, or nullptr.
    const CatalogEntry* get(std::string_view name) const;
    CatalogEntry* get(std::string_view name);
    // The table's entry, or Execution "table '{}' not found".
    Result<CatalogEntry*> table(std::string_view name);
    Result<const CatalogEntry*> table(std::string_view name) const;
    // An owned deep copy of the table's entry, or the same error.
    Result<CatalogEntry> clone_entry(std::string_view name) const;

    bool contains(std::string_view name) const { return get(name) != nullptr; }
    // Inserts or replaces the entry under `name`.
    void put(std::string name, CatalogEntry entry);
    // Removes and returns the entry, if present.
    std::optional<CatalogEntry> take(std::string_view name);
    void clear() { entries_.clear(); }

    size_t size() const { return entries_.size(); }
    // Unordered; callers that need a repeatable order sort the names.
    const Map& entries() const { return entries_; }
    Map& entries() { return entries_; }

private:
    Map entries_;
};

}  // namespace zembrel
