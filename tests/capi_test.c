/* The database-handle and result-set functions, driven only through the
 * public header. */
#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "capi_util.h"
#include "zembrel.h"

static void test_version_and_null_handles(void) {
    const char* v = zembrel_version();
    CHECK_STR(v, "0.1.0-velandro");
    CHECK(v == zembrel_version());

    CHECK(zembrel_open(NULL) == NULL);
    CHECK(zembrel_open("\xff\xfe") == NULL);
    CHECK(zembrel_exec(NULL, "BEGIN") == 1);
    CHECK(zembrel_query(NULL, "BEGIN") == NULL);
    CHECK(zembrel_errmsg(NULL) == NULL);
    CHECK(zembrel_result_column_count(NULL) == 0);
    CHECK(zembrel_result_row_count(NULL) == 0);
    CHECK(zembrel_result_column_name(NULL, 0) == NULL);
    CHECK(zembrel_result_value(NULL, 0, 0) == NULL);
    CHECK(zembrel_result_message(NULL) == NULL);
    zembrel_result_free(NULL);
    zembrel_close(NULL);
}

/* Every statement through zembrel_query, one per row: the status zembrel_exec
 * would return, the error slot afterwards (a trailing '*' matches a prefix)
 * and the result's message. */
struct step {
    const char* sql;
    int status;
    const char* error;
    const char* message;
};

static const struct step kSteps[] = {
    {"INSERT INTO t VALUES (1) \xc0\xaf", 1, "invalid SQL string", NULL}, /* an overlong '/' is not UTF-8 */
    {"CREATE TABLE", 1, "Parse error: *", NULL},
    {"CREATE TABLE items (id PK, name TEXT)", 0, NULL, "Table 'items' created."},
    {"CREATE TABLE items (a INT)", 1, "Execution error: table 'items' already exists", NULL},
    {"CREATE TABLE plain (a INT, b TEXT)", 0, NULL, "Table 'plain' created."},
    {"INSERT INTO plain VALUES (1, 'x'), (2, 'y')", 0, NULL, "Inserted 2 row(s) into 'plain'. (2 total)"},
    {"INSERT INTO nope VALUES (1)", 1, "Execution error: table 'nope' not found", NULL},
    {"INSERT INTO plain VALUES (3, 'z')", 0, NULL, "Inserted 1 row(s) into 'plain'. (3 total)"},
    {"COMMIT", 1, "Execution error: no active transaction", NULL},
    {"BEGIN", 0, NULL, "Transaction started."},
    {"INSERT INTO plain VALUES (4, 'w')", 0, NULL, "Inserted 1 row(s) into 'plain'. (4 total)"},
    {"ROLLBACK", 0, NULL, "Transaction rolled back."},
    {"BEGIN TRANSACTION", 0, NULL, "Transaction started."},
    {"COMMIT WORK", 0, NULL, "Transaction committed."},
    {"CREATE INDEX by_a ON plain (a)", 0, NULL, "Index 'by_a' created."},
    {"DROP INDEX by_a", 0, NULL, "Index 'by_a' dropped from 'plain'."},
    {"INSERT INTO items (name) VALUES ('a'), ('b')", 0, NULL, "Inserted 2 row(s) into 'items'. (2 total)"},
    {"TRUNCATE TABLE plain", 0, NULL, "Table 'plain' truncated. (3 row(s) removed)"},
    {"DROP TABLE plain", 0, NULL, "Table 'plain' dropped."},
};

static void check_step(zembrel_db* db, const struct step* s) {
    const int failures_before = failures;
    zembrel_result* rs = zembrel_query(db, s->sql);
    const char* error = zembrel_errmsg(db);
    if (s->status == 0) {
        CHECK(rs != NULL && error == NULL);
        if (rs != NULL) {
            CHECK_STR(zembrel_result_message(rs), s->message);
            CHECK(zembrel_result_column_count(rs) == 0 && zembrel_result_row_count(rs) == 0);
        }
    } else {
        CHECK(rs == NULL);
        size_t n = strlen(s->error);
        if (s->error[n - 1] == '*') CHECK(error != NULL && strncmp(error, s->error, n - 1) == 0);
        else CHECK_STR(error, s->error);
        CHECK(zembrel_exec(db, s->sql) == 1); /* a refusal changes nothing: the same again */
    }
    if (failures > failures_before) fprintf(stderr, "  statement: %s\n", s->sql);
    zembrel_result_free(rs);
}

