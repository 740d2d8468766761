/* Small helpers shared by the C tests of the public interface. */
#ifndef ZEMBREL_CAPI_UTIL_H
#define ZEMBREL_CAPI_UTIL_H

#define _GNU_SOURCE
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zembrel.h"

static int failures = 0;

#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                          \
        }                                                                        \
    } while (0)

#define CHECK_STR(actual, expected)                                                          \
    do {                                                                                     \
        const char* a_ = (actual);                                                           \
        const char* e_ = (expected);                                                         \
        if (a_ == NULL || strcmp(a_, e_) != 0) {                                             \
            fprintf(stderr, "%s:%d: expected \"%s\", got %s%s%s\n", __FILE__, __LINE__, e_, \
                    a_ ? "\"" : "", a_ ? a_ : "NULL", a_ ? "\"" : "");                       \
            failures++;                                                                      \
        }                                                                                    \
    } while (0)

#define CHECK_PREFIX(actual, prefix)                                                          \
    do {                                                                                      \
        const char* a_ = (actual);                                                            \
        const char* p_ = (prefix);                                                            \
        if (a_ == NULL || strncmp(a_, p_, strlen(p_)) != 0) {                                 \
            fprintf(stderr, "%s:%d: expected prefix \"%s\", got %s%s%s\n", __FILE__, __LINE__, \
                    p_, a_ ? "\"" : "", a_ ? a_ : "NULL", a_ ? "\"" : "");                    \
            failures++;                                                                       \
        }                                                                                     \
    } while (0)

/* Makes `path` hold exactly `len` bytes from `bytes`. */
static inline void write_bytes(const char* path, const char* bytes, size_t len) {
    FILE* f = fopen(path, "wb");
    CHECK(f != NULL);
    if (f == NULL) return;
    CHECK(fwrite(bytes, 1, len, f) == len);
    fclose(f);
}

/* A fresh directory under the temporary directory; the caller frees it. */
static inline char* make_temp_dir(void) {
    const char* base = getenv("TMPDIR");
    if (base == NULL || *base == '\0') base = "/tmp";
    char* dir = malloc(strlen(base) + 32);
    sprintf(dir, "%s/zembrel-capi-XXXXXX", base);
    if (mkdtemp(dir) == NULL) {
        perror("mkdtemp");
        exit(2);
    }
    return dir;
}

static inline char* join_path(const char* dir, const char* name) {
    char* p = malloc(strlen(dir) + strlen(name) + 2);
    sprintf(p, "%s/%s", dir, name);
    return p;
}

static inline long file_size(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

static inline int count_entries(const char* dir) {
    DIR* d = opendir(dir);
    if (d == NULL) return -1;
    int n = 0;
    struct dirent* e;
    while ((e = readdir(d)) != NULL)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) n++;
    closedir(d);
    return n;
}

/* Removes the files of a flat directory and the directory itself. */
static inline void remove_dir(const char* dir) {
    DIR* d = opendir(dir);
    if (d != NULL) {
        struct dirent* e;
        while ((e = readdir(d)) != NULL) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            char* p = join_path(dir, e->d_name);
            unlink(p);
            free(p);
        }
        closedir(d);
    }
    rmdir(dir);
}

/* The first cell of a query as a number; -1 when the query fails. */
static inline long count_of(zembrel_db* db, const char* sql) {
    zembrel_result* rs = zembrel_query(db, sql);
    const char* cell = rs != NULL ? zembrel_result_value(rs, 0, 0) : NULL;
    long n = cell != NULL ? strtol(cell, NULL, 10) : -1;
    zembrel_result_free(rs);
    return n;
}

/* <dir>/<prefix>0 -> <prefix>1 -> ... -> <prefix><n-1> -> `end`. */
static inline void make_chain(const char* dir, const char* prefix, int n, const char* end) {
    for (int i = 0; i < n; i++) {
        char name[600], target[600];
        snprintf(name, sizeof name, "%s/%s%d", dir, prefix, i);
        if (i + 1 < n)
            snprintf(target, sizeof target, "%s%d", prefix, i + 1);
        else
            snprintf(target, sizeof target, "%s", end);
        CHECK(symlink(target, name) == 0);
    }
}

/* The name of the scratch copy that a save-as onto `dest` recorded in its
 * lock file ("KRVS" and the copy's UUID, the whole file, while the save-as
 * builds it) into `out`: "<dest>.<uuid>.saving". 0 when there is no record. */
static inline int recorded_scratch(const char* dest, char* out, size_t cap) {
    char lock[1024];
    snprintf(lock, sizeof lock, "%s.lock", dest);
    FILE* f = fopen(lock, "rb");
    if (f == NULL) return 0;
    char record[41];
    const size_t n = fread(record, 1, sizeof record, f);
    fclose(f);
    if (n != 40 || memcmp(record, "KRVS", 4) != 0) return 0;
    snprintf(out, cap, "%s.%.36s.saving", dest, record + 4);
    return 1;
}

/* Runs one statement in a child process that ends without closing its
 * handle, as a killed one would: its commit stays in the log. */
static inline void exec_and_vanish(const char* path, const char* sql) {
    fflush(NULL);
    pid_t pid = fork();
    if (pid == 0) {
        zembrel_db* child = zembrel_open(path);
        _exit(child != NULL && zembrel_exec(child, sql) == 0 ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

#endif
