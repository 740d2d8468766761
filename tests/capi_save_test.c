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

/* The save-as fails with "create failed for '<path>': <reason>", leaves
 * the folder `dir` with `entries` entries and the handle working. */
static void check_refused(zembrel_db* db, const char* path, const char* reason, const char* dir, int entries) {
    const long rows = count_of(db, "SELECT COUNT(*) FROM t");
    CHECK(zembrel_save_as(db, path) == 1);
    char expected[1024];
    snprintf(expected, sizeof expected, "Storage error: create failed for '%s': %s", path, reason);
    CHECK_STR(zembrel_errmsg(db), expected);
    CHECK(count_entries(dir) == entries);
    CHECK(zembrel_exec(db, "INSERT INTO t (name) VALUES ('after a refusal')") == 0);
    CHECK(count_of(db, "SELECT COUNT(*) FROM t") == rows + 1);
    CHECK(zembrel_exec(db, "DELETE FROM t WHERE name = 'after a refusal'") == 0);
}

/* A destination the system could not make is refused with the OS's reason,
 * from either route, and nothing of it is made. */
static void test_save_as_onto_bad_folders(const char* dir) {
    char* dest = join_path(dir, "left.db");
    char* bad = join_path(dir, "bad");
    CHECK(mkdir(bad, 0700) == 0);
    char* a_file = join_path(bad, "afile");
    FILE* f = fopen(a_file, "wb");
    CHECK(f != NULL);
    if (f) fclose(f);
    char* missing = join_path(bad, "no-such-folder/x.db");
    char* under_file = join_path(bad, "afile/x.db");
    /* A name the folder takes, but not with ".lock" (nor the copy's
     * ".<uuid>.saving") after it. */
    char long_name[251];
    memset(long_name, 'n', 250);
    long_name[250] = '\0';
    char* too_long = join_path(bad, long_name);
    /* The longest name an in-memory source may take: its copy's log,
     * "<name>.<uuid>.saving.pwal", fills a folder entry of 255 bytes. */
    long_name[206] = '\0';
    char* longest = join_path(bad, long_name);
    zembrel_db* file_db = zembrel_open(dest);
    make_table(file_db);
    zembrel_db* mem = zembrel_open_memory();
    make_table(mem);
    zembrel_db* sources[] = {file_db, mem};
    for (int i = 0; i < 2; i++) {
        check_refused(sources[i], missing, "No such file or directory (os error 2)", bad, 1);
        check_refused(sources[i], under_file, "Not a directory (os error 20)", bad, 1);
        check_refused(sources[i], too_long, "File name too long (os error 36)", bad, 1);
    }
    CHECK(zembrel_save_as(mem, longest) == 0);
    CHECK(count_of(mem, "SELECT COUNT(*) FROM t") == 1);
    zembrel_close(mem);
    zembrel_close(file_db);
    remove_dir(bad);
    free(longest);
    free(too_long);
    free(under_file);
    free(missing);
    free(a_file);
    free(bad);
    free(dest);
}

static int links_in(const char* dir) {
    DIR* d = opendir(dir);
    if (d == NULL) return -1;
    int n = 0;
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
        struct stat st;
        char* p = join_path(dir, e->d_name);
        if (lstat(p, &st) == 0 && S_ISLNK(st.st_mode)) n++;
        free(p);
    }
    closedir(d);
    return n;
}

/* A name that leads nowhere (a loop of links, or a chain longer than the
 * 40 links the system follows) is refused, from either route, and every
 * link stays a link; a chain of 40 leads the copy to its end. */
static void test_save_as_onto_names_that_lead_nowhere(const char* dir) {
    char* links = join_path(dir, "links");
    CHECK(mkdir(links, 0700) == 0);
    make_chain(links, "loop", 3, "loop0");
    make_chain(links, "long", 42, "long.db");
    make_chain(links, "fits", 40, "fits.db");
    char* loop = join_path(links, "loop0");
    char* too_long = join_path(links, "long0");
    char* fits = join_path(links, "fits0");
    char* src = join_path(dir, "nowhere_src.db");
    zembrel_db* file_db = zembrel_open(src);
    make_table(file_db);
    zembrel_db* mem = zembrel_open_memory();
    make_table(mem);
    zembrel_db* sources[] = {file_db, mem};
    for (int i = 0; i < 2; i++) {
        check_refused(sources[i], loop, "Too many levels of symbolic links (os error 40)", links, 85);
        check_refused(sources[i], too_long, "Too many levels of symbolic links (os error 40)", links, 85);
    }
    CHECK(links_in(links) == 85);
    CHECK(zembrel_save_as(mem, fits) == 0);
    CHECK(zembrel_exec(mem, "INSERT INTO t (name) VALUES ('b')") == 0);
    zembrel_close(mem);
    CHECK(links_in(links) == 85);
    char* end = join_path(links, "fits.db");
    check_has_key(end, "b");
    free(end);
    zembrel_close(file_db);
    remove_dir(links);
    free(src);
    free(fits);
    free(too_long);
    free(loop);
    free(links);
}