static void test_statements(void) {
    zembrel_db* db = zembrel_open_memory();
    CHECK(db != NULL);
    CHECK(zembrel_errmsg(db) == NULL);
    CHECK(zembrel_exec(db, NULL) == 1);
    CHECK_STR(zembrel_errmsg(db), "invalid SQL string");
    for (size_t i = 0; i < sizeof kSteps / sizeof kSteps[0]; i++) {
        check_step(db, &kSteps[i]);
    }

    /* A one-row insert into a table with a PK column reports the generated key. */
    zembrel_result* rs = zembrel_query(db, "INSERT INTO items (name) VALUES ('first')");
    CHECK(rs != NULL);
    if (rs != NULL) {
        const char* msg = zembrel_result_message(rs);
        CHECK_PREFIX(msg, "Inserted 1 row into 'items'. PK: ");
        CHECK(msg != NULL && strlen(msg) == strlen("Inserted 1 row into 'items'. PK: ") + 36 + strlen(" (3 total)"));
        CHECK(msg != NULL && strcmp(msg + strlen(msg) - strlen(" (3 total)"), " (3 total)") == 0);

        /* Every index outside the result is refused, negative ones included. */
        CHECK(zembrel_result_column_name(rs, 0) == NULL);
        CHECK(zembrel_result_column_name(rs, -1) == NULL);
        CHECK(zembrel_result_value(rs, 0, 0) == NULL);
        CHECK(zembrel_result_value(rs, -1, -1) == NULL);
        zembrel_result_free(rs);
    }
    CHECK(zembrel_exec(db, "INSERT INTO items (name) VALUES ('c')") == 0);
    CHECK(zembrel_errmsg(db) == NULL);
    zembrel_close(db);
}

static void test_result_outlives_handle(void) {
    zembrel_db* db = zembrel_open_memory();
    zembrel_result* rs = zembrel_query(db, "CREATE TABLE t (a INT)");
    zembrel_close(db);
    CHECK_STR(zembrel_result_message(rs), "Table 't' created.");
    zembrel_result_free(rs);
}

/* A query's rows come back as text cells under their column names, with no
 * message; a row result outlives its handle like any other. */
static void test_query_rows(void) {
    zembrel_db* db = zembrel_open_memory();
    check_step(db, &(struct step){"CREATE TABLE t (k TEXT, v FLOAT)", 0, NULL, "Table 't' created."});
    check_step(db, &(struct step){"INSERT INTO t VALUES ('a', 1.5), ('b', NULL), ('a', 2)", 0, NULL, "Inserted 3 row(s) into 't'. (3 total)"});
    zembrel_result* rs = zembrel_query(db, "SELECT k, SUM(v) FROM t WHERE v IS NOT NULL GROUP BY k ORDER BY k");
    zembrel_close(db);
    CHECK(rs != NULL);
    if (rs == NULL) return;
    CHECK(zembrel_result_message(rs) == NULL);
    CHECK(zembrel_result_column_count(rs) == 2);
    CHECK_STR(zembrel_result_column_name(rs, 1), "SUM(v)");
    CHECK(zembrel_result_row_count(rs) == 1);
    CHECK_STR(zembrel_result_value(rs, 0, 0), "a");
    CHECK_STR(zembrel_result_value(rs, 0, 1), "3.5");
    CHECK(zembrel_result_value(rs, 1, 0) == NULL);
    zembrel_result_free(rs);
}

/* The cell text of every kind of value, NULL, floats without an exponent,
 * empty and long texts, alike whether the rows stream from the sort into the
 * result or are collected first (a WHERE with a subquery); then a result of
 * thousands of cells whose texts all stay readable until it is freed. */
