// Shadow handles: a thin layer over shadow::ShadowSession that checks the
// arguments and turns outcomes into counts, statuses and slot texts.
#include <new>

#include "c_text.h"
#include "handles.h"
#include "zembrel.h"

using namespace zembrel;

namespace {

void set_error(zembrel_shadow* sh, const EngineError& e) { sh->last_error = ffi::c_safe(e.display()); }

zembrel_shadow* new_handle(Result<shadow::ShadowSession> session) {
    if (!session) return nullptr;
    return new zembrel_shadow{std::move(*session), std::nullopt};
}

std::optional<ExecResult> run(zembrel_shadow* sh, const char* sql) {
    auto text = ffi::text_arg(sql);
    if (!text) {
        sh->last_error = "invalid SQL string";
        return std::nullopt;
    }
    auto result = sh->session.execute(*text);
    if (!result) {
        set_error(sh, result.error());
        return std::nullopt;
    }
    sh->last_error.reset();
    return std::move(*result);
}

}  // namespace

extern "C" {

zembrel_shadow* zembrel_shadow_open(const char* base_path) noexcept {
    auto path = ffi::text_arg(base_path);
    if (!path) return nullptr;
    return new_handle(shadow::ShadowSession::open(std::string(*path)));
}

zembrel_shadow* zembrel_shadow_open_branch(const char* base_path, const char* branch) noexcept {
    auto path = ffi::text_arg(base_path);
    auto name = ffi::text_arg(branch);
    if (!path || !name) return nullptr;
    return new_handle(shadow::ShadowSession::open_branch(std::string(*path), *name));
}

int zembrel_shadow_exec(zembrel_shadow* sh, const char* sql) noexcept {
    if (sh == nullptr) return 1;
    return run(sh, sql) ? 0 : 1;
}

zembrel_result* zembrel_shadow_query(zembrel_shadow* sh, const char* sql) noexcept {
    if (sh == nullptr) return nullptr;
    auto result = run(sh, sql);
    if (!result) return nullptr;
    if (auto* rows = std::get_if<Rows>(&*result)) return ffi::new_rows_result(*rows);
    return ffi::new_message_result(*result);
}

long long zembrel_shadow_pending(zembrel_shadow* sh) noexcept {
    return sh == nullptr ? -1 : static_cast<long long>(sh->session.pending);
}

long long zembrel_shadow_unsealed(zembrel_shadow* sh) noexcept {
    return sh == nullptr ? -1 : static_cast<long long>(sh->session.unsealed);
}

long long zembrel_shadow_seal(zembrel_shadow* sh, const char* author, const char* message) noexcept {
    if (sh == nullptr) return -1;
    auto sealed = sh->session.seal(ffi::text_arg(author).value_or("zembrel"), ffi::text_arg(message).value_or(""));
    if (!sealed) {
        set_error(sh, sealed.error());
        return -1;
    }
    sh->last_error.reset();
    return static_cast<long long>(*sealed);
}

int zembrel_shadow_refresh(zembrel_shadow* sh) noexcept {
    if (sh == nullptr) return 1;
    if (auto st = sh->session.refresh(); !st) {
        set_error(sh, st.error());
        return 1;
    }
    sh->last_error.reset();
    return 0;
}

long long zembrel_shadow_commit(zembrel_shadow* sh) noexcept {
    if (sh == nullptr) return -1;
    auto report = sh->session.commit();
    if (!report) {
        set_error(sh, report.error());
        return -1;
    }
    sh->last_error.reset();
    return static_cast<long long>(report->ops_merged);
}

long long zembrel_shadow_conflicts(zembrel_shadow* sh) noexcept {
    if (sh == nullptr) return -1;
    auto records = sh->session.conflicts();
    if (!records) {
        set_error(sh, records.error());
        return -1;
    }
    if (records->empty()) {
        sh->last_error.reset();
        return 0;
    }
    std::string text;
    for (const std::string& line : shadow::format_conflict_lines(*records)) {
        if (!text.empty()) text += '\n';
        text += line;
    }
    sh->last_error = ffi::c_safe(std::move(text));
    return static_cast<long long>(records->size());
}

int zembrel_shadow_set_merge_policy(zembrel_shadow* sh, const char* table, const char* policy) noexcept {
    if (sh == nullptr) return 1;
    auto word = ffi::text_arg(policy);
    std::optional<MergePolicy> parsed = word ? MergePolicy::parse(*word) : std::nullopt;
    if (!parsed) {
        sh->last_error = "invalid merge policy (lww|error|field_merge|manual)";
        return 1;
    }
    std::optional<std::string> name;
    if (auto t = ffi::text_arg(table)) name = std::string(*t);
    sh->session.set_merge_policy(name, *parsed);
    sh->last_error.reset();
    return 0;
}

const char* zembrel_shadow_errmsg(zembrel_shadow* sh) noexcept {
    if (sh == nullptr || !sh->last_error) return nullptr;
    return sh->last_error->c_str();
}

void zembrel_shadow_close(zembrel_shadow* sh) noexcept { delete sh; }

}  // extern "C"
