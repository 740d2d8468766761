// A table's merge policy: what a shadow merge does with a row that changed
// both in the shadow and in the base since the shadow read it. The catalog
// keeps a table's policy as its word ("lww", "error", "field_merge",
// "manual"); ALTER TABLE ... SET MERGE POLICY stores `word()` of a parsed
// policy there, and the merge parses the stored word back with `parse`
// (a stored word that does not parse is treated as no policy).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zembrel {

class MergePolicy {
public:
    // The numbers are the policy's byte value.
    enum Kind : std::uint8_t { Lww = 0, Error = 1, FieldMerge = 2, Manual = 3 };

    constexpr MergePolicy(Kind kind) : kind_(kind) {}  // NOLINT: implicit by design

    // Leading and trailing Unicode white space is dropped and ASCII letters
    // are lower-cased; then "lww", "error", "manual" and "field_merge" (also
    // written "fieldmerge" or "field-merge") are policies. Anything else,
    // the empty text included, is none.
    static std::optional<MergePolicy> parse(std::string_view text);

    constexpr Kind kind() const { return kind_; }
    // The canonical word: "lww", "error", "field_merge" or "manual".
    std::string_view word() const;

    constexpr bool operator==(const MergePolicy&) const = default;

private:
    Kind kind_;
};

}  // namespace zembrel