static void test_cell_texts(void) {
    enum { kLong = 5000, kRows = 3000 };
    static const char* const kExpected[][5] = {
        {"-9223372036854775807", "2", "false", "NULL", "NULL"},
        {"1", "1.5", "true", "2024-01-02", "a"},
        {"2", "NULL", "false", "NULL", ""},
        {"3", "-0", "NULL", "2024-12-31", "x\"y'z"},
        {"4", "1000000000000000000000", "true", "NULL", NULL}, /* NULL: the long text */
        {"5", "0.00000015", "NULL", "NULL", "NULL"},
        {"6", "1428571.4285714286", "NULL", "NULL", "NULL"},
    };
    static const char* const kQueries[] = {"SELECT * FROM c ORDER BY id",
                                           "SELECT * FROM c WHERE id IN (SELECT id FROM c) ORDER BY id"};
    char* long_text = malloc(kLong + 1);
    memset(long_text, 'x', kLong);
    long_text[kLong] = '\0';
    char* insert = malloc(kLong + 512);
    zembrel_db* db = zembrel_open_memory();
    CHECK(zembrel_exec(db, "CREATE TABLE c (id INT, f FLOAT, b BOOL, d DATE, s TEXT)") == 0);
    CHECK(zembrel_exec(db, "INSERT INTO c VALUES (1, 1.5, true, '2024-01-02', 'a'), (2, NULL, false, NULL, ''), "
                           "(3, -0.0, NULL, '2024-12-31', 'x\"y''z'), (5, 0.00000015, NULL, NULL, NULL), "
                           "(6, 1428571.4285714286, NULL, NULL, NULL), (-9223372036854775807, 2, false, NULL, NULL)") == 0);
    snprintf(insert, kLong + 512, "INSERT INTO c VALUES (4, 1000000000000000000000.0, true, NULL, '%s')", long_text);
    CHECK(zembrel_exec(db, insert) == 0);
    for (size_t q = 0; q < sizeof kQueries / sizeof kQueries[0]; q++) {
        zembrel_result* rs = zembrel_query(db, kQueries[q]);
        CHECK(rs != NULL && zembrel_result_row_count(rs) == 7 && zembrel_result_column_count(rs) == 5);
        for (int r = 0; rs != NULL && r < 7; r++)
            for (int c = 0; c < 5; c++) CHECK_STR(zembrel_result_value(rs, r, c), kExpected[r][c] ? kExpected[r][c] : long_text);
        CHECK(zembrel_result_value(rs, 0, 5) == NULL && zembrel_result_value(rs, 7, 0) == NULL);
        zembrel_result_free(rs);
    }

    CHECK(zembrel_exec(db, "CREATE TABLE many (id INT, s TEXT)") == 0);
    CHECK(zembrel_exec(db, "BEGIN") == 0);
    for (int i = 0; i < kRows; i++) {
        snprintf(insert, kLong + 512, "INSERT INTO many VALUES (%d, '%.*s')", i, (i * 7) % 300, long_text);
        CHECK(zembrel_exec(db, insert) == 0);
    }
    CHECK(zembrel_exec(db, "COMMIT") == 0);
    zembrel_result* rs = zembrel_query(db, "SELECT s, id FROM many ORDER BY id DESC");
    CHECK(rs != NULL && zembrel_result_row_count(rs) == kRows);
    for (int r = 0; rs != NULL && r < kRows; r++) {
        const int id = kRows - 1 - r;
        char number[16];
        snprintf(number, sizeof number, "%d", id);
        CHECK_STR(zembrel_result_value(rs, r, 1), number);
        const char* s = zembrel_result_value(rs, r, 0);
        CHECK(s != NULL && strlen(s) == (size_t)((id * 7) % 300) && strspn(s, "x") == strlen(s));
    }
    zembrel_result_free(rs);
    zembrel_close(db);
    free(insert);
    free(long_text);
}

/* Outside a transaction every statement is saved as it runs; inside one only
 * COMMIT saves, and ROLLBACK never does. The log beside the file shows it. */
static void test_auto_save(void) {
    char* dir = make_temp_dir();
    char* path = join_path(dir, "app.db");
    char* wal = join_path(dir, "app.db.pwal");
    zembrel_db* db = zembrel_open(path);
    CHECK(db != NULL);

    CHECK(zembrel_exec(db, "CREATE TABLE t (a INT)") == 0);
    long after_create = file_size(wal);
    CHECK(after_create > 16);
    CHECK(zembrel_exec(db, "INSERT INTO t VALUES (1)") == 0);
    long after_insert = file_size(wal);
    CHECK(after_insert > after_create);

    CHECK(zembrel_exec(db, "BEGIN") == 0);
    CHECK(zembrel_exec(db, "INSERT INTO t VALUES (2)") == 0);
    CHECK(zembrel_exec(db, "INSERT INTO t VALUES (3)") == 0);
    CHECK(file_size(wal) == after_insert);
    CHECK(zembrel_exec(db, "ROLLBACK") == 0);
    CHECK(file_size(wal) == after_insert);

    CHECK(zembrel_exec(db, "BEGIN") == 0);
    CHECK(zembrel_exec(db, "INSERT INTO t VALUES (4)") == 0);
    CHECK(file_size(wal) == after_insert);
    CHECK(zembrel_exec(db, "COMMIT") == 0);
    CHECK(file_size(wal) > after_insert);

    /* The second opener of a held file is refused; after close it may open.
     * Closing never saves: the open transaction and its DROP are lost. */
    CHECK(zembrel_open(path) == NULL);
    CHECK(zembrel_exec(db, "BEGIN") == 0);
    CHECK(zembrel_exec(db, "INSERT INTO t VALUES (5)") == 0);
    CHECK(zembrel_exec(db, "DROP TABLE t") == 0);
    zembrel_close(db);
    db = zembrel_open(path);
    CHECK(db != NULL);
    /* Rows 1 and 4 survived; 2, 3 and 5 were not committed. */
    struct step after = {"INSERT INTO t VALUES (6)", 0, NULL, "Inserted 1 row(s) into 't'. (3 total)"};
    check_step(db, &after);
    zembrel_close(db);

    remove_dir(dir);
    free(wal);
    free(path);
    free(dir);
}