/* A set-user-id program runs with the real user of its caller and the
 * effective user of its owner; the OS lets the effective user create, and
 * so must the folder check. Only root can take on two such users. */
static void test_save_as_judged_for_the_effective_user(const char* dir) {
    if (geteuid() != 0) {
        fprintf(stderr, "skipped the effective-user case: only root can run with a real user of nobody and an "
                        "effective user of root, as a set-user-id program does\n");
        return;
    }
    char* private_dir = join_path(dir, "root_only");
    CHECK(mkdir(private_dir, 0700) == 0);
    char* dest = join_path(private_dir, "x.db");
    fflush(NULL);
    const pid_t pid = fork();
    if (pid == 0) {
        if (setreuid(65534, 0) != 0 || getuid() != 65534 || geteuid() != 0) _exit(3);
        zembrel_db* mem = zembrel_open_memory();
        make_table(mem);
        const int saved = zembrel_save_as(mem, dest);
        if (saved != 0) fprintf(stderr, "save-as as effective root: %s\n", zembrel_errmsg(mem));
        zembrel_close(mem);
        _exit(saved == 0 && failures == 0 ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    check_has_key(dest, "a");
    remove_dir(private_dir);
    free(dest);
    free(private_dir);
}

/* Opens `dest` and saves onto it from both routes: each of the three may
 * take a file beside it for what a killed save-as left. `step` runs after
 * each, with `arg`. */
static void touch_namesake(const char* dest, const char* src, void (*step)(void*), void* arg) {
    zembrel_close(zembrel_open(dest));
    step(arg);
    zembrel_db* from_file = zembrel_open(src);
    CHECK(zembrel_save_as(from_file, dest) == 0);
    zembrel_close(from_file);
    step(arg);
    unlink(dest);
    zembrel_db* mem = zembrel_open_memory();
    make_table(mem);
    CHECK(zembrel_save_as(mem, dest) == 0);
    zembrel_close(mem);
    step(arg);
}

static void nothing(void* arg) { (void)arg; }

static void insert_one(void* db) { CHECK(zembrel_exec((zembrel_db*)db, "INSERT INTO u VALUES (1)") == 0); }

/* A database of the user's under a name that a scratch copy of `dest`
 * could have (the fixed form and a UUID form) is never taken for what a
 * killed save-as left: it keeps every acknowledged row when it is closed
 * with a crash log, while a handle holds it and writes, and as the source
 * of a save-as onto its namesake; and nothing at such names, a folder
 * included, stands in the way of a save-as. */
static void test_namesakes_of_scratch_copies(const char* dir) {
    char* src = join_path(dir, "namesake_src.db");
    zembrel_db* s = zembrel_open(src);
    make_table(s);
    zembrel_close(s);
    const char* forms[] = {"%s.saving", "%s.0f0e5a3c-1d2b-4c5d-8e9f-a0b1c2d3e4f5.saving"};
    char* dest = join_path(dir, "namesake.db");
    for (int i = 0; i < 2; i++) {
        char user[1024], user_log[1100];
        snprintf(user, sizeof user, forms[i], dest);
        snprintf(user_log, sizeof user_log, "%s.pwal", user);
        zembrel_db* v = zembrel_open(user);
        CHECK(zembrel_exec(v, "CREATE TABLE u (n INT)") == 0);
        CHECK(zembrel_exec(v, "INSERT INTO u VALUES (1), (2), (3)") == 0);
        zembrel_close(v);
        exec_and_vanish(user, "INSERT INTO u VALUES (4)");
        CHECK(file_size(user_log) > 0);
        unlink(dest);
        touch_namesake(dest, src, nothing, NULL);
        CHECK(file_size(user_log) > 0);

        v = zembrel_open(user);
        CHECK(count_of(v, "SELECT COUNT(*) FROM u") == 4);
        unlink(dest);
        touch_namesake(dest, src, insert_one, v);
        zembrel_close(v);

        /* Its own namesake as the destination of a save-as from it. */
        v = zembrel_open(user);
        CHECK(count_of(v, "SELECT COUNT(*) FROM u") == 7);
        CHECK(zembrel_save_as(v, dest) == 0);
        CHECK(zembrel_exec(v, "INSERT INTO u VALUES (5)") == 0);
        CHECK(count_of(v, "SELECT COUNT(*) FROM u") == 8);
        zembrel_close(v);
        v = zembrel_open(user);
        CHECK(count_of(v, "SELECT COUNT(*) FROM u") == 7);
        zembrel_close(v);
    }

    char* blocked = join_path(dir, "folders.db");
    for (int i = 0; i < 2; i++) {
        char name[1024], log[1100];
        snprintf(name, sizeof name, forms[i], blocked);
        snprintf(log, sizeof log, "%s.pwal", name);
        CHECK(mkdir(name, 0700) == 0 && mkdir(log, 0700) == 0);
    }
    unlink(blocked);
    touch_namesake(blocked, src, nothing, NULL);
    for (int i = 0; i < 2; i++) {
        char name[1024], log[1100];
        snprintf(name, sizeof name, forms[i], blocked);
        snprintf(log, sizeof log, "%s.pwal", name);
        CHECK(rmdir(name) == 0 && rmdir(log) == 0);
    }
    free(blocked);
    free(dest);
    free(src);
}

/* `path` holds exactly `text`. */
static int holds(const char* path, const char* text) {
    long len = 0;
    char* got = read_all(path, &len);
    const int same = got != NULL && len == (long)strlen(text) && memcmp(got, text, (size_t)len) == 0;
    free(got);
    return same;
}

/* A symbolic link planted at the name of a file the engine makes beside a
 * database (its log, its lock file) is refused, and the file it leads to,
 * or would make, stays as it was. */
static void test_links_planted_beside_a_database(const char* dir) {
    static const char kPrecious[] = "the user's own bytes\n";
    char* victim = join_path(dir, "victim");
    char* unmade = join_path(dir, "unmade");
    FILE* f = fopen(victim, "wb");
    CHECK(f != NULL && fputs(kPrecious, f) >= 0);
    if (f) fclose(f);

    /* The log's name, before the database exists and after. */
    for (int existing = 0; existing < 2; existing++) {
        for (int dangling = 0; dangling < 2; dangling++) {
            char* db_path = join_path(dir, "planted.db");
            char log[1024];
            snprintf(log, sizeof log, "%s.pwal", db_path);
            if (existing) {
                zembrel_db* db = zembrel_open(db_path);
                make_table(db);
                zembrel_close(db);
            }
            CHECK(symlink(dangling ? unmade : victim, log) == 0);
            CHECK(zembrel_open(db_path) == NULL);
            CHECK(zembrel_open_shared(db_path) == NULL);
            CHECK(holds(victim, kPrecious));
            CHECK(file_size(unmade) == -1);
            if (!existing) CHECK(file_size(db_path) == -1);
            unlink(log);
            if (existing) {
                zembrel_db* db = zembrel_open(db_path);
                CHECK(count_of(db, "SELECT COUNT(*) FROM t") == 1);
                zembrel_close(db);
            }
            unlink(db_path);
            free(db_path);
        }
    }

    /* The lock file's name, by an open and by a save-as. */
    char* locked = join_path(dir, "planted_lock.db");
    char lock[1024];
    snprintf(lock, sizeof lock, "%s.lock", locked);
    CHECK(symlink(victim, lock) == 0);
    CHECK(zembrel_open(locked) == NULL);
    zembrel_db* mem = zembrel_open_memory();
    make_table(mem);
    CHECK(zembrel_save_as(mem, locked) == 1);
    char expected[1200];
    snprintf(expected, sizeof expected, "Storage error: lock file open failed: symbolic link refused at '%s'", lock);
    CHECK_STR(zembrel_errmsg(mem), expected);
    CHECK(count_of(mem, "SELECT COUNT(*) FROM t") == 1);
    zembrel_close(mem);
    CHECK(holds(victim, kPrecious));
    CHECK(file_size(locked) == -1);
    unlink(lock);
    free(locked);
    unlink(victim);
    free(unmade);
    free(victim);
}

/* A fresh folder `name` under `dir`; the caller frees it. */
static char* sub_dir(const char* dir, const char* name) {
    char* d = join_path(dir, name);
    CHECK(mkdir(d, 0700) == 0);
    return d;
}

/* A file source with table t holding one row, in a folder of its own so
 * that the destination's folder counts only what a save-as makes there. */
static zembrel_db* file_source(const char* dir) {
    char* src = join_path(dir, "source_of_saves.db");
    zembrel_db* db = zembrel_open(src);
    free(src);
    CHECK(db != NULL);
    if (db != NULL && count_of(db, "SELECT COUNT(*) FROM t") == -1) make_table(db);
    return db;
}

/* An existing destination: table o with five rows. */
static void make_destination(const char* dest) {
    zembrel_db* db = zembrel_open(dest);
    CHECK(zembrel_exec(db, "CREATE TABLE o (n INT)") == 0);
    CHECK(zembrel_exec(db, "INSERT INTO o VALUES (1), (2), (3), (4), (5)") == 0);
    zembrel_close(db);
}

/* Save-as onto `dest` from `src` is refused with `expected`, and nothing
 * changed: the destination's bytes (or its absence), what lies in its
 * folder, and the handle, still on its own database. */
static void check_save_refused(zembrel_db* src, const char* dest, const char* expected) {
    char* folder = strdup(dest);
    *strrchr(folder, '/') = '\0';
    const int entries = count_entries(folder);
    long before_len = -1;
    char* before = read_all(dest, &before_len);
    CHECK(zembrel_save_as(src, dest) == 1);
    CHECK_STR(zembrel_errmsg(src), expected);
    long after_len = -1;
    char* after = read_all(dest, &after_len);
    CHECK((before == NULL) == (after == NULL));
    CHECK(before == NULL || (before_len == after_len && memcmp(before, after, (size_t)before_len) == 0));
    CHECK(count_entries(folder) == entries);
    CHECK(count_of(src, "SELECT COUNT(*) FROM t") == 1);
    free(after);
    free(before);
    free(folder);
}

/* Save-as onto `dest` succeeds: the handle is on the destination, which
 * holds the source's table and no longer its own. */
static void check_save_replaces(zembrel_db* src, const char* dest) {
    CHECK(zembrel_save_as(src, dest) == 0);
    CHECK(count_of(src, "SELECT COUNT(*) FROM t") == 1);
    CHECK(count_of(src, "SELECT COUNT(*) FROM o") == -1);
    CHECK(zembrel_open(dest) == NULL); /* held by the handle */
}

/* Save-as keeps its record in <dest>.lock only when that file can be no one
 * else's. A user's bytes there, a hard link to a user's file and a FIFO
 * keep what they are: every save-as, from both routes, onto an existing
 * and an absent destination, is refused before anything is made, while a
 * plain open locks them and leaves them alone. */
static void test_what_stands_at_the_lock_name(const char* dir) {
    static const char kPid[] = "pid 4711\n";
    static const char kUsers[] = "the user's own file\n";
    const char* reasons[] = {"it holds other data", "it has more than one name", "not a regular file"};
    for (int kind = 0; kind < 3; kind++) {
        for (int existing = 0; existing < 2; existing++) {
            for (int from_file = 0; from_file < 2; from_file++) {
                if (existing && !from_file) continue; /* that route never replaces a file */
                char* d = sub_dir(dir, "lock_name");
                char* src_dir = sub_dir(dir, "lock_name_src");
                char* dest = join_path(d, "dest.db");
                char* lock = join_path(d, "dest.db.lock");
                char* users = join_path(d, "users.txt");
                if (existing) make_destination(dest);
                unlink(lock);
                if (kind == 0) write_bytes(lock, kPid, strlen(kPid));
                if (kind == 1) {
                    write_bytes(users, kUsers, strlen(kUsers));
                    CHECK(link(users, lock) == 0);
                }
                if (kind == 2) CHECK(mkfifo(lock, 0600) == 0);
                if (existing) {
                    zembrel_db* db = zembrel_open(dest);
                    CHECK(count_of(db, "SELECT COUNT(*) FROM o") == 5);
                    zembrel_close(db);
                }
                zembrel_db* src = from_file ? file_source(src_dir) : zembrel_open_memory();
                if (!from_file) make_table(src);
                char expected[1200];
                snprintf(expected, sizeof expected, "Storage error: lock file write refused: %s at '%s'", reasons[kind],
                         lock);
                check_save_refused(src, dest, expected);
                struct stat st;
                CHECK(lstat(lock, &st) == 0);
                if (kind == 0) CHECK(holds(lock, kPid));
                if (kind == 1) CHECK(holds(users, kUsers) && st.st_nlink == 2);
                if (kind == 2) CHECK(S_ISFIFO(st.st_mode));
                unlink(lock);
                check_save_replaces(src, dest);
                zembrel_close(src);
                remove_dir(src_dir);
                remove_dir(d);
                free(users);
                free(lock);
                free(dest);
                free(src_dir);
                free(d);
            }
        }
    }
    /* What the lock file's open meets names it. */
    char* d = sub_dir(dir, "lock_folder");
    char* dest = join_path(d, "dest.db");
    char* lock = join_path(d, "dest.db.lock");
    CHECK(mkdir(lock, 0700) == 0);
    zembrel_db* mem = zembrel_open_memory();
    make_table(mem);
    char expected[1200];
    snprintf(expected, sizeof expected, "Storage error: lock file open failed: not a regular file at '%s'", lock);
    check_save_refused(mem, dest, expected);
    zembrel_close(mem);
    rmdir(lock);
    /* Zeros only, as a power cut leaves a record whose length reached the
     * disk without its bytes, are no one's data: the next save-as records
     * over them. */
    static const char kZeros[40] = {0};
    make_destination(dest);
    write_bytes(lock, kZeros, sizeof kZeros);
    char* src_dir = sub_dir(dir, "lock_zeros_src");
    zembrel_db* src = file_source(src_dir);
    check_save_replaces(src, dest);
    zembrel_close(src);
    remove_dir(src_dir);
    free(src_dir);
    remove_dir(d);
    free(lock);
    free(dest);
    free(d);
}

/* What the reopen of a saved copy would refuse at <dest>.pwal (a symbolic
 * link, dangling or not, a folder, a FIFO) refuses the save-as before the
 * destination is touched, from both routes; once it is gone, a save-as
 * succeeds and has replaced the destination. */
static void test_what_stands_at_the_log_name(const char* dir) {
    static const char kPrecious[] = "the user's own bytes\n";
    for (int kind = 0; kind < 4; kind++) {
        for (int existing = 0; existing < 2; existing++) {
            for (int from_file = 0; from_file < 2; from_file++) {
                if (existing && !from_file) continue; /* that route never replaces a file */
                char* d = sub_dir(dir, "log_name");
                char* src_dir = sub_dir(dir, "log_name_src");
                char* dest = join_path(d, "dest.db");
                char* log = join_path(d, "dest.db.pwal");
                char* victim = join_path(src_dir, "victim");
                char* unmade = join_path(src_dir, "unmade");
                write_bytes(victim, kPrecious, strlen(kPrecious));
                if (existing) make_destination(dest);
                if (kind == 0) CHECK(symlink(unmade, log) == 0);
                if (kind == 1) CHECK(symlink(victim, log) == 0);
                if (kind == 2) CHECK(mkdir(log, 0700) == 0);
                if (kind == 3) CHECK(mkfifo(log, 0600) == 0);
                zembrel_db* src = from_file ? file_source(src_dir) : zembrel_open_memory();
                if (!from_file) make_table(src);
                char expected[1200];
                snprintf(expected, sizeof expected, "Storage error: open failed for '%s': %s", log,
                         kind < 2 ? "symbolic link refused" : "not a regular file");
                check_save_refused(src, dest, expected);
                CHECK(holds(victim, kPrecious));
                CHECK(file_size(unmade) == -1);
                if (kind == 2) rmdir(log);
                else unlink(log);
                check_save_replaces(src, dest);
                zembrel_close(src);
                remove_dir(src_dir);
                remove_dir(d);
                free(unmade);
                free(victim);
                free(log);
                free(dest);
                free(src_dir);
                free(d);
            }
        }
    }
}

/* Sends one byte down `fd` and waits for one from `back`. */
static void step_child(int fd, int back) {
    char c = 'g';
    CHECK(write(fd, &c, 1) == 1);
    CHECK(read(back, &c, 1) == 1);
}

/* A copy that a killed save-as left, and that its record in <dest>.lock
 * names, held open by another process (a user rescuing what it holds):
 * neither an open of the destination nor a save-as onto it removes it, and
 * every write acknowledged through it is there afterwards. Once no one
 * holds it, the next open takes it away, with its log and lock file. */
static void test_held_recorded_copy(const char* dir) {
    static const char kUuid[] = "0f0e5a3c-1d2b-4c5d-8e9f-a0b1c2d3e4f5";
    char* d = sub_dir(dir, "held_copy");
    char* src_dir = sub_dir(dir, "held_copy_src");
    char* dest = join_path(d, "dest.db");
    char* lock = join_path(d, "dest.db.lock");
    char copy[1024], copy_log[1100], copy_lock[1100], record[64];
    snprintf(copy, sizeof copy, "%s.%s.saving", dest, kUuid);
    snprintf(copy_log, sizeof copy_log, "%s.pwal", copy);
    snprintf(copy_lock, sizeof copy_lock, "%s.lock", copy);
    snprintf(record, sizeof record, "KRVS%s", kUuid);
    zembrel_db* made = zembrel_open(copy);
    CHECK(zembrel_exec(made, "CREATE TABLE r (n INT)") == 0);
    zembrel_close(made);
    write_bytes(lock, record, strlen(record));

    int to_child[2], to_parent[2];
    CHECK(pipe(to_child) == 0 && pipe(to_parent) == 0);
    fflush(NULL);
    const pid_t pid = fork();
    if (pid == 0) {
        /* Three writes, each acknowledged before the parent goes on. */
        zembrel_db* db = zembrel_open(copy);
        int ok = db != NULL;
        char c;
        for (int i = 0; i < 3 && ok; i++) {
            ok = zembrel_exec(db, "INSERT INTO r VALUES (1)") == 0;
            c = ok ? 'a' : 'x';
            if (write(to_parent[1], &c, 1) != 1 || read(to_child[0], &c, 1) != 1) ok = 0;
        }
        zembrel_close(db);
        _exit(ok ? 0 : 1);
    }
    char c = 0;
    CHECK(read(to_parent[0], &c, 1) == 1 && c == 'a');
    zembrel_close(zembrel_open(dest));
    CHECK(file_size(copy) > 0 && file_size(copy_lock) != -1);
    CHECK(holds(lock, record));
    step_child(to_child[1], to_parent[0]);
    zembrel_db* src = file_source(src_dir);
    CHECK(zembrel_save_as(src, dest) == 0);
    zembrel_close(src);
    CHECK(file_size(copy) > 0);
    step_child(to_child[1], to_parent[0]);
    CHECK(write(to_child[1], &c, 1) == 1);
    int status = 0;
    CHECK(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    zembrel_db* rescued = zembrel_open(copy);
    CHECK(count_of(rescued, "SELECT COUNT(*) FROM r") == 3);
    zembrel_close(rescued);
    close(to_child[0]);
    close(to_child[1]);
    close(to_parent[0]);
    close(to_parent[1]);

    /* The save-as's own record replaced the old one: the copy is the
     * user's now. Recorded again and held by no one, it goes. */
    zembrel_close(zembrel_open(dest));
    CHECK(file_size(copy) > 0);
    write_bytes(lock, record, strlen(record));
    zembrel_close(zembrel_open(dest));
    CHECK(file_size(copy) == -1 && file_size(copy_log) == -1 && file_size(copy_lock) == -1);
    CHECK(file_size(lock) == 0);
    remove_dir(src_dir);
    remove_dir(d);
    free(lock);
    free(dest);
    free(src_dir);
    free(d);
}

int main(void) {
    char* dir = make_temp_dir();
    test_messages(dir);
    test_memory_save_as(dir);
    test_file_save_as(dir);
    test_save_as_through_links(dir);
    test_save_as_onto_bad_folders(dir);
    test_namesakes_of_scratch_copies(dir);
    test_links_planted_beside_a_database(dir);
    test_save_as_onto_names_that_lead_nowhere(dir);
    test_save_as_judged_for_the_effective_user(dir);
    test_what_stands_at_the_lock_name(dir);
    test_what_stands_at_the_log_name(dir);
    test_held_recorded_copy(dir);
    remove_dir(dir);
    free(dir);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
