/* A process killed at random moments keeps every statement that returned 0
 * and nothing of one that did not finish: after each kill the file holds
 * exactly a prefix of the work, at least everything the process reported
 * done. The kills fall on commits, on checkpoints (the log passes 4 MiB), on
 * opens and in the middle of transactions. Then kills fall during save-as
 * (see save_as_rounds).
 *
 * Progress is one number, the level: 0 nothing, 1 table created, 2 unique
 * index created, 2 + R the rows with n = 1..R stored. The work from a level
 * to the next is a function of the level alone, so the parent knows what the
 * one unit in flight at the kill would have stored.
 *
 * Set ZEMBREL_CRASH_SEED to repeat a run; a failing run prints its seed. */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <sys/wait.h>
#include <time.h>

#include "capi_util.h"
#include "zembrel.h"

enum { ROUNDS = 20, MAX_STATEMENTS = 3, SQL_CAP = 1 << 14 };

static const char* const kUnique = "Execution error: unique constraint violated: duplicate key";

static uint64_t next_random(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

/* The unit of work that starts with `rows_before` rows stored: one INSERT,
 * or BEGIN, some INSERTs, COMMIT. One row in a few carries a text of some
 * KB so that rows spill into overflow pages and the log grows fast. */
struct unit {
    int txn;
    int statements;
    int rows[MAX_STATEMENTS];
    int total;
    int big_row; /* index of the row within the unit with a large text, or -1 */
    int big_len;
};

static void plan_unit(long rows_before, struct unit* u) {
    uint64_t s = (uint64_t)rows_before * 7919u + 17u;
    uint64_t kind = next_random(&s) % 8;
    memset(u, 0, sizeof *u);
    if (kind < 4) {
        u->statements = 1;
        u->rows[0] = 1;
    } else if (kind < 6) {
        u->statements = 1;
        u->rows[0] = 2 + (int)(next_random(&s) % 4);
    } else {
        u->txn = 1;
        u->statements = 1 + (int)(next_random(&s) % MAX_STATEMENTS);
        for (int i = 0; i < u->statements; i++) u->rows[i] = 1 + (int)(next_random(&s) % 3);
    }
    for (int i = 0; i < u->statements; i++) u->total += u->rows[i];
    u->big_row = next_random(&s) % 2 == 0 ? (int)(next_random(&s) % (uint64_t)u->total) : -1;
    u->big_len = 2100 + (int)(next_random(&s) % 2000);
}

static long next_level(long level) {
    if (level < 2) return level + 1;
    struct unit u;
    plan_unit(level - 2, &u);
    return level + u.total;
}

/* ---- the child ------------------------------------------------------------ */

static void child_run(zembrel_db* db, const char* sql) {
    if (zembrel_exec(db, sql) != 0) {
        fprintf(stderr, "child: statement failed: %.80s\n  error: %s\n", sql,
                zembrel_errmsg(db) ? zembrel_errmsg(db) : "NULL");
        _exit(11);
    }
    /* A success that left a note means the automatic save failed. */
    if (zembrel_errmsg(db) != NULL) {
        fprintf(stderr, "child: %.80s\n  note: %s\n", sql, zembrel_errmsg(db));
        _exit(12);
    }
}

static void child_main(const char* path, const char* log, long level, int out) {
    long last_log_len = 0;
    zembrel_db* db = zembrel_open(path);
    if (db == NULL) {
        fprintf(stderr, "child: open failed\n");
        _exit(10);
    }
    char* sql = malloc(SQL_CAP);
    for (;;) {
        if (level == 0) {
            child_run(db, "CREATE TABLE t (id PK, n INT, s TEXT)");
        } else if (level == 1) {
            child_run(db, "CREATE UNIQUE INDEX un ON t (n)");
        } else {
            struct unit u;
            plan_unit(level - 2, &u);
            long n = level - 2;
            int row = 0;
            if (u.txn) child_run(db, "BEGIN");
            for (int i = 0; i < u.statements; i++) {
                int len = sprintf(sql, "INSERT INTO t VALUES ");
                for (int r = 0; r < u.rows[i]; r++, row++) {
                    n++;
                    len += sprintf(sql + len, "%s(%ld, 'row %ld ", r ? ", " : "", n, n);
                    int pad = row == u.big_row ? u.big_len : 8;
                    for (int k = 0; k < pad; k++) sql[len++] = (char)('a' + (n + k) % 26);
                    len += sprintf(sql + len, "')");
                }
                child_run(db, sql);
            }
            if (u.txn) child_run(db, "COMMIT");
        }
        level = next_level(level);
        /* The low bit tells the parent that the log shrank: a checkpoint ran. */
        long log_len = file_size(log);
        long record = level * 2 + (log_len < last_log_len ? 1 : 0);
        last_log_len = log_len;
        if (write(out, &record, sizeof record) != (ssize_t)sizeof record) _exit(13);
    }
}

/* ---- the parent's checks -------------------------------------------------- */

static int refused_as_duplicate(zembrel_db* db, long n) {
    char sql[64];
    snprintf(sql, sizeof sql, "INSERT INTO t VALUES (%ld, 'dup')", n);
    if (zembrel_exec(db, sql) == 0) {
        fprintf(stderr, "n = %ld is missing: its duplicate was stored\n", n);
        return 0;
    }
    const char* msg = zembrel_errmsg(db);
    if (msg == NULL || strncmp(msg, kUnique, strlen(kUnique)) != 0) {
        fprintf(stderr, "duplicate of n = %ld: unexpected error %s\n", n, msg ? msg : "NULL");
        return 0;
    }
    return 1;
}

/* The number in the first cell of a query's result, or -1. */
static long number_of(zembrel_db* db, const char* sql) {
    zembrel_result* rs = zembrel_query(db, sql);
    const char* cell = rs != NULL ? zembrel_result_value(rs, 0, 0) : NULL;
    long n = cell != NULL ? strtol(cell, NULL, 10) : -1;
    if (rs == NULL) fprintf(stderr, "probe failed: %s\n  error: %s\n", sql, zembrel_errmsg(db) ? zembrel_errmsg(db) : "NULL");
    zembrel_result_free(rs);
    return n;
}

/* Reopens the file and finds its level inside a transaction that is rolled
 * back: a table whose unique index refuses a repeated value, holding the
 * values 1..R (count, least, greatest and sum agree, and R is refused
 * again). -1 on any failure. */
static long probe_level(const char* path) {
    zembrel_db* db = zembrel_open(path);
    if (db == NULL) {
        fprintf(stderr, "reopen failed\n");
        return -1;
    }
    long level = -1;
    const char* msg = NULL;
    if (zembrel_exec(db, "BEGIN") != 0) {
        fprintf(stderr, "BEGIN failed: %s\n", zembrel_errmsg(db));
    } else if (zembrel_exec(db, "INSERT INTO t VALUES (-1, 'probe'), (-1, 'probe')") == 0) {
        /* No unique index: the table must be empty. */
        if (number_of(db, "SELECT COUNT(*) FROM t") == 2) level = 1;
        else fprintf(stderr, "table without index holds rows\n");
    } else if ((msg = zembrel_errmsg(db)) != NULL && strstr(msg, "table 't' not found") != NULL) {
        level = 0;
    } else if (msg != NULL && strncmp(msg, kUnique, strlen(kUnique)) == 0) {
        long rows = number_of(db, "SELECT COUNT(*) FROM t");
        if (rows == 0 || (number_of(db, "SELECT MIN(n) FROM t") == 1 && number_of(db, "SELECT MAX(n) FROM t") == rows &&
                          number_of(db, "SELECT SUM(n) FROM t") == rows * (rows + 1) / 2 && refused_as_duplicate(db, rows)))
            level = 2 + rows;
        else fprintf(stderr, "the rows are not the values 1..%ld\n", rows);
    } else {
        fprintf(stderr, "first probe: unexpected error %s\n", msg ? msg : "NULL");
    }
    zembrel_result* rs = zembrel_query(db, "ROLLBACK");
    if (rs == NULL || zembrel_result_message(rs) == NULL || strcmp(zembrel_result_message(rs), "Transaction rolled back.") != 0) {
        fprintf(stderr, "ROLLBACK failed: %s\n", zembrel_errmsg(db) ? zembrel_errmsg(db) : "NULL");
        level = -1;
    }
    zembrel_result_free(rs);
    zembrel_close(db);
    return level;
}

/* ---- the rounds ----------------------------------------------------------- */

static long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static long checkpoints = 0;      /* reported by the children */
static int threshold_rounds = 0;  /* rounds whose log passed the checkpoint threshold */

/* Reads the child's records until the deadline (deadline < 0: until end of
 * file); returns the last level, or `last` when none came, and counts the
 * checkpoints reported. */
static long read_reports(int fd, long last, long deadline) {
    static char buf[4096];
    static size_t have = 0;
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            long left = deadline - now_ms();
            if (left <= 0) return last;
            timeout = (int)left;
        }
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return last;
        ssize_t got = read(fd, buf + have, sizeof buf - have);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            have = 0;
            return last;
        }
        have += (size_t)got;
        size_t whole = have / sizeof(long) * sizeof(long);
        for (size_t at = 0; at < whole; at += sizeof(long)) {
            long record;
            memcpy(&record, buf + at, sizeof record);
            last = record / 2;
            checkpoints += record % 2;
        }
        memmove(buf, buf + whole, have - whole);
        have -= whole;
    }
}

