/* Shared handles through the public header: the refusal of transactions,
 * the error slot and its per-thread copies, commits without a save, the
 * lock, and many threads on one handle. */
#include <pthread.h>
#include <stdint.h>

#include "capi_util.h"
#include "zembrel.h"

static const char* kRefusal =
    "Execution error: interactive transactions are not yet supported over shared connections "
    "(each statement auto-commits)";

static void test_null_arguments(void) {
    CHECK(zembrel_open_shared(NULL) == NULL);
    CHECK(zembrel_open_shared("\xff\xfe") == NULL);
    CHECK(zembrel_exec_shared(NULL, "BEGIN") == 1);
    CHECK(zembrel_query_shared(NULL, "BEGIN") == NULL);
    CHECK(zembrel_errmsg_shared(NULL) == NULL);
    zembrel_close_shared(NULL);
}

static void test_slot_and_statements(const char* dir) {
    char* path = join_path(dir, "shared.db");
    zembrel_shared* db = zembrel_open_shared(path); /* missing: created */
    CHECK(db != NULL);
    CHECK(zembrel_open_shared(path) == NULL); /* held by the first */
    CHECK(zembrel_errmsg_shared(db) == NULL);

    for (const char** sql = (const char*[]){"BEGIN", "COMMIT", "ROLLBACK", NULL}; *sql; ++sql) {
        CHECK(zembrel_exec_shared(db, *sql) == 1);
        CHECK_STR(zembrel_errmsg_shared(db), kRefusal);
    }
    CHECK(zembrel_query_shared(db, "BEGIN") == NULL);
    CHECK(zembrel_exec_shared(db, NULL) == 1);
    CHECK_STR(zembrel_errmsg_shared(db), "invalid SQL string");
    CHECK(zembrel_exec_shared(db, "INSERT INTO t VALUES (1) \xc0\xaf") == 1);
    CHECK_STR(zembrel_errmsg_shared(db), "invalid SQL string");

    CHECK(zembrel_exec_shared(db, "CREATE TABLE t (id INT, name TEXT)") == 0);
    CHECK(zembrel_errmsg_shared(db) == NULL); /* a success clears the slot */
    zembrel_result* rs = zembrel_query_shared(db, "INSERT INTO t VALUES (1, 'it''s')");
    CHECK(rs != NULL);
    CHECK_STR(zembrel_result_message(rs), "Inserted 1 row(s) into 't'. (1 total)");
    zembrel_result_free(rs);
    CHECK(zembrel_exec_shared(db, "INSERT INTO nope VALUES (1)") == 1);
    CHECK_PREFIX(zembrel_errmsg_shared(db), "Execution error: ");

    /* Two calls on one thread: the second frees the first copy, even across
     * handles (ASan reports a leak or a double free otherwise). */
    char* other_path = join_path(dir, "other.db");
    zembrel_shared* other = zembrel_open_shared(other_path);
    CHECK(other != NULL);
    CHECK(zembrel_exec_shared(other, "COMMIT") == 1);
    const char* first = zembrel_errmsg_shared(db);
    CHECK_PREFIX(first, "Execution error: ");
    CHECK_STR(zembrel_errmsg_shared(other), kRefusal);
    zembrel_close_shared(other);
    free(other_path);

    zembrel_close_shared(db);

    /* Committed without any save: a plain handle sees the row. */
    zembrel_db* plain = zembrel_open(path);
    CHECK(plain != NULL);
    CHECK(zembrel_exec(plain, "INSERT INTO t VALUES (2, 'b')") == 0);
    zembrel_close(plain);
    free(path);
}

static void test_not_a_page_file(const char* dir) {
    char* path = join_path(dir, "legacy.db");
    FILE* f = fopen(path, "wb");
    fputs("{\"tables\":{}}", f);
    fclose(f);
    CHECK(zembrel_open_shared(path) == NULL);
    free(path);
}

/* ---- many threads on one handle ---------------------------------------- */

enum { kThreads = 6, kInsertsPerThread = 60 };

struct worker {
    zembrel_shared* db;
    int id;
    int failed;
};

static void* insert_and_read_errors(void* arg) {
    struct worker* w = arg;
    char sql[128];
    for (int i = 0; i < kInsertsPerThread; ++i) {
        snprintf(sql, sizeof sql, "INSERT INTO m VALUES (%d, %d)", w->id, i);
        if (zembrel_exec_shared(w->db, sql) != 0) w->failed++;
        /* Errors of other threads land in the one slot; the copy is ours. */
        if (zembrel_exec_shared(w->db, "ROLLBACK") != 1) w->failed++;
        const char* msg = zembrel_errmsg_shared(w->db);
        if (msg != NULL && strlen(msg) == 0) w->failed++;
    }
    return NULL;
}

/* Counts never go back and always land on whole statements. */
static void* count_rows(void* arg) {
    struct worker* w = arg;
    long last = 0;
    for (int i = 0; i < 200; ++i) {
        zembrel_result* rs = zembrel_query_shared(w->db, "SELECT COUNT(*) FROM m");
        if (rs == NULL) {
            w->failed++;
            continue;
        }
        const char* cell = zembrel_result_value(rs, 0, 0);
        long n = cell ? strtol(cell, NULL, 10) : -1;
        if (n < last || n > kThreads * kInsertsPerThread) w->failed++;
        last = n;
        zembrel_result_free(rs);
    }
    return NULL;
}

static void test_threads(const char* dir) {
    char* path = join_path(dir, "threads.db");
    zembrel_shared* db = zembrel_open_shared(path);
    CHECK(db != NULL);
    CHECK(zembrel_exec_shared(db, "CREATE TABLE m (w INT, i INT)") == 0);
    pthread_t threads[kThreads + 2];
    struct worker workers[kThreads + 2];
    for (int t = 0; t < kThreads + 2; ++t) {
        workers[t] = (struct worker){db, t, 0};
        CHECK(pthread_create(&threads[t], NULL, t < kThreads ? insert_and_read_errors : count_rows, &workers[t]) == 0);
    }
    for (int t = 0; t < kThreads + 2; ++t) {
        pthread_join(threads[t], NULL);
        CHECK(workers[t].failed == 0);
    }
    zembrel_result* rs = zembrel_query_shared(db, "INSERT INTO m VALUES (-1, -1)");
    char expected[96];
    snprintf(expected, sizeof expected, "Inserted 1 row(s) into 'm'. (%d total)", kThreads * kInsertsPerThread + 1);
    CHECK_STR(zembrel_result_message(rs), expected);
    zembrel_result_free(rs);
    zembrel_close_shared(db);
    free(path);
}

int main(void) {
    char* dir = make_temp_dir();
    test_null_arguments();
    test_slot_and_statements(dir);
    test_not_a_page_file(dir);
    test_threads(dir);
    remove_dir(dir);
    free(dir);
    if (failures) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
