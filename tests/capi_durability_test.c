/* Every statement that returned 0 outside a transaction survives a process
 * that ends without closing its handle: the committed log is replayed. */
#include <sys/wait.h>

#include "capi_util.h"
#include "zembrel.h"

enum { ROWS = 40 };

int main(void) {
    char* dir = make_temp_dir();
    char* path = join_path(dir, "durable.db");

    pid_t pid = fork();
    if (pid == 0) {
        zembrel_db* db = zembrel_open(path);
        if (db == NULL || zembrel_exec(db, "CREATE TABLE t (a INT, b TEXT)") != 0) _exit(3);
        char sql[128];
        for (int i = 0; i < ROWS; i++) {
            snprintf(sql, sizeof sql, "INSERT INTO t VALUES (%d, 'row %d')", i, i);
            if (zembrel_exec(db, sql) != 0) _exit(4);
        }
        /* Uncommitted work must not appear after the crash. */
        if (zembrel_exec(db, "BEGIN") != 0 || zembrel_exec(db, "INSERT INTO t VALUES (-1, 'lost')") != 0) _exit(5);
        _exit(0); /* no close, no checkpoint */
    }
    int status = 0;
    waitpid(pid, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    zembrel_db* db = zembrel_open(path);
    CHECK(db != NULL);
    if (db != NULL) {
        zembrel_result* rs = zembrel_query(db, "INSERT INTO t VALUES (100, 'after')");
        CHECK(rs != NULL);
        char expected[64];
        snprintf(expected, sizeof expected, "Inserted 1 row(s) into 't'. (%d total)", ROWS + 1);
        if (rs != NULL) CHECK_STR(zembrel_result_message(rs), expected);
        zembrel_result_free(rs);
        zembrel_close(db);
    }
    remove_dir(dir);
    free(path);
    free(dir);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