/* Waits for the moment to kill the child and returns the last level it
 * reported by then. One round in five kills early (open, loading the table,
 * creating the schema), one in five just after a commit took the log past
 * the checkpoint threshold (the commit's sync or the checkpoint itself), the
 * rest at a random time once the child has begun to report. */
static long kill_time(int round, int fd, long level, const char* log, uint64_t* rng) {
    const long give_up = now_ms() + 5000;
    long reported = level;
    /* Reaching the threshold takes several hundred rows, and every row adds to
     * the loading time of each later open: three such rounds are enough. */
    const int checkpoint_round = round % 5 == 2 && round < 15;
    if (round % 5 == 0) return read_reports(fd, level, now_ms() + (long)(next_random(rng) % 40));
    if (checkpoint_round) {
        while (file_size(log) <= 4194304 && now_ms() < give_up) reported = read_reports(fd, reported, now_ms() + 1);
        if (file_size(log) > 4194304) threshold_rounds++;
        return read_reports(fd, reported, now_ms() + (long)(next_random(rng) % 25));
    }
    while (reported == level && now_ms() < give_up) reported = read_reports(fd, reported, now_ms() + 5);
    return read_reports(fd, reported, now_ms() + 20 + (long)(next_random(rng) % 330));
}

/* ---- save-as ------------------------------------------------------------- */

