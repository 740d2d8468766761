/* A first run of zembrel: open a database file, create a table, insert rows
 * inside and outside a transaction, close, reopen and insert again. */
#define _DEFAULT_SOURCE /* mkdtemp */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zembrel.h"

/* Runs one statement and prints its message or its error. */
static int run(zembrel_db* db, const char* sql) {
    zembrel_result* rs = zembrel_query(db, sql);
    if (rs == NULL) {
        printf("%-70s -> error: %s\n", sql, zembrel_errmsg(db));
        return 1;
    }
    const char* msg = zembrel_result_message(rs);
    printf("%-70s -> %s\n", sql, msg ? msg : "");
    zembrel_result_free(rs);
    return 0;
}

int main(void) {
    printf("zembrel %s\n", zembrel_version());

    const char* tmp = getenv("TMPDIR");
    char dir[4096];
    snprintf(dir, sizeof dir, "%s/zembrel-quickstart-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return 1;
    }
    char path[4200];
    snprintf(path, sizeof path, "%s/shop.db", dir);
    printf("database: %s\n\n", path);

    zembrel_db* db = zembrel_open(path);
    if (db == NULL) {
        fprintf(stderr, "cannot open %s\n", path);
        return 1;
    }
    int failed = 0;
    failed |= run(db, "CREATE TABLE products (id PK, name TEXT NOT NULL, price FLOAT)");
    failed |= run(db, "INSERT INTO products (name, price) VALUES ('kettle', 24.5)");
    failed |= run(db, "BEGIN");
    failed |= run(db, "INSERT INTO products (name, price) VALUES ('teapot', 18), ('mug', 4.25)");
    failed |= run(db, "INSERT INTO products (name) VALUES ('spoon')");
    failed |= run(db, "COMMIT");
    zembrel_close(db);

    printf("\nreopened\n");
    db = zembrel_open(path);
    if (db == NULL) {
        fprintf(stderr, "cannot reopen %s\n", path);
        return 1;
    }
    failed |= run(db, "INSERT INTO products (name, price) VALUES ('saucer', 3)");
    run(db, "INSERT INTO products (name, price) VALUES (NULL, 1)"); /* refused: NOT NULL */
    zembrel_close(db);

    /* Leave nothing behind. */
    const char* suffixes[] = {"", ".pwal", ".lock"};
    for (size_t i = 0; i < sizeof suffixes / sizeof *suffixes; i++) {
        char p[4300];
        snprintf(p, sizeof p, "%s%s", path, suffixes[i]);
        unlink(p);
    }
    rmdir(dir);
    return failed;
}
