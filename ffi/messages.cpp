#include "messages.h"

#include "types/text_format.h"

namespace zembrel::ffi {

namespace {
struct MessageOf {
    std::string operator()(const TableCreated& r) const { return zembrel::format("Table '{}' created.", r.table); }
    std::string operator()(const TableAltered& r) const { return zembrel::format("Table '{}' altered.", r.table); }
    std::string operator()(const MergePolicySet& r) const {
        return zembrel::format("Table '{}' merge policy set to {}.", r.table, r.policy.value_or("DEFAULT"));
    }
    std::string operator()(const TableDropped& r) const { return zembrel::format("Table '{}' dropped.", r.table); }
    std::string operator()(const TableTruncated& r) const {
        return zembrel::format("Table '{}' truncated. ({} row(s) removed)", r.table, r.removed);
    }
    std::string operator()(const Inserted& r) const {
        if (r.pk) return zembrel::format("Inserted 1 row into '{}'. PK: {} ({} total)", r.table, *r.pk, r.total);
        return zembrel::format("Inserted {} row(s) into '{}'. ({} total)", r.count, r.table, r.total);
    }
    std::string operator()(const Updated& r) const {
        return zembrel::format("Updated {} row(s) in '{}'.", r.count, r.table);
    }
    std::string operator()(const Deleted& r) const {
        return zembrel::format("Deleted {} row(s) from '{}'. ({} remaining)", r.count, r.table, r.remaining);
    }
    std::string operator()(const Rows&) const { return ""; }
    std::string operator()(const TransactionStarted&) const { return "Transaction started."; }
    std::string operator()(const TransactionCommitted&) const { return "Transaction committed."; }
    std::string operator()(const TransactionRolledBack&) const { return "Transaction rolled back."; }
    std::string operator()(const IndexCreated& r) const { return zembrel::format("Index '{}' created.", r.index); }
    std::string operator()(const IndexDropped& r) const {
        return zembrel::format("Index '{}' dropped from '{}'.", r.index, r.table);
    }
};
}  // namespace

std::string exec_result_message(const ExecResult& result) { return std::visit(MessageOf{}, result); }

}  // namespace zembrel::ffi