/* Kills during zembrel_save_as at timed moments, by both routes (an
 * in-memory database, a file database) and with and without an old database
 * at the destination: the destination is then absent, or the old database
 * with all its rows, or the whole copy with every table and row; never
 * anything else, and the copy whenever the child was told the save-as
 * succeeded. What the kills leave beside the destination must not trouble
 * the later rounds' save-as to the same path, and the next open of the
 * destination removes it. */
enum { SAVE_ROWS = 800, SAVE_ROUNDS = 8 };

static const char kPad[] = "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz"
                           "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrst";

static void fill_save_source(zembrel_db* db, char* sql) {
    child_run(db, "CREATE TABLE t (id PK, n INT, s TEXT)");
    child_run(db, "CREATE UNIQUE INDEX un ON t (n)");
    child_run(db, "CREATE TABLE w (k TEXT)");
    child_run(db, "INSERT INTO w VALUES ('x'), ('y')");
    for (int n = 1; n <= SAVE_ROWS;) {
        int len = sprintf(sql, "INSERT INTO t VALUES ");
        for (int r = 0; r < 120 && n <= SAVE_ROWS; r++, n++) /* within SQL_CAP */
            len += sprintf(sql + len, "%s(%d, 'row %d %.*s')", r ? ", " : "", n, n, 60 + n % 40, kPad);
        child_run(db, sql);
    }
}

/* Tells 'R' when it is about to save, then 'S' or 'F' for the outcome. */
static void save_child(const char* src, const char* dest, int out) {
    char* sql = malloc(SQL_CAP);
    zembrel_db* db = src != NULL ? zembrel_open(src) : zembrel_open_memory();
    if (db == NULL) _exit(10);
    if (src == NULL) fill_save_source(db, sql);
    if (write(out, "R", 1) != 1) _exit(13);
    char outcome = zembrel_save_as(db, dest) == 0 ? 'S' : 'F';
    if (write(out, &outcome, 1) != 1) _exit(13);
    pause();
    _exit(0);
}

/* "absent", "old" (the table o with its 5 rows), "copy" (t with its rows,
 * its unique index, and w), or NULL with a note. */
