/* The shadow functions of the C interface: one table of {call, result,
 * message left in the slot}, run in order over one base database. */
#include "capi_util.h"
#include "zembrel.h"

/* The slot text after a call: NULL expected means an empty slot; a text
 * ending in '*' is a prefix. */
static void check_row(int line, const char* call, long long got, long long want, const char* msg, const char* want_msg) {
    if (got != want) {
        fprintf(stderr, "line %d: %s returned %lld, expected %lld (slot: %s)\n", line, call, got, want, msg ? msg : "NULL");
        failures++;
    }
    if (want_msg == NULL) {
        if (msg != NULL) {
            fprintf(stderr, "line %d: %s left \"%s\", expected an empty slot\n", line, call, msg);
            failures++;
        }
        return;
    }
    size_t n = strlen(want_msg);
    int prefix = n > 0 && want_msg[n - 1] == '*';
    if (msg == NULL || (prefix ? strncmp(msg, want_msg, n - 1) != 0 : strcmp(msg, want_msg) != 0)) {
        fprintf(stderr, "line %d: %s left %s%s%s, expected \"%s\"\n", line, call, msg ? "\"" : "", msg ? msg : "NULL",
                msg ? "\"" : "", want_msg);
        failures++;
    }
}

#define ROW(sh, call, want, want_msg)                                                   \
    do {                                                                                \
        long long got_ = (long long)(call);                                             \
        check_row(__LINE__, #call, got_, (want), zembrel_shadow_errmsg(sh), (want_msg)); \
    } while (0)

static void base_exec(const char* path, const char* sql) {
    zembrel_db* db = zembrel_open(path);
    CHECK(db != NULL);
    if (db == NULL) return;
    if (zembrel_exec(db, sql) != 0) {
        fprintf(stderr, "base: %s -> %s\n", sql, zembrel_errmsg(db));
        failures++;
    }
    zembrel_close(db);
}

int main(void) {
    char* dir = make_temp_dir();
    char* path = join_path(dir, "app.db");
    base_exec(path, "CREATE TABLE t (id PK, a INT, b INT)");
    base_exec(path, "CREATE TABLE bag (a INT)");
    base_exec(path, "INSERT INTO t (a, b) VALUES (1, 1), (2, 2)");

    /* NULL handles and arguments. */
    zembrel_shadow* none = NULL;
    ROW(none, zembrel_shadow_pending(NULL), -1, NULL);
    ROW(none, zembrel_shadow_unsealed(NULL), -1, NULL);
    ROW(none, zembrel_shadow_exec(NULL, "SELECT a FROM t"), 1, NULL);
    ROW(none, zembrel_shadow_query(NULL, "SELECT a FROM t") != NULL, 0, NULL);
    ROW(none, zembrel_shadow_seal(NULL, "a", "m"), -1, NULL);
    ROW(none, zembrel_shadow_refresh(NULL), 1, NULL);
    ROW(none, zembrel_shadow_commit(NULL), -1, NULL);
    ROW(none, zembrel_shadow_conflicts(NULL), -1, NULL);
    ROW(none, zembrel_shadow_set_merge_policy(NULL, "t", "lww"), 1, NULL);
    ROW(none, zembrel_shadow_open(NULL) != NULL, 0, NULL);
    ROW(none, zembrel_shadow_open_branch(path, NULL) != NULL, 0, NULL);
    ROW(none, zembrel_shadow_open_branch(path, ".hidden") != NULL, 0, NULL);
    ROW(none, zembrel_shadow_open_branch(path, "a/b") != NULL, 0, NULL);
    zembrel_shadow_close(NULL);

    /* An anonymous shadow. */
    zembrel_shadow* sh = zembrel_shadow_open(path);
    CHECK(sh != NULL);
    ROW(sh, zembrel_shadow_pending(sh), 0, NULL);
    ROW(sh, zembrel_shadow_unsealed(sh), 0, NULL);
    ROW(sh, zembrel_shadow_commit(sh), 0, NULL);
    ROW(sh, zembrel_shadow_conflicts(sh), 0, NULL);
    ROW(sh, zembrel_shadow_exec(sh, NULL), 1, "invalid SQL string");
    ROW(sh, zembrel_shadow_exec(sh, "\xff"), 1, "invalid SQL string");
    ROW(sh, zembrel_shadow_exec(sh, "CREATE TABLE x (a INT)"), 1,
        "Execution error: shadow sessions are DML-only: DDL, TRUNCATE and transactions must run on a classic "
        "exclusive connection (RFC GIT_MERGE \xc2\xa7" "3.5)");
    ROW(sh, zembrel_shadow_exec(sh, "BEGIN"), 1, "Execution error: shadow sessions are DML-only: *");
    ROW(sh, zembrel_shadow_exec(sh, "INSERT INTO nope (a) VALUES (1)"), 1,
        "Execution error: table 'nope' not found in shadow snapshot");
    ROW(sh, zembrel_shadow_exec(sh, "DELETE FROM bag"), 1,
        "Execution error: shadow sessions require a PK column for UPDATE/DELETE (table 'bag')");
    ROW(sh, zembrel_shadow_exec(sh, "UPDATE t SET a = 1 WHERE a = 99"), 0, NULL);
    ROW(sh, zembrel_shadow_pending(sh), 0, NULL);
    ROW(sh, zembrel_shadow_seal(sh, NULL, NULL), -1,
        "Execution error: seal() is for named branches; anonymous shadows merge on commit()");
    ROW(sh, zembrel_shadow_set_merge_policy(sh, "t", "bogus"), 1, "invalid merge policy (lww|error|field_merge|manual)");
    ROW(sh, zembrel_shadow_set_merge_policy(sh, "t", NULL), 1, "invalid merge policy (lww|error|field_merge|manual)");
    ROW(sh, zembrel_shadow_set_merge_policy(sh, "t", " FIELD-MERGE "), 0, NULL);
    ROW(sh, zembrel_shadow_set_merge_policy(sh, NULL, "error"), 0, NULL);
    ROW(sh, zembrel_shadow_exec(sh, "INSERT INTO bag (a) VALUES (1), (2), (3)"), 0, NULL);
    ROW(sh, zembrel_shadow_pending(sh), 3, NULL);
    ROW(sh, zembrel_shadow_unsealed(sh), 0, NULL);
    zembrel_result* rs = zembrel_shadow_query(sh, "SELECT a FROM bag");
    ROW(sh, zembrel_result_row_count(rs), 3, NULL);
    zembrel_result_free(rs);
    rs = zembrel_shadow_query(sh, "INSERT INTO bag (a) VALUES (4)");
    CHECK_PREFIX(zembrel_result_message(rs), "Inserted 1 row(s) into 'bag'.");
    zembrel_result_free(rs);
    ROW(sh, zembrel_shadow_commit(sh), 4, NULL);
    ROW(sh, zembrel_shadow_pending(sh), 0, NULL);

    /* Two rows diverged: the report, then the refused commit, per policy. */
    ROW(sh, zembrel_shadow_exec(sh, "UPDATE t SET a = 5"), 0, NULL);
    base_exec(path, "UPDATE t SET a = 6");
    ROW(sh, zembrel_shadow_conflicts(sh), 2, "t[*");
    const char* report = zembrel_shadow_errmsg(sh);
    const char* nl = report ? strchr(report, '\n') : NULL;
    CHECK(nl != NULL && strchr(nl + 1, '\n') == NULL);
    CHECK(report && strstr(report, ": update diverged (Merged)") == NULL);
    ROW(sh, zembrel_shadow_set_merge_policy(sh, "t", "error"), 0, NULL);
    ROW(sh, zembrel_shadow_commit(sh), -1, "Execution error: merge conflict: 2 row(s) diverged from base — t[*");
    ROW(sh, zembrel_shadow_set_merge_policy(sh, "t", "lww"), 0, NULL);
    ROW(sh, zembrel_shadow_conflicts(sh), 2, "t[*");
    CHECK(strstr(zembrel_shadow_errmsg(sh), "update diverged (Ours)") != NULL);
    ROW(sh, zembrel_shadow_commit(sh), 2, NULL);
    ROW(sh, zembrel_shadow_refresh(sh), 0, NULL);
    rs = zembrel_shadow_query(sh, "SELECT a FROM t WHERE a = 5");
    ROW(sh, zembrel_result_row_count(rs), 2, NULL);
    zembrel_result_free(rs);
    zembrel_shadow_close(sh);

    /* A named branch: seal, then commit. */
    sh = zembrel_shadow_open_branch(path, "rc-1.2");
    CHECK(sh != NULL);
    ROW(sh, zembrel_shadow_seal(sh, "me", "m"), -1, "Execution error: nothing to commit (no unsealed ops)");
    ROW(sh, zembrel_shadow_exec(sh, "INSERT INTO bag (a) VALUES (7), (8), (9)"), 0, NULL);
    ROW(sh, zembrel_shadow_unsealed(sh), 3, NULL);
    ROW(sh, zembrel_shadow_commit(sh), -1,
        "Execution error: branch has 3 unsealed op(s) — seal them (commit -m) before merging");
    ROW(sh, zembrel_shadow_seal(sh, NULL, NULL), 3, NULL);
    ROW(sh, zembrel_shadow_unsealed(sh), 0, NULL);
    ROW(sh, zembrel_shadow_pending(sh), 3, NULL);
    ROW(sh, zembrel_shadow_commit(sh), 3, NULL);
    zembrel_shadow_close(sh);

    /* Closing an anonymous shadow that captured ops keeps its log. */
    sh = zembrel_shadow_open(path);
    ROW(sh, zembrel_shadow_exec(sh, "INSERT INTO bag (a) VALUES (10)"), 0, NULL);
    zembrel_shadow_close(sh);
    char* shadows = join_path(dir, "app.db.shadows");
    CHECK(count_entries(shadows) == 1);

    /* Through a symbolic link a branch is the file's own: its log sits in
     * the file's shadow folder, the same branch by the file's own name is
     * refused while it is open, and its commit reaches the file. */
    char* via_link = join_path(dir, "link.db");
    CHECK(symlink("app.db", via_link) == 0);
    sh = zembrel_shadow_open_branch(via_link, "linked");
    ROW(sh, zembrel_shadow_exec(sh, "INSERT INTO bag (a) VALUES (11)"), 0, NULL);
    CHECK(zembrel_shadow_open_branch(path, "linked") == NULL);
    CHECK(count_entries(shadows) == 2);
    char* link_shadows = join_path(dir, "link.db.shadows");
    CHECK(count_entries(link_shadows) == -1);
    ROW(sh, zembrel_shadow_seal(sh, "me", "via the link"), 1, NULL);
    ROW(sh, zembrel_shadow_commit(sh), 1, NULL);
    zembrel_shadow_close(sh);
    zembrel_db* base = zembrel_open(path);
    rs = zembrel_query(base, "SELECT COUNT(*) FROM bag WHERE a = 11");
    CHECK_STR(rs ? zembrel_result_value(rs, 0, 0) : NULL, "1");
    zembrel_result_free(rs);
    zembrel_close(base);
    unlink(via_link);
    free(link_shadows);
    free(via_link);

    remove_dir(shadows);
    free(shadows);
    remove_dir(dir);
    free(path);
    free(dir);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
