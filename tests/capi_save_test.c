/* zembrel_save and zembrel_save_as through the public header: the messages,
 * a destination another handle holds, an open transaction (a save waits for
 * its COMMIT), and the copies of a file and of an in-memory database
 * reopened with their rows and unique indexes (a repeated key is refused
 * only if both survived). */
#include "capi_util.h"
#include "zembrel.h"

static char* read_all(const char* path, long* len) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) return NULL;
    fseek(f, 0, SEEK_END);
    *len = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* buf = malloc((size_t)*len + 1);
    if (fread(buf, 1, (size_t)*len, f) != (size_t)*len) *len = -1;
    fclose(f);
    return buf;
}

/* The key is in the table and its unique index refuses it again. */
static void check_has_key(const char* path, const char* key) {
    zembrel_db* db = zembrel_open(path);
    CHECK(db != NULL);
    if (db == NULL) return;
    char sql[128];
    snprintf(sql, sizeof sql, "INSERT INTO t (name) VALUES ('%s')", key);
    CHECK(zembrel_exec(db, sql) == 1);
    CHECK_PREFIX(zembrel_errmsg(db), "Execution error: unique");
    zembrel_close(db);
}

static void make_table(zembrel_db* db) {
    CHECK(zembrel_exec(db, "CREATE TABLE t (id PK, name TEXT)") == 0);
    CHECK(zembrel_exec(db, "CREATE UNIQUE INDEX t_name ON t (name)") == 0);
    CHECK(zembrel_exec(db, "INSERT INTO t (name) VALUES ('a')") == 0);
}

static void test_messages(const char* dir) {
    CHECK(zembrel_save(NULL) == 1);
    CHECK(zembrel_save_as(NULL, "x") == 1);
    zembrel_db* mem = zembrel_open_memory();
    make_table(mem);
    CHECK(zembrel_save(mem) == 1);
    CHECK_STR(zembrel_errmsg(mem), "no file path set");
    CHECK(zembrel_save_as(mem, NULL) == 1);
    CHECK_STR(zembrel_errmsg(mem), "invalid path");
    CHECK(zembrel_save_as(mem, "\xc0\xaf") == 1);
    CHECK_STR(zembrel_errmsg(mem), "invalid path");

    /* A transaction open: refused on both routes, nothing written. */
    char* txn_path = join_path(dir, "txn.db");
    CHECK(zembrel_exec(mem, "BEGIN") == 0);
    CHECK(zembrel_save_as(mem, txn_path) == 1);
    CHECK_STR(zembrel_errmsg(mem), "Execution error: cannot save as while a transaction is active");
    CHECK(file_size(txn_path) == -1);
    CHECK(zembrel_exec(mem, "ROLLBACK") == 0);

    char* file_path = join_path(dir, "file.db");
    zembrel_db* db = zembrel_open(file_path);
    CHECK(zembrel_save(db) == 0);
    CHECK(zembrel_errmsg(db) == NULL);
    CHECK(zembrel_exec(db, "BEGIN") == 0);
    CHECK(zembrel_save_as(db, txn_path) == 1);
    CHECK_STR(zembrel_errmsg(db), "Execution error: cannot save as while a transaction is active");
    CHECK(file_size(txn_path) == -1);
    /* A save would keep none of the transaction's rows: refused until COMMIT,
     * which saves them. */
    CHECK(zembrel_exec(db, "CREATE TABLE k (n INT)") == 0);
    CHECK(zembrel_exec(db, "INSERT INTO k VALUES (1)") == 0);
    CHECK(zembrel_save(db) == 1);
    CHECK_STR(zembrel_errmsg(db), "Execution error: cannot save while a transaction is active");
    CHECK(zembrel_exec(db, "INSERT INTO k VALUES (2)") == 0);
    CHECK(zembrel_exec(db, "COMMIT") == 0);
    CHECK(zembrel_save(db) == 0);
    CHECK(zembrel_errmsg(db) == NULL);
    zembrel_close(db);
    db = zembrel_open(file_path);
    zembrel_result* rs = zembrel_query(db, "SELECT COUNT(*) FROM k");
    CHECK(zembrel_result_row_count(rs) == 1);
    CHECK_STR(zembrel_result_value(rs, 0, 0), "2");
    zembrel_result_free(rs);
    zembrel_close(db);
    zembrel_close(mem);
    free(txn_path);
    free(file_path);
}

static void test_memory_save_as(const char* dir) {
    char* path = join_path(dir, "mem.db");
    zembrel_db* mem = zembrel_open_memory();
    make_table(mem);
    CHECK(zembrel_save_as(mem, path) == 0);
    CHECK(zembrel_errmsg(mem) == NULL);
    CHECK(zembrel_exec(mem, "INSERT INTO t (name) VALUES ('b')") == 0);
    CHECK(zembrel_save(mem) == 0);
    /* Now a file database: a second save-as to a taken path is refused. */
    CHECK(zembrel_save_as(mem, path) == 1);
    CHECK_STR(zembrel_errmsg(mem), "Execution error: cannot save as onto the database's own file");
    zembrel_close(mem);
    check_has_key(path, "a");
    check_has_key(path, "b");
    free(path);
}

static void test_file_save_as(const char* dir) {
    char* src = join_path(dir, "src.db");
    char* dst = join_path(dir, "dst.db");
    char* held = join_path(dir, "held.db");
    zembrel_db* db = zembrel_open(src);
    make_table(db);

    /* Another handle holds the destination: its file stays as it was. */
    zembrel_db* holder = zembrel_open(held);
    CHECK(zembrel_exec(holder, "CREATE TABLE h (a INT)") == 0);
    long before_len = 0, after_len = 0;
    char* before = read_all(held, &before_len);
    CHECK(zembrel_save_as(db, held) == 1);
    CHECK_PREFIX(zembrel_errmsg(db), "Storage error: database '");
    char* after = read_all(held, &after_len);
    CHECK(before_len == after_len && before_len > 0 && memcmp(before, after, (size_t)before_len) == 0);
    free(before);
    free(after);
    zembrel_close(holder);
    /* The handle still works on its own file. */
    CHECK(zembrel_exec(db, "INSERT INTO t (name) VALUES ('b')") == 0);

    CHECK(zembrel_save_as(db, dst) == 0);
    CHECK(zembrel_exec(db, "INSERT INTO t (name) VALUES ('c')") == 0);
    zembrel_close(db);
    check_has_key(dst, "b");
    check_has_key(dst, "c");
    /* The old file is unlocked and kept the state of the save-as. */
    zembrel_db* old = zembrel_open(src);
    CHECK(old != NULL);
    CHECK(zembrel_exec(old, "INSERT INTO t (name) VALUES ('c')") == 0);
    CHECK(zembrel_exec(old, "INSERT INTO t (name) VALUES ('b')") == 1);
    zembrel_close(old);
    free(src);
    free(dst);
    free(held);
}

int main(void) {
    char* dir = make_temp_dir();
    test_messages(dir);
    test_memory_save_as(dir);
    test_file_save_as(dir);
    remove_dir(dir);
    free(dir);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