/* An open that fails takes away the lock file it made, whatever it was
 * given; a lock file that was there before stays, as does that of a
 * database that opened. */
static void test_failed_open_leaves_no_lock(void) {
    char* dir = make_temp_dir();
    static const char kRandom[] = {'\x9c', '\x01', '\xfe', 'K',    '\x00', '\x7f',
                                   '\xd3', '"',    '{',    '\x11', '\xa0', '\x42'};
    struct {
        const char* name;
        const char* bytes;
        long len; /* -1: a directory */
    } cases[] = {{"text.db", "hello, not a database\n", 22},
                 {"random.db", kRandom, (long)sizeof kRandom},
                 {"short.db", "KRVP", 4},
                 {"adir", NULL, -1}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        char* path = join_path(dir, cases[i].name);
        char lock[512];
        snprintf(lock, sizeof lock, "%s.lock", path);
        if (cases[i].len < 0) CHECK(mkdir(path, 0777) == 0);
        else write_bytes(path, cases[i].bytes, (size_t)cases[i].len);
        CHECK(zembrel_open(path) == NULL);
        if (file_size(lock) != -1) fprintf(stderr, "lock left beside %s\n", cases[i].name);
        CHECK(file_size(lock) == -1);

        /* Someone else's lock file is not the failed open's to remove. */
        write_bytes(lock, "", 0);
        CHECK(zembrel_open(path) == NULL);
        CHECK(file_size(lock) == 0);
        unlink(lock);
        if (cases[i].len < 0) rmdir(path);
        free(path);
    }
    char* good = join_path(dir, "good.db");
    char* good_lock = join_path(dir, "good.db.lock");
    zembrel_db* db = zembrel_open(good);
    CHECK(db != NULL);
    zembrel_close(db);
    CHECK(file_size(good_lock) == 0);
    free(good_lock);
    free(good);
    remove_dir(dir);
    free(dir);
}

/* Whether a handle opens at `path` in another process. */
static int opens_in_child(const char* path) {
    fflush(NULL);
    pid_t pid = fork();
    if (pid == 0) _exit(zembrel_open(path) != NULL ? 0 : 1);
    int status = 0;
    CHECK(waitpid(pid, &status, 0) == pid);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/* A database is one file however it is named: while a handle holds it, a
 * symbolic link, a chain of them, a hard link or another spelling of its
 * path opens no second handle, here or in another process; through a link
 * the handle's log and lock are the file's own, so a log left by a process
 * that ended without closing is found by the file's own name. */
static void test_one_file_whatever_its_name(void) {
    char* dir = make_temp_dir();
    char* real = join_path(dir, "real.db");
    char* via_link = join_path(dir, "link.db");
    char* chain = join_path(dir, "chain.db");
    char* hard = join_path(dir, "hard.db");
    char* spelled = join_path(dir, "./real.db");
    CHECK(symlink("real.db", via_link) == 0);
    CHECK(symlink(via_link, chain) == 0);

    zembrel_db* a = zembrel_open(real);
    CHECK(zembrel_exec(a, "CREATE TABLE t (n INT)") == 0);
    CHECK(zembrel_exec(a, "INSERT INTO t VALUES (1), (2), (3)") == 0);
    CHECK(link(real, hard) == 0);
    const char* names[] = {via_link, chain, hard, spelled};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
        CHECK(zembrel_open(names[i]) == NULL);
        CHECK(zembrel_open_shared(names[i]) == NULL);
        CHECK(!opens_in_child(names[i]));
    }
    zembrel_close(a);

    /* A process that ends without closing leaves its commits in the log of
     * the file itself. */
    exec_and_vanish(via_link, "INSERT INTO t VALUES (4)");
    char* real_log = join_path(dir, "real.db.pwal");
    CHECK(file_size(real_log) > 0);
    char* link_lock = join_path(dir, "link.db.lock");
    char* link_log = join_path(dir, "link.db.pwal");
    CHECK(file_size(link_lock) == -1 && file_size(link_log) == -1);

    zembrel_db* b = zembrel_open(real);
    CHECK(count_of(b, "SELECT COUNT(*) FROM t") == 4);
    CHECK(zembrel_open(hard) == NULL && zembrel_open(via_link) == NULL && !opens_in_child(chain));
    zembrel_close(b);
    zembrel_shared* shared = zembrel_open_shared(chain);
    CHECK(shared != NULL);
    CHECK(zembrel_open(real) == NULL && !opens_in_child(hard));
    zembrel_close_shared(shared);

    /* A dangling link: the file is made where it leads, the link stays. */
    char* dangling = join_path(dir, "dangling.db");
    char* target = join_path(dir, "target.db");
    CHECK(symlink("target.db", dangling) == 0);
    zembrel_db* c = zembrel_open(dangling);
    CHECK(c != NULL);
    CHECK(zembrel_open(target) == NULL);
    zembrel_close(c);
    struct stat st;
    CHECK(lstat(dangling, &st) == 0 && S_ISLNK(st.st_mode));
    CHECK(file_size(target) > 0);

    free(dangling);
    free(target);
    free(real_log);
    free(link_lock);
    free(link_log);
    free(spelled);
    free(hard);
    free(chain);
    free(via_link);
    free(real);
    remove_dir(dir);
    free(dir);
}

