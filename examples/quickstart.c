/* A first run of zembrel: open a database file, create a table, insert rows
 * inside and outside a transaction, close, reopen, insert again and query
 * the table with WHERE, GROUP BY and ORDER BY. */
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

/* Runs a query and prints its result as a table. */
static int query(zembrel_db* db, const char* sql) {
    zembrel_result* rs = zembrel_query(db, sql);
    printf("\n%s\n", sql);
    if (rs == NULL) {
        printf("error: %s\n", zembrel_errmsg(db));
        return 1;
    }
    int columns = zembrel_result_column_count(rs), rows = zembrel_result_row_count(rs);
    size_t width[64] = {0};
    if (columns > 64) columns = 64;
    for (int c = 0; c < columns; c++) {
        width[c] = strlen(zembrel_result_column_name(rs, c));
        for (int r = 0; r < rows; r++) {
            size_t n = strlen(zembrel_result_value(rs, r, c));
            if (n > width[c]) width[c] = n;
        }
    }
    for (int c = 0; c < columns; c++) printf("%s%-*s", c ? " | " : "", (int)width[c], zembrel_result_column_name(rs, c));
    printf("\n");
    for (int c = 0; c < columns; c++) {
        printf("%s", c ? "-+-" : "");
        for (size_t i = 0; i < width[c]; i++) putchar('-');
    }
    printf("\n");
    for (int r = 0; r < rows; r++) {
        for (int c = 0; c < columns; c++) printf("%s%-*s", c ? " | " : "", (int)width[c], zembrel_result_value(rs, r, c));
        printf("\n");
    }
    printf("(%d row%s)\n", rows, rows == 1 ? "" : "s");
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
    failed |= run(db, "CREATE TABLE products (id PK, name TEXT NOT NULL, kind TEXT, price FLOAT)");
    failed |= run(db, "INSERT INTO products (name, kind, price) VALUES ('kettle', 'kitchen', 24.5)");
    failed |= run(db, "BEGIN");
    failed |= run(db, "INSERT INTO products (name, kind, price) VALUES ('teapot', 'tea', 18), ('mug', 'tea', 4.25)");
    failed |= run(db, "INSERT INTO products (name, kind) VALUES ('spoon', 'kitchen')");
    failed |= run(db, "COMMIT");
    zembrel_close(db);

    printf("\nreopened\n");
    db = zembrel_open(path);
    if (db == NULL) {
        fprintf(stderr, "cannot reopen %s\n", path);
        return 1;
    }
    failed |= run(db, "INSERT INTO products (name, kind, price) VALUES ('saucer', 'tea', 3)");
    run(db, "INSERT INTO products (name, price) VALUES (NULL, 1)"); /* refused: NOT NULL */
    failed |= query(db, "SELECT name, kind, price FROM products WHERE price > 4 OR price IS NULL ORDER BY price DESC");
    failed |= query(db,
                    "SELECT kind, COUNT(*), MIN(price), AVG(price) FROM products WHERE name <> 'kettle' "
                    "GROUP BY kind ORDER BY kind");
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