static const char* save_state(const char* dest) {
    if (file_size(dest) == -1) return "absent";
    zembrel_db* db = zembrel_open(dest);
    if (db == NULL) {
        fprintf(stderr, "destination does not open\n");
        return NULL;
    }
    const char* state = NULL;
    zembrel_result* old = zembrel_query(db, "SELECT COUNT(*) FROM o"); /* fails on the copy */
    const char* old_rows = old != NULL ? zembrel_result_value(old, 0, 0) : NULL;
    if (old_rows != NULL && strcmp(old_rows, "5") == 0) {
        state = "old";
    } else if (number_of(db, "SELECT COUNT(*) FROM t") == SAVE_ROWS &&
               number_of(db, "SELECT SUM(n) FROM t") == (long)SAVE_ROWS * (SAVE_ROWS + 1) / 2 &&
               number_of(db, "SELECT COUNT(*) FROM w") == 2 && refused_as_duplicate(db, SAVE_ROWS)) {
        state = "copy";
    } else {
        fprintf(stderr, "destination holds neither the old database nor the copy\n");
    }
    zembrel_result_free(old);
    zembrel_close(db);
    return state;
}

/* Files beside the destination `dest` (in `dir`) left by a save-as: its
 * scratch copy and that copy's log. With `stray_only`, only those that are
 * not the copy its lock file records, nor that copy's log. */
static int scratch_files(const char* dir, const char* dest, int stray_only) {
    char recorded[1100] = "";
    if (stray_only) (void)recorded_scratch(dest, recorded, sizeof recorded);
    const char* slash = strrchr(dest, '/');
    const char* dest_name = slash ? slash + 1 : dest;
    const char* recorded_name = recorded[0] ? strrchr(recorded, '/') + 1 : "";
    const size_t recorded_len = strlen(recorded_name);
    DIR* d = opendir(dir);
    if (d == NULL) return -1;
    int n = 0;
    const size_t len = strlen(dest_name);
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
        if (strncmp(e->d_name, dest_name, len) != 0 || strstr(e->d_name + len, ".saving") == NULL) continue;
        const int ours = recorded_len > 0 && strncmp(e->d_name, recorded_name, recorded_len) == 0 &&
                         (e->d_name[recorded_len] == '\0' || strcmp(e->d_name + recorded_len, ".pwal") == 0);
        if (!stray_only || !ours) n++;
    }
    closedir(d);
    return n;
}

static void remove_database(const char* path) {
    char other[1024];
    unlink(path);
    for (int i = 0; i < 2; i++) {
        snprintf(other, sizeof other, "%s.%s", path, i ? "pwal" : "lock");
        unlink(other);
    }
}

/* Returns the number of kills that fell while the save-as ran. */
static int save_as_rounds(const char* dir, uint64_t* rng) {
    char* src = join_path(dir, "save_src.db");
    char* dest = join_path(dir, "save_dest.db");
    char* sql = malloc(SQL_CAP);
    zembrel_db* db = zembrel_open(src);
    fill_save_source(db, sql);
    zembrel_close(db);
    free(sql);

    int in_flight_kills = 0;
    for (int kind = 0; kind < 4 && failures == 0; kind++) {
        const int from_file = kind / 2, old_there = kind % 2;
        long span_us = 0; /* how long an unkilled save-as took: round 0 finds out */
        /* An in-memory database is never saved over a file: one round shows it. */
        const char expected = from_file || !old_there ? 'S' : 'F';
        for (int round = 0; round <= (expected == 'S' ? SAVE_ROUNDS : 0) && failures == 0; round++) {
            remove_database(dest);
            if (old_there) {
                zembrel_db* old = zembrel_open(dest);
                CHECK(zembrel_exec(old, "CREATE TABLE o (n INT)") == 0);
                CHECK(zembrel_exec(old, "INSERT INTO o VALUES (1), (2), (3), (4), (5)") == 0);
                zembrel_close(old);
            }
            int fds[2];
            if (pipe(fds) != 0) {
                perror("pipe");
                exit(2);
            }
            fflush(NULL);
            pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                save_child(from_file ? src : NULL, dest, fds[1]);
            }
            close(fds[1]);
            char ready = 0, outcome = 0;
            CHECK(read(fds[0], &ready, 1) == 1 && ready == 'R');
            struct timespec start;
            clock_gettime(CLOCK_MONOTONIC, &start);
            if (round == 0) {
                CHECK(read(fds[0], &outcome, 1) == 1);
                struct timespec end;
                clock_gettime(CLOCK_MONOTONIC, &end);
                span_us = (end.tv_sec - start.tv_sec) * 1000000L + (end.tv_nsec - start.tv_nsec) / 1000L;
            } else {
                /* Anywhere in the save-as, and a little past its end. */
                long wait_us = (long)(next_random(rng) % (uint64_t)(span_us * 5 / 4 + 1));
                struct timespec pause_for = {wait_us / 1000000L, (wait_us % 1000000L) * 1000L};
                while (nanosleep(&pause_for, &pause_for) != 0 && errno == EINTR) {
                }
            }
            kill(pid, SIGKILL);
            waitpid(pid, NULL, 0);
            if (outcome == 0 && read(fds[0], &outcome, 1) != 1) {
                outcome = 0;
                in_flight_kills++;
            }
            close(fds[0]);
            if (scratch_files(dir, dest, 1) != 0) {
                fprintf(stderr, "save-as round %d: the kill left scratch files its record does not name\n", round);
                failures++;
            }
            const char* found = save_state(dest);
            /* The open of the destination (save_state's, or this one where
             * it is absent) takes away what the kill left beside it. */
            if (found != NULL && strcmp(found, "absent") == 0) zembrel_close(zembrel_open(dest));
            char left[1100];
            if (scratch_files(dir, dest, 0) != 0 || recorded_scratch(dest, left, sizeof left)) {
                fprintf(stderr, "save-as round %d: the next open left the scratch files or their record\n", round);
                failures++;
            }
            const char* before = old_there ? "old" : "absent";
            int fine = found != NULL;
            if (fine && outcome != 0)
                fine = outcome == expected && strcmp(found, expected == 'S' ? "copy" : before) == 0;
            else if (fine)
                fine = strcmp(found, before) == 0 || strcmp(found, "copy") == 0;
            if (!fine) {
                fprintf(stderr, "save-as round %d (%s database, %s old destination): found %s, outcome %c\n", round,
                        from_file ? "file" : "in-memory", old_there ? "an" : "no", found ? found : "nothing valid",
                        outcome ? outcome : '-');
                failures++;
            }
        }
    }
    remove_database(dest);
    remove_database(src);
    free(dest);
    free(src);
    return in_flight_kills;
}