/* Many processes opening one damaged file at once, every open failing:
 * no lock file that they made remains. */
static void test_concurrent_failed_opens_leave_no_lock(void) {
    enum { PROCESSES = 6, OPENS = 300, ROUNDS = 6 };
    char* dir = make_temp_dir();
    char* path = join_path(dir, "x.db");
    char* lock = join_path(dir, "x.db.lock");
    write_bytes(path, "not a database at all\n", 22);
    for (int round = 0; round < ROUNDS; round++) {
        pid_t pids[PROCESSES];
        fflush(NULL);
        for (int p = 0; p < PROCESSES; p++) {
            pids[p] = fork();
            if (pids[p] == 0) {
                int opened = 0;
                for (int i = 0; i < OPENS; i++) opened += zembrel_open(path) != NULL;
                _exit(opened);
            }
        }
        for (int p = 0; p < PROCESSES; p++) {
            int status = 0;
            CHECK(waitpid(pids[p], &status, 0) == pids[p] && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        if (file_size(lock) != -1) {
            fprintf(stderr, "round %d left the lock file\n", round);
            failures++;
            unlink(lock);
        }
    }
    free(lock);
    free(path);
    remove_dir(dir);
    free(dir);
}

/* Fills an in-memory database: a table with enough rows for many pages. */
static void fill_memory(zembrel_db* db) {
    CHECK(zembrel_exec(db, "CREATE TABLE t (id PK, n INT, s TEXT)") == 0);
    CHECK(zembrel_exec(db, "CREATE UNIQUE INDEX t_n ON t (n)") == 0);
    char sql[256];
    for (int i = 1; i <= 300; i++) {
        snprintf(sql, sizeof sql, "INSERT INTO t (n, s) VALUES (%d, 'row %d of the in-memory table')", i, i);
        CHECK(zembrel_exec(db, sql) == 0);
    }
}

/* Nothing of an in-memory database ever shows in TMPDIR: not while it is
 * open and used (its backing file has no name), not after it is saved
 * elsewhere or closed, and not after its process is killed or ends without
 * closing it. */
static void test_memory_leaves_no_file(void) {
    char* dir = make_temp_dir();
    char* out = make_temp_dir();
    char* old = getenv("TMPDIR") ? strdup(getenv("TMPDIR")) : NULL;
    setenv("TMPDIR", dir, 1);
    zembrel_db* db = zembrel_open_memory();
    fill_memory(db);
    zembrel_result* rs = zembrel_query(db, "SELECT COUNT(*) FROM t WHERE n > 100");
    CHECK_STR(zembrel_result_value(rs, 0, 0), "200");
    zembrel_result_free(rs);
    CHECK(zembrel_exec(db, "DELETE FROM t WHERE n > 250") == 0);
    CHECK(count_entries(dir) == 0);

    /* Save-as reads the tables back through the nameless file. */
    char* saved = join_path(out, "saved.db");
    CHECK(zembrel_save_as(db, saved) == 0);
    CHECK(count_entries(dir) == 0);
    zembrel_close(db);
    db = zembrel_open(saved);
    rs = zembrel_query(db, "SELECT COUNT(*) FROM t");
    CHECK_STR(zembrel_result_value(rs, 0, 0), "250");
    zembrel_result_free(rs);
    zembrel_close(db);
    CHECK(count_entries(dir) == 0);

    for (int killed = 0; killed < 2; killed++) {
        int fds[2];
        CHECK(pipe(fds) == 0);
        fflush(NULL);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            zembrel_db* mem = zembrel_open_memory();
            fill_memory(mem);
            if (write(fds[1], "x", 1) != 1) _exit(3);
            if (killed) pause();
            _exit(failures ? 2 : 0); /* without zembrel_close */
        }
        close(fds[1]);
        char c = 0;
        CHECK(read(fds[0], &c, 1) == 1);
        close(fds[0]);
        if (killed) kill(pid, SIGKILL);
        int status = 0;
        CHECK(waitpid(pid, &status, 0) == pid);
        CHECK(killed ? WIFSIGNALED(status) : WIFEXITED(status) && WEXITSTATUS(status) == 0);
        CHECK(count_entries(dir) == 0);
    }

    /* A temporary folder that is not there is named in the error. */
    char* missing = join_path(dir, "missing");
    setenv("TMPDIR", missing, 1);
    db = zembrel_open_memory();
    CHECK(zembrel_exec(db, "CREATE TABLE t (a INT)") == 1);
    char expected[512];
    snprintf(expected, sizeof expected,
             "Storage error: temporary directory '%s' is missing or not writable: No such file or directory (os "
             "error 2)",
             missing);
    CHECK_STR(zembrel_errmsg(db), expected);
    zembrel_close(db);
    free(missing);
    if (old) {
        setenv("TMPDIR", old, 1);
        free(old);
    } else {
        unsetenv("TMPDIR");
    }
    remove_dir(out);
    remove_dir(dir);
    free(saved);
    free(out);
    free(dir);
}

/* Every way in refuses `path` at once and makes nothing in `dir`: the three
 * opens, and a save-as from either route with `reason`. */
static void check_refused_everywhere(const char* dir, const char* path, const char* reason, zembrel_db* file_db) {
    const int entries = count_entries(dir);
    CHECK(zembrel_open(path) == NULL);
    CHECK(zembrel_open_shared(path) == NULL);
    CHECK(zembrel_shadow_open(path) == NULL);
    CHECK(zembrel_shadow_open_branch(path, "b") == NULL);
    char expected[1024];
    snprintf(expected, sizeof expected, "Storage error: create failed for '%s': %s", path, reason);
    zembrel_db* mem = zembrel_open_memory();
    CHECK(zembrel_exec(mem, "CREATE TABLE t (n INT)") == 0);
    zembrel_db* sources[] = {mem, file_db};
    for (int i = 0; i < 2; i++) {
        CHECK(zembrel_save_as(sources[i], path) == 1);
        CHECK_STR(zembrel_errmsg(sources[i]), expected);
        CHECK(zembrel_exec(sources[i], "INSERT INTO t VALUES (1)") == 0);
    }
    zembrel_close(mem);
    CHECK(count_entries(dir) == entries);
}

/* A FIFO, a character device and a socket are no databases: every open
 * and every save-as refuses them at once (a FIFO must not make them wait,
 * a device that reads without end must not be read), and nothing is made
 * beside them. Under a watchdog: a blocked call ends the child. */
static void test_paths_that_are_no_files(void) {
    char* dir = make_temp_dir();
    char* src_dir = make_temp_dir();
    char* fifo = join_path(dir, "fifo.db");
    char* zero = join_path(dir, "zero.db");
    char* null_dev = join_path(dir, "null.db");
    char* sock_path = join_path(dir, "sock.db");
    char* src = join_path(src_dir, "src.db");
    const char* paths[4];
    int n_paths = 0;
    CHECK(mkfifo(fifo, 0600) == 0);
    paths[n_paths++] = fifo;
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(sock_path) < sizeof addr.sun_path) {
        strncpy(addr.sun_path, sock_path, sizeof addr.sun_path - 1);
        CHECK(sock >= 0 && bind(sock, (struct sockaddr*)&addr, sizeof addr) == 0);
        paths[n_paths++] = sock_path;
    } else {
        fprintf(stderr, "skipped the socket case: the temporary folder's path is too long for a socket's name\n");
    }
    if (mknod(zero, S_IFCHR | 0666, makedev(1, 5)) == 0 && mknod(null_dev, S_IFCHR | 0666, makedev(1, 3)) == 0) {
        paths[n_paths++] = zero;
        paths[n_paths++] = null_dev;
    } else {
        fprintf(stderr, "skipped the device cases: making device files needs a privilege this process lacks\n");
    }

    fflush(NULL);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        const int before = failures;
        zembrel_db* file_db = zembrel_open(src);
        CHECK(zembrel_exec(file_db, "CREATE TABLE t (n INT)") == 0);
        for (int i = 0; i < n_paths; i++) check_refused_everywhere(dir, paths[i], "not a regular file", file_db);
        zembrel_close(file_db);
        /* Nor is a FIFO in a branch's place a branch. */
        char* shadows = join_path(src_dir, "src.db.shadows");
        char* branch = join_path(shadows, "b.krvb");
        CHECK(mkdir(shadows, 0700) == 0 && mkfifo(branch, 0600) == 0);
        CHECK(zembrel_shadow_open_branch(src, "b") == NULL);
        free(branch);
        free(shadows);
        _exit(failures == before ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(pid, &status, 0) == pid);
    if (WIFSIGNALED(status)) fprintf(stderr, "a path that is no file blocked a call (signal %d)\n", WTERMSIG(status));
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(sock);
    free(src);
    free(sock_path);
    free(null_dev);
    free(zero);
    free(fifo);
    char* shadows = join_path(src_dir, "src.db.shadows");
    remove_dir(shadows);
    free(shadows);
    remove_dir(src_dir);
    free(src_dir);
    remove_dir(dir);
    free(dir);
}

