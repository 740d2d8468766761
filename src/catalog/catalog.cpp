#include "catalog/catalog.h"

#include "types/text_format.h"

namespace zembrel {

namespace {
std::unexpected<EngineError> table_not_found(std::string_view name) {
    return execution_error(format("table '{}' not found", name));
}
}  // namespace

const CatalogEntry* Catalog::get(std::string_view name) const {
    auto it = entries_.find(name);
    return it == entries_.end() ? nullptr : &it->second;
}

CatalogEntry* Catalog::get(std::string_view name) {
    auto it = entries_.find(name);
    return it == entries_.end() ? nullptr : &it->second;
}

Result<CatalogEntry*> Catalog::table(std::string_view name) {
    CatalogEntry* e = get(name);
    if (e == nullptr) return table_not_found(name);
    return e;
}

Result<const CatalogEntry*> Catalog::table(std::string_view name) const {
    const CatalogEntry* e = get(name);
    if (e == nullptr) return table_not_found(name);
    return e;
}

Result<CatalogEntry> Catalog::clone_entry(std::string_view name) const {
    const CatalogEntry* e = get(name);
    if (e == nullptr) return table_not_found(name);
    return *e;
}

void Catalog::put(std::string name, CatalogEntry entry) { entries_.insert_or_assign(std::move(name), std::move(entry)); }

std::optional<CatalogEntry> Catalog::take(std::string_view name) {
    auto it = entries_.find(name);
    if (it == entries_.end()) return std::nullopt;
    CatalogEntry e = std::move(it->second);
    entries_.erase(it);
    return e;
}

}  // namespace zembrel
