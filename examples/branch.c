/* A branch of a database: open a named branch, change rows in it while the
 * database itself changes too, seal the work, look at the conflicts, and
 * merge it back under two merge policies. */
#define _DEFAULT_SOURCE /* mkdtemp */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zembrel.h"

/* Runs one statement on the database itself and prints what happened. */
static int base(const char* path, const char* sql) {
    zembrel_db* db = zembrel_open(path);
    if (db == NULL) {
        fprintf(stderr, "cannot open %s\n", path);
        return 1;
    }
    int rc = zembrel_exec(db, sql);
    printf("base:   %-58s -> %s\n", sql, rc == 0 ? "ok" : zembrel_errmsg(db));
    zembrel_close(db);
    return rc;
}

static int shadow(zembrel_shadow* sh, const char* sql) {
    int rc = zembrel_shadow_exec(sh, sql);
    printf("branch: %-58s -> %s\n", sql, rc == 0 ? "ok" : zembrel_shadow_errmsg(sh));
    return rc;
}

static void show(const char* path) {
    zembrel_db* db = zembrel_open(path);
    if (db == NULL) return;
    zembrel_result* rs = zembrel_query(db, "SELECT name, price, stock FROM products ORDER BY name");
    printf("\n  %-10s %8s %6s\n", "name", "price", "stock");
    for (int r = 0; rs != NULL && r < zembrel_result_row_count(rs); r++)
        printf("  %-10s %8s %6s\n", zembrel_result_value(rs, r, 0), zembrel_result_value(rs, r, 1),
               zembrel_result_value(rs, r, 2));
    printf("\n");
    zembrel_result_free(rs);
    zembrel_close(db);
}

int main(void) {
    const char* tmp = getenv("TMPDIR");
    char dir[4096];
    snprintf(dir, sizeof dir, "%s/zembrel-branch-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        return 1;
    }
    char path[4200];
    snprintf(path, sizeof path, "%s/shop.db", dir);
    int failed = 0;
    failed |= base(path, "CREATE TABLE products (id PK, name TEXT NOT NULL, price FLOAT, stock INT)");
    failed |= base(path, "INSERT INTO products (name, price, stock) VALUES ('kettle', 24.5, 3), ('mug', 4.25, 40)");

    /* A branch: a private copy; its changes are recorded in shop.db.shadows/spring-prices.krvb. */
    zembrel_shadow* sh = zembrel_shadow_open_branch(path, "spring-prices");
    if (sh == NULL) {
        fprintf(stderr, "cannot open the branch\n");
        return 1;
    }
    failed |= shadow(sh, "UPDATE products SET price = 22 WHERE name = 'kettle'");
    failed |= shadow(sh, "UPDATE products SET price = 3.95 WHERE name = 'mug'");
    failed |= shadow(sh, "INSERT INTO products (name, price, stock) VALUES ('teapot', 18, 5)");
    printf("recorded %lld op(s), %lld unsealed\n", zembrel_shadow_pending(sh), zembrel_shadow_unsealed(sh));
    long long sealed = zembrel_shadow_seal(sh, "ana", "spring prices");
    printf("sealed %lld op(s)\n", sealed);
    failed |= sealed != 3;

    /* Meanwhile the database changes the same rows. */
    failed |= base(path, "UPDATE products SET stock = 2 WHERE name = 'kettle'");
    failed |= base(path, "UPDATE products SET price = 4.5 WHERE name = 'mug'");

    long long n = zembrel_shadow_conflicts(sh);
    printf("\n%lld conflict(s):\n%s\n", n, n > 0 ? zembrel_shadow_errmsg(sh) : "");

    /* Under "error" any conflict refuses the merge; field_merge takes the
     * columns each side changed and refuses where both changed one column;
     * lww lets the branch's rows win. A refused commit changes nothing. */
    const char* policies[] = {"error", "field_merge"};
    printf("\nMerging under two policies that refuse these conflicts (the errors are expected):\n");
    for (int i = 0; i < 2; i++) {
        zembrel_shadow_set_merge_policy(sh, "products", policies[i]);
        if (zembrel_shadow_commit(sh) < 0) printf("commit under %s: %s\n", policies[i], zembrel_shadow_errmsg(sh));
    }
    zembrel_shadow_set_merge_policy(sh, "products", "lww");
    long long merged = zembrel_shadow_commit(sh);
    printf("\ncommit under lww: %lld op(s) merged%s%s\n", merged, merged < 0 ? ": " : "",
           merged < 0 ? zembrel_shadow_errmsg(sh) : "");
    failed |= merged != 3;
    zembrel_shadow_close(sh);
    show(path);

    char cmd[4400];
    snprintf(cmd, sizeof cmd, "rm -rf '%s'", dir);
    if (system(cmd) != 0) fprintf(stderr, "could not remove %s\n", dir);
    return failed;
}
