/* zembrel: an embedded SQL database engine. Plain C interface.
 *
 * Conventions kept by every function:
 * - Text arguments are NUL-terminated UTF-8. A NULL pointer and text that is
 *   not valid UTF-8 are refused alike.
 * - Status results: 0 success, 1 failure. Functions returning a handle or a
 *   result set return NULL on failure.
 * - A failing call stores its message in the handle's error slot (read it with
 *   zembrel_errmsg); a successful statement clears the slot, except that a
 *   failed automatic save leaves "auto-save failed: ..." there while the call
 *   itself succeeds.
 * - Texts handed out are owned by the library: zembrel_errmsg's text stays
 *   valid until the next call on the same handle; result-set texts stay valid
 *   until zembrel_result_free. Never free them yourself.
 * - A database handle and a result set are used by one thread at a time.
 * - Closing a handle never saves: outside a transaction every successful
 *   statement is saved as it runs; inside one, COMMIT saves. */
#ifndef ZEMBREL_H
#define ZEMBREL_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZEMBREL_API __attribute__((visibility("default")))
#else
#define ZEMBREL_API
#endif

/* Nothing is thrown across this interface: a failure that cannot be reported
 * (exhausted memory, a broken internal invariant) ends the process. */
#ifdef __cplusplus
#define ZEMBREL_NOEXCEPT noexcept
#else
#define ZEMBREL_NOEXCEPT
#endif

typedef struct zembrel_db zembrel_db;         /* a database handle */
typedef struct zembrel_result zembrel_result; /* a result set, owned by the caller */

/* Opens the database file at path, creating it when missing. A database in
 * an older file format is converted in place (the old file is kept beside
 * it with ".bak" appended to its name). NULL when the path is NULL or not
 * UTF-8, when the file cannot be opened or read, or when another handle (in
 * this or another process) holds it. */
ZEMBREL_API zembrel_db* zembrel_open(const char* path) ZEMBREL_NOEXCEPT;

/* Opens a new, empty database that lives in memory (and, once needed, in a
 * temporary file that is removed at close). Never NULL. */
ZEMBREL_API zembrel_db* zembrel_open_memory(void) ZEMBREL_NOEXCEPT;

/* Closes the handle and releases the database; unsaved changes (an open
 * transaction) are lost. NULL does nothing. */
ZEMBREL_API void zembrel_close(zembrel_db* db) ZEMBREL_NOEXCEPT;

/* Makes the handle's changes durable in its file. 1 with "no file path set"
 * for an in-memory database (until zembrel_save_as gives it a file). */
ZEMBREL_API int zembrel_save(zembrel_db* db) ZEMBREL_NOEXCEPT;

/* Writes the database to path and moves the handle over to it: from then on
 * statements and saves go to the new file, and the old file (if any) stays
 * as it was, unlocked. The path's lock is taken before anything is written,
 * so a file another handle holds is never touched. A file database is
 * copied; an in-memory one needs a path where no file exists yet and takes
 * its tables, indexes and merge policies along. Refused while a transaction
 * is open. 0 or 1; on failure the handle keeps working on its old database. */
ZEMBREL_API int zembrel_save_as(zembrel_db* db, const char* path) ZEMBREL_NOEXCEPT;

/* Runs one SQL statement; text after the first ';' is ignored. 0 or 1. */
ZEMBREL_API int zembrel_exec(zembrel_db* db, const char* sql) ZEMBREL_NOEXCEPT;

/* Runs one SQL statement and returns its outcome as a result set: a table of
 * text cells for SELECT and EXPLAIN, otherwise the statement's message.
 * NULL on failure (see zembrel_errmsg). */
ZEMBREL_API zembrel_result* zembrel_query(zembrel_db* db, const char* sql) ZEMBREL_NOEXCEPT;

/* The handle's last error or note, or NULL when there is none. */
ZEMBREL_API const char* zembrel_errmsg(zembrel_db* db) ZEMBREL_NOEXCEPT;

/* Result-set accessors. Out-of-range indexes and a NULL result set give NULL
 * (texts) or 0 (counts). SQL NULL cells read as the text "NULL". */
ZEMBREL_API int zembrel_result_column_count(const zembrel_result* rs) ZEMBREL_NOEXCEPT;
ZEMBREL_API const char* zembrel_result_column_name(const zembrel_result* rs, int column) ZEMBREL_NOEXCEPT;
ZEMBREL_API int zembrel_result_row_count(const zembrel_result* rs) ZEMBREL_NOEXCEPT;
ZEMBREL_API const char* zembrel_result_value(const zembrel_result* rs, int row, int column) ZEMBREL_NOEXCEPT;
/* The statement's message ("Table 't' created.", ...); NULL for a row result. */
ZEMBREL_API const char* zembrel_result_message(const zembrel_result* rs) ZEMBREL_NOEXCEPT;
/* Frees the result set and all its texts. NULL does nothing. A result set
 * may outlive the handle it came from. */
ZEMBREL_API void zembrel_result_free(zembrel_result* rs) ZEMBREL_NOEXCEPT;

/* The library's version text; static, never freed. */
ZEMBREL_API const char* zembrel_version(void) ZEMBREL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZEMBREL_H */