int main(void) {
    const char* seed_text = getenv("ZEMBREL_CRASH_SEED");
    uint64_t seed = seed_text ? strtoull(seed_text, NULL, 10) : (uint64_t)time(NULL) ^ ((uint64_t)getpid() << 20);
    uint64_t rng = seed;
    char* dir = make_temp_dir();
    char* path = join_path(dir, "crash.db");
    char* log = join_path(dir, "crash.db.pwal");

    /* The file is made before the first kill. A process killed between
     * creating the file and writing its header page leaves an empty file,
     * which an open refuses (an empty file is not taken for a new database). */
    zembrel_db* first = zembrel_open(path);
    CHECK(first != NULL);
    zembrel_close(first);

    long level = 0;
    for (int round = 0; round < ROUNDS && failures == 0; round++) {
        int fds[2];
        if (pipe(fds) != 0) {
            perror("pipe");
            return 2;
        }
        fflush(NULL);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            child_main(path, log, level, fds[1]);
        }
        close(fds[1]);
        long reported = kill_time(round, fds[0], level, log, &rng);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        reported = read_reports(fds[0], reported, -1);
        close(fds[0]);
        if (!WIFSIGNALED(status)) {
            fprintf(stderr, "round %d: the child ended by itself (status %d)\n", round, status);
            failures++;
            break;
        }
        long in_flight = next_level(reported);
        long found = probe_level(path);
        if (found != reported && found != in_flight) {
            fprintf(stderr, "round %d: file at level %ld, child reported %ld (in flight up to %ld), started at %ld\n",
                    round, found, reported, in_flight, level);
            failures++;
            break;
        }
        level = found;
    }

    /* The kills must have met the checkpoint, not only ordinary commits. */
    if (failures == 0) CHECK(threshold_rounds > 0);
    int save_kills = failures == 0 ? save_as_rounds(dir, &rng) : 0;
    if (failures == 0) CHECK(save_kills > 0);
    printf("capi_crash_test: %d rounds, %ld rows, %d kills at the checkpoint threshold, %ld checkpoints reported, "
           "%d kills during a save-as\n",
           ROUNDS, level < 2 ? 0 : level - 2, threshold_rounds, checkpoints, save_kills);
    if (failures) fprintf(stderr, "%d check(s) failed; repeat with ZEMBREL_CRASH_SEED=%llu\n", failures,
                          (unsigned long long)seed);
    remove_dir(dir);
    free(log);
    free(path);
    free(dir);
    return failures ? 1 : 0;
}