/* A device at the lock file's name opens and locks like a file, so only a
 * look at what was opened refuses it: every open gives NULL, makes no
 * database, and leaves the device where it is. */
static void test_device_at_the_lock_name(void) {
    char* dir = make_temp_dir();
    char* path = join_path(dir, "dev.db");
    char* lock = join_path(dir, "dev.db.lock");
    if (mknod(lock, S_IFCHR | 0666, makedev(1, 3)) != 0) {
        CHECK(errno == EPERM);
        fprintf(stderr, "skipped the device at the lock name: making device files needs a privilege this process lacks\n");
    } else {
        CHECK(zembrel_open(path) == NULL);
        CHECK(zembrel_open_shared(path) == NULL);
        CHECK(zembrel_shadow_open(path) == NULL);
        struct stat st;
        CHECK(lstat(lock, &st) == 0 && S_ISCHR(st.st_mode));
        CHECK(file_size(path) == -1);
    }
    remove_dir(dir);
    free(lock);
    free(path);
    free(dir);
}

/* A path that crosses more symbolic links than the system follows (30 to
 * its folder, then 15 to the file) gives the same answer to every open,
 * the first included: refused, with nothing made where the chain ends. */
static void test_path_through_too_many_links(void) {
    char* dir = make_temp_dir();
    char* inner = join_path(dir, "inner");
    CHECK(mkdir(inner, 0700) == 0);
    make_chain(dir, "d", 30, "inner");
    make_chain(inner, "f", 15, "x.db");
    char* path = join_path(dir, "d0/f0");
    char* src = join_path(inner, "../src.db");
    zembrel_db* file_db = zembrel_open(src);
    CHECK(zembrel_exec(file_db, "CREATE TABLE t (n INT)") == 0);
    for (int round = 0; round < 2; round++) {
        check_refused_everywhere(inner, path, "Too many levels of symbolic links (os error 40)", file_db);
        CHECK(count_entries(inner) == 15);
    }
    zembrel_close(file_db);
    remove_dir(inner);
    free(src);
    free(path);
    free(inner);
    remove_dir(dir);
    free(dir);
}

