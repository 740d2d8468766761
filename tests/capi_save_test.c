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

/* A save-as destination is the file its name leads to. A link to a file
 * another handle holds is refused like the file itself, and the holder's
 * later writes last; a link to a file whose last process ended without
 * closing gets the copy in that file, whose log goes first, so that the
 * file opens as the copy by either name. */
static void test_save_as_through_links(const char* dir) {
    char* real = join_path(dir, "links_real.db");
    char* via_link = join_path(dir, "links_link.db");
    char* hard = join_path(dir, "links_hard.db");
    CHECK(symlink("links_real.db", via_link) == 0);
    zembrel_db* holder = zembrel_open(real);
    CHECK(zembrel_exec(holder, "CREATE TABLE h (a INT)") == 0);
    CHECK(link(real, hard) == 0);
    zembrel_db* mem = zembrel_open_memory();
    make_table(mem);
    const char* names[] = {via_link, hard};
    for (int i = 0; i < 2; i++) {
        CHECK(zembrel_save_as(mem, names[i]) == 1);
        char expected[512];
        snprintf(expected, sizeof expected, "Storage error: database '%s' is locked by another process", names[i]);
        CHECK_STR(zembrel_errmsg(mem), expected);
    }
    CHECK(zembrel_exec(holder, "INSERT INTO h VALUES (7)") == 0);
    zembrel_close(holder);
    unlink(hard);
    holder = zembrel_open(real);
    CHECK(count_of(holder, "SELECT COUNT(*) FROM h") == 1);
    zembrel_close(holder);

    /* The old database's last commits are only in its log. */
    exec_and_vanish(real, "INSERT INTO h VALUES (8), (9)");
    char* real_log = join_path(dir, "links_real.db.pwal");
    CHECK(file_size(real_log) > 0);
    char* src_path = join_path(dir, "links_src.db");
    zembrel_db* src = zembrel_open(src_path);
    free(src_path);
    make_table(src);
    CHECK(zembrel_save_as(src, via_link) == 0);
    zembrel_close(src);
    CHECK(file_size(real_log) == -1);
    struct stat st;
    CHECK(lstat(via_link, &st) == 0 && S_ISLNK(st.st_mode));
    const char* copies[] = {real, via_link};
    for (int i = 0; i < 2; i++) {
        check_has_key(copies[i], "a");
        zembrel_db* db = zembrel_open(copies[i]);
        CHECK(zembrel_query(db, "SELECT COUNT(*) FROM h") == NULL);
        zembrel_close(db);
    }
    zembrel_close(mem);
    free(real_log);
    free(hard);
    free(via_link);
    free(real);
}

/* Names of the form a killed save-as leaves beside `dest`. */
static void leave_scratch(const char* dest, char names[3][512]) {
    snprintf(names[0], 512, "%s.0f2c1e6a-5b7d-4c3e-9a8b-1d2e3f4a5b6c.saving", dest);
    snprintf(names[1], 512, "%s.0f2c1e6a-5b7d-4c3e-9a8b-1d2e3f4a5b6c.saving.pwal", dest);
    snprintf(names[2], 512, "%s.not-a-save.saving", dest); /* someone else's */
    for (int i = 0; i < 3; i++) {
        FILE* f = fopen(names[i], "wb");
        CHECK(f != NULL && fputs("partial", f) >= 0);
        if (f) fclose(f);
    }
}

/* What a killed save-as left beside a destination goes at the next open of
 * it and at the next save-as onto it; a destination in a folder that is
 * not there is named in the error. */
static void test_save_as_leftovers_and_bad_folders(const char* dir) {
    char* dest = join_path(dir, "left.db");
    char names[3][512];
    for (int by_save = 0; by_save < 2; by_save++) {
        unlink(dest);
        leave_scratch(dest, names);
        zembrel_db* mem = zembrel_open_memory();
        make_table(mem);
        if (by_save) {
            CHECK(zembrel_save_as(mem, dest) == 0);
        } else {
            zembrel_db* db = zembrel_open(dest);
            CHECK(db != NULL);
            zembrel_close(db);
        }
        zembrel_close(mem);
        CHECK(file_size(names[0]) == -1 && file_size(names[1]) == -1);
        CHECK(file_size(names[2]) == 7);
        unlink(names[2]);
    }

    char* missing = join_path(dir, "no-such-folder/x.db");
    zembrel_db* db = zembrel_open(dest);
    CHECK(zembrel_save_as(db, missing) == 1);
    char expected[512];
    snprintf(expected, sizeof expected,
             "Storage error: create failed for '%s': No such file or directory (os error 2)", missing);
    CHECK_STR(zembrel_errmsg(db), expected);
    CHECK(count_of(db, "SELECT COUNT(*) FROM t") == 1);
    zembrel_close(db);
    free(missing);
    free(dest);
}

int main(void) {
    char* dir = make_temp_dir();
    test_messages(dir);
    test_memory_save_as(dir);
    test_file_save_as(dir);
    test_save_as_through_links(dir);
    test_save_as_leftovers_and_bad_folders(dir);
    remove_dir(dir);
    free(dir);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
