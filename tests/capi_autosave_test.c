/* A statement whose automatic save fails is undone and reported failed: after
 * a crash the file holds exactly the statements that returned 0, and a retry
 * once the fault is gone applies the statement once. The faults come from
 * the file-size limit, set in a child process with SIGXFSZ ignored.
 *
 * The child reports every key it tried and whether the call that carried it
 * returned 0; it ends without closing. The parent reopens the file and tries
 * every key again: the unique index refuses exactly the keys stored. */
#include <signal.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "capi_util.h"
#include "zembrel.h"

enum {
    ROUNDS = 150,
    FRAME = 4137,              /* one page in the log, with its frame head */
    BIG_PAD = 200 * 1024,      /* a row of about 50 overflow pages */
    CHECKPOINT_AT = 4194304,   /* log length past which a commit checkpoints */
    SQL_CAP = BIG_PAD + 256,
};

static const char* const kSaveFailed = "auto-save failed: Storage error: ";
static const char* const kUnique = "Execution error: unique constraint violated: duplicate key";

struct outcome {
    long key;
    int stored;
};

static uint64_t next_random(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

/* ---- the child ------------------------------------------------------------ */

static const char* g_path;
static const char* g_wal;
static int g_out;
static char* g_sql;

#define CHILD_CHECK(cond)                                                                   \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            lift_limit();                                                                   \
            fprintf(stderr, "child %s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            _exit(20);                                                                      \
        }                                                                                   \
    } while (0)

/* Lets no file grow past `bytes` (the soft limit; the hard one stays). */
static void limit_files(long bytes) {
    struct rlimit lim;
    getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = (rlim_t)bytes;
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(21);
}

static void lift_limit(void) {
    struct rlimit lim;
    getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(22);
}

static long largest_file(void) {
    long a = file_size(g_path), b = file_size(g_wal);
    return a > b ? a : b;
}

static void report(long key, int stored) {
    struct outcome o = {key, stored};
    if (write(g_out, &o, sizeof o) != (ssize_t)sizeof o) _exit(23);
}

/* INSERT of the keys [first, first + count) as one statement. */
static const char* insert_sql(long first, int count, int pad) {
    int len = sprintf(g_sql, "INSERT INTO t VALUES ");
    for (int i = 0; i < count; i++) {
        len += sprintf(g_sql + len, "%s(%ld, '", i ? ", " : "", first + i);
        for (int k = 0; k < pad; k++) g_sql[len++] = (char)('a' + (first + k) % 26);
        len += sprintf(g_sql + len, "')");
    }
    return g_sql;
}

/* One unit of work on the keys [first, first + count): 0 an autocommitted
 * exec, 1 an autocommitted query, 2 a transaction of one INSERT per key.
 * Returns whether it was reported done; a failure must be the auto-save's,
 * and must leave no transaction open. */
static int run_unit(zembrel_db* db, int kind, long first, int count) {
    int ok;
    if (kind == 0) {
        ok = zembrel_exec(db, insert_sql(first, count, 8)) == 0;
    } else if (kind == 1) {
        zembrel_result* rs = zembrel_query(db, insert_sql(first, count, 8));
        ok = rs != NULL;
        zembrel_result_free(rs);
    } else {
        CHILD_CHECK(zembrel_exec(db, "BEGIN") == 0);
        for (int i = 0; i < count; i++) CHILD_CHECK(zembrel_exec(db, insert_sql(first + i, 1, 8)) == 0);
        ok = zembrel_exec(db, "COMMIT") == 0;
    }
    if (ok) {
        CHILD_CHECK(zembrel_errmsg(db) == NULL);
        return 1;
    }
    const char* msg = zembrel_errmsg(db);
    CHILD_CHECK(msg != NULL && strncmp(msg, kSaveFailed, strlen(kSaveFailed)) == 0);
    if (kind == 2) {
        /* The failed COMMIT discarded the whole transaction. */
        CHILD_CHECK(zembrel_exec(db, "ROLLBACK") == 1);
        CHILD_CHECK(strcmp(zembrel_errmsg(db), "Execution error: no active transaction") == 0);
    }
    return 0;
}

/* Saves that fail anywhere in the log append, at random limits. */
static void faults_in_commits(zembrel_db* db) {
    uint64_t rnd = 12345;
    long key = 1;
    int faults = 0, retried = 0;
    for (int round = 0; round < ROUNDS; round++) {
        const int kind = (int)(next_random(&rnd) % 3);
        const int count = 1 + (int)(next_random(&rnd) % 3);
        const int limited = next_random(&rnd) % 4 != 0;
        if (limited) limit_files(largest_file() + (long)(next_random(&rnd) % (4 * FRAME)));
        int stored = run_unit(db, kind, key, count);
        lift_limit();
        CHILD_CHECK(stored || limited);
        if (!stored) {
            faults++;
            /* Most failures are retried at once; the rest must leave nothing. */
            if (next_random(&rnd) % 3 != 0) {
                CHILD_CHECK(run_unit(db, kind, key, count));
                stored = 1;
                retried++;
            }
        }
        for (int i = 0; i < count; i++) report(key + i, stored);
        key += count;
    }
    CHILD_CHECK(faults > ROUNDS / 5 && retried > 0 && retried < faults);
}

/* A commit that lands while the checkpoint after it cannot grow the page
 * file is done: it reports success, and the checkpoint runs once it can. */
static void fault_in_checkpoint(zembrel_db* db) {
    long key = 1000000;
    /* Two checkpoints first, so that the page file outgrows a full log. A
     * checkpoint shows as a page file that grew: the log may be kept and
     * reused, so its size tells nothing. */
    int checkpoints = 0;
    long last_db = file_size(g_path);
    for (int i = 0; i < 200 && checkpoints < 2; i++, key++) {
        CHILD_CHECK(zembrel_exec(db, insert_sql(key, 1, BIG_PAD)) == 0);
        report(key, 1);
        long db_size = file_size(g_path);
        if (db_size > last_db) checkpoints++;
        last_db = db_size;
    }
    CHILD_CHECK(checkpoints == 2);
    CHILD_CHECK(file_size(g_path) > CHECKPOINT_AT + 4 * BIG_PAD);

    const long db_before = file_size(g_path);
    const long wal_before = file_size(g_wal);
    limit_files(db_before + 16 * FRAME);
    int past_threshold = 0;
    for (int i = 0; i < 200 && past_threshold < 3; i++, key++) {
        int ok = zembrel_exec(db, insert_sql(key, 1, BIG_PAD)) == 0;
        CHILD_CHECK(ok && zembrel_errmsg(db) == NULL);
        report(key, 1);
        /* Longer than the log has ever been: its checkpoints failed. */
        long wal = file_size(g_wal);
        if (wal > CHECKPOINT_AT && wal > wal_before) past_threshold++;
    }
    CHILD_CHECK(past_threshold == 3);
    lift_limit();
    CHILD_CHECK(zembrel_exec(db, insert_sql(key, 1, 8)) == 0);
    report(key, 1);
    /* The checkpoint ran: the page file grew past the limit that stopped it. */
    CHILD_CHECK(file_size(g_path) > db_before + 16 * FRAME);
}

static void child_main(void) {
    signal(SIGXFSZ, SIG_IGN);
    g_sql = malloc(SQL_CAP);
    zembrel_db* db = zembrel_open(g_path);
    CHILD_CHECK(db != NULL);
    CHILD_CHECK(zembrel_exec(db, "CREATE TABLE t (k INT, pad TEXT)") == 0);
    CHILD_CHECK(zembrel_exec(db, "CREATE UNIQUE INDEX t_k ON t (k)") == 0);
    faults_in_commits(db);
    fault_in_checkpoint(db);
    _exit(0); /* no close: what returned 0 must already be in the file */
}

/* ---- the parent ----------------------------------------------------------- */

int main(void) {
    char* dir = make_temp_dir();
    char* path = join_path(dir, "autosave.db");
    char* wal = join_path(dir, "autosave.db.pwal");
    g_path = path;
    g_wal = wal;

    int fds[2];
    if (pipe(fds) != 0) return 2;
    fflush(NULL);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        g_out = fds[1];
        child_main();
    }
    close(fds[1]);
    struct outcome* outcomes = NULL;
    size_t n = 0, cap = 0;
    struct outcome o;
    while (read(fds[0], &o, sizeof o) == (ssize_t)sizeof o) {
        if (n == cap) outcomes = realloc(outcomes, (cap = cap ? cap * 2 : 256) * sizeof *outcomes);
        outcomes[n++] = o;
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    long stored = 0;
    for (size_t i = 0; i < n; i++) stored += outcomes[i].stored;
    CHECK(n > 0);
    zembrel_db* db = zembrel_open(path);
    CHECK(db != NULL);
    if (db != NULL) {
        zembrel_result* rs = zembrel_query(db, "INSERT INTO t VALUES (-1, 'count')");
        char expected[80];
        snprintf(expected, sizeof expected, "Inserted 1 row(s) into 't'. (%ld total)", stored + 1);
        CHECK(rs != NULL);
        if (rs != NULL) CHECK_STR(zembrel_result_message(rs), expected);
        zembrel_result_free(rs);
        for (size_t i = 0; i < n; i++) {
            char sql[80];
            snprintf(sql, sizeof sql, "INSERT INTO t VALUES (%ld, 'again')", outcomes[i].key);
            int rc = zembrel_exec(db, sql);
            if (rc != (outcomes[i].stored ? 1 : 0)) {
                fprintf(stderr, "key %ld: reported %s, found %s\n", outcomes[i].key,
                        outcomes[i].stored ? "stored" : "failed", rc ? "stored" : "missing");
                failures++;
            } else if (rc) {
                CHECK_PREFIX(zembrel_errmsg(db), kUnique);
            }
        }
    }
    zembrel_close(db);
    printf("capi_autosave_test: %zu keys tried, %ld reported stored\n", n, stored);
    remove_dir(dir);
    free(outcomes);
    free(wal);
    free(path);
    free(dir);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