/* An empty file, as a create killed before its first page or mkstemp
 * leaves it, is a new database to every open: made in place, the name it
 * was given kept, and a whole database for the next open. */
static void test_empty_file_is_a_new_database(void) {
    char* dir = make_temp_dir();
    for (int way = 0; way < 4; way++) {
        char name[32];
        snprintf(name, sizeof name, "empty%d.db", way);
        char* path = join_path(dir, name);
        write_bytes(path, "", 0);
        if (way == 0) {
            /* Of two openers, the one that gets the lock makes the database;
             * the other is refused while it is held and then finds it whole. */
            zembrel_db* db = zembrel_open(path);
            CHECK(db != NULL);
            CHECK(!opens_in_child(path));
            CHECK(zembrel_exec(db, "CREATE TABLE t (n INT)") == 0);
            zembrel_close(db);
        } else if (way == 1) {
            zembrel_shared* db = zembrel_open_shared(path);
            CHECK(db != NULL);
            CHECK(zembrel_exec_shared(db, "CREATE TABLE t (n INT)") == 0);
            zembrel_close_shared(db);
        } else {
            zembrel_shadow* sh = way == 2 ? zembrel_shadow_open(path) : zembrel_shadow_open_branch(path, "b");
            CHECK(sh != NULL);
            zembrel_shadow_close(sh);
            zembrel_db* db = zembrel_open(path);
            CHECK(db != NULL);
            CHECK(zembrel_exec(db, "CREATE TABLE t (n INT)") == 0);
            zembrel_close(db);
        }
        CHECK(file_size(path) > 0);
        zembrel_db* db = zembrel_open(path);
        CHECK(db != NULL);
        CHECK(zembrel_exec(db, "INSERT INTO t VALUES (7)") == 0);
        CHECK(count_of(db, "SELECT n FROM t") == 7);
        zembrel_close(db);
        char* shadows = join_path(dir, "empty3.db.shadows");
        remove_dir(shadows);
        free(shadows);
        free(path);
    }
    remove_dir(dir);
    free(dir);
}

