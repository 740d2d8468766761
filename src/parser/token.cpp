#include "parser/token.h"

#include <array>

#include "types/float_text.h"
#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel::parser {

namespace {

constexpr std::array<std::string_view, kTokenKindCount> kKindNames = {
    "Select",       "From",          "Insert",     "Into",       "Values",     "Create",       "Table",
    "Index",        "Unique",        "Default",    "Today",      "Where",      "Group",        "Exists",
    "In",           "Update",        "Delete",     "Set",        "Order",      "By",           "Limit",
    "Count",        "Sum",           "Min",        "Max",        "Avg",        "RowNumber",    "Rank",
    "Over",         "Partition",     "Rows",       "Between",    "Unbounded",  "Preceding",    "Following",
    "Current",      "Row",           "Asc",        "Desc",       "And",        "Or",           "Is",
    "Join",         "Inner",         "Left",       "Right",      "On",         "As",           "Int",
    "Text",         "Float",         "Bool",       "Pk",         "Date",       "DateTime",     "Str",
    "Hash",         "Not",           "Begin",      "Commit",     "Rollback",   "Explain",      "Alter",
    "Add",          "Drop",          "Modify",     "Column",     "Truncate",   "Null",         "True",
    "False",        "Identifier",    "IntegerLiteral", "FloatLiteral", "StringLiteral", "Comma", "Semicolon",
    "LeftParen",    "RightParen",    "Asterisk",   "Minus",      "Dot",        "Question",     "Equals",
    "LessThan",     "GreaterThan",   "LessEqual",  "GreaterEqual", "NotEqual", "Eof",
};

}  // namespace

std::string_view token_kind_name(TokenKind kind) {
    auto i = static_cast<size_t>(kind);
    return i < kKindNames.size() ? kKindNames[i] : std::string_view("Eof");
}

bool Token::operator==(const Token& o) const {
    if (kind != o.kind) return false;
    switch (kind) {
        case TokenKind::Identifier:
        case TokenKind::StringLiteral: return text == o.text;
        case TokenKind::IntegerLiteral: return int_value == o.int_value;
        case TokenKind::FloatLiteral: return float_value == o.float_value;
        default: return true;
    }
}

std::string Token::printed() const {
    const std::string_view name = token_kind_name(kind);
    switch (kind) {
        case TokenKind::Identifier:
        case TokenKind::StringLiteral: return format("{}({})", name, quoted_debug_text_all_marks(text));
        case TokenKind::IntegerLiteral: return format("{}({})", name, int_value);
        case TokenKind::FloatLiteral: return format("{}({})", name, float_debug_text(float_value));
        default: return std::string(name);
    }
}

}  // namespace zembrel::parser