/* Only a regular file with one name at <db>.migrate finishes a migration
 * that stopped between its renames. A link there (to a user's JSON
 * document, which an open would otherwise convert in place), a folder or a
 * FIFO is left where it is, and the open makes a new database as if none
 * were pending. */
static void test_what_stands_at_the_migration_name(void) {
    char* dir = make_temp_dir();
    char* db_path = join_path(dir, "app.db");
    char* bak = join_path(dir, "app.db.bak");
    char* migrate = join_path(dir, "app.db.migrate");
    char* doc = join_path(dir, "doc.json");
    static const char kDoc[] = "{\"tables\":{}}";
    for (int kind = 0; kind < 3; kind++) {
        write_bytes(bak, "old", 3);
        write_bytes(doc, kDoc, sizeof kDoc - 1);
        if (kind == 0) CHECK(symlink("doc.json", migrate) == 0);
        if (kind == 1) CHECK(mkdir(migrate, 0700) == 0);
        if (kind == 2) CHECK(mkfifo(migrate, 0600) == 0);
        zembrel_db* db = zembrel_open(db_path);
        CHECK(db != NULL);
        CHECK(count_of(db, "SELECT COUNT(*) FROM t") == -1);  /* a new, empty database */
        zembrel_close(db);
        struct stat st;
        CHECK(lstat(migrate, &st) == 0);
        CHECK(kind == 0 ? S_ISLNK(st.st_mode) : kind == 1 ? S_ISDIR(st.st_mode) : S_ISFIFO(st.st_mode));
        long len = 0;
        char buf[64] = {0};
        FILE* f = fopen(doc, "rb");
        CHECK(f != NULL);
        if (f != NULL) {
            len = (long)fread(buf, 1, sizeof buf, f);
            fclose(f);
        }
        CHECK(len == (long)sizeof kDoc - 1 && memcmp(buf, kDoc, sizeof kDoc - 1) == 0);
        char* doc_bak = join_path(dir, "doc.json.bak");
        CHECK(file_size(doc_bak) == -1);
        free(doc_bak);
        if (kind == 1) rmdir(migrate);
        else unlink(migrate);
        unlink(db_path);
        char* wal = join_path(dir, "app.db.pwal");
        unlink(wal);
        free(wal);
    }
    remove_dir(dir);
    free(doc);
    free(migrate);
    free(bak);
    free(db_path);
    free(dir);
}

/* A symbolic link at a branch's log, dangling or not, is refused when the
 * branch opens, as one at the base's log is, rather than at every write. */
static void test_link_at_a_branch_log(void) {
    char* dir = make_temp_dir();
    char* base = join_path(dir, "base.db");
    char* shadows = join_path(dir, "base.db.shadows");
    char* branch = join_path(shadows, "b.krvb");
    char* target = join_path(dir, "elsewhere.krvb");
    zembrel_db* db = zembrel_open(base);
    CHECK(zembrel_exec(db, "CREATE TABLE t (n INT)") == 0);
    zembrel_close(db);
    CHECK(mkdir(shadows, 0700) == 0);
    CHECK(symlink(target, branch) == 0);
    CHECK(zembrel_shadow_open_branch(base, "b") == NULL);
    CHECK(file_size(target) == -1);
    write_bytes(target, "mine", 4);
    CHECK(zembrel_shadow_open_branch(base, "b") == NULL);
    CHECK(file_size(target) == 4);
    unlink(branch);
    zembrel_shadow* sh = zembrel_shadow_open_branch(base, "b");
    CHECK(sh != NULL);
    CHECK(zembrel_shadow_exec(sh, "INSERT INTO t VALUES (1)") == 0);
    zembrel_shadow_close(sh);
    remove_dir(shadows);
    remove_dir(dir);
    free(target);
    free(branch);
    free(shadows);
    free(base);
    free(dir);
}

int main(void) {
    test_version_and_null_handles();
    test_statements();
    test_result_outlives_handle();
    test_query_rows();
    test_cell_texts();
    test_auto_save();
    test_failed_open_leaves_no_lock();
    test_concurrent_failed_opens_leave_no_lock();
    test_one_file_whatever_its_name();
    test_memory_leaves_no_file();
    test_paths_that_are_no_files();
    test_device_at_the_lock_name();
    test_path_through_too_many_links();
    test_empty_file_is_a_new_database();
    test_what_stands_at_the_migration_name();
    test_link_at_a_branch_log();
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
