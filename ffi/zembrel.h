/* zembrel: an embedded SQL database engine. Plain C interface.
 *
 * Link with `pkg-config --cflags --libs zembrel`, or from CMake with
 * find_package(zembrel) and the target zembrel::zembrel.
 *
 * Conventions kept by every function:
 * - Text arguments are NUL-terminated UTF-8. A NULL pointer and text that is
 *   not valid UTF-8 are refused alike.
 * - Status results: 0 success, 1 failure. Functions returning a handle or a
 *   result set return NULL on failure.
 * - A failing call stores its message in the handle's error slot (read it with
 *   zembrel_errmsg); a successful call clears the slot.
 * - Texts handed out are owned by the library; never free them yourself.
 *   They stay valid:
 *   - zembrel_errmsg: until the next zembrel_exec, zembrel_query,
 *     zembrel_save or zembrel_save_as on the same handle, or its close;
 *   - zembrel_result_column_name, zembrel_result_value and
 *     zembrel_result_message: until zembrel_result_free of their result set
 *     (which may outlive the handle it came from);
 *   - zembrel_errmsg_shared: see there (a copy per thread);
 *   - zembrel_shadow_errmsg: until the next call with the same shadow handle
 *     other than zembrel_shadow_errmsg, zembrel_shadow_pending and
 *     zembrel_shadow_unsealed, or its close;
 *   - zembrel_version: always (a static text).
 * - Threads: a handle has no lock of its own. One database handle (and one
 *   result set) must never be used from two threads at once; a program that
 *   shares a handle between threads serialises its calls itself, and does so
 *   for zembrel_errmsg as well, whose text the next call replaces.
 * - Saving: outside a transaction every successful statement is saved (made
 *   durable in the file's log) before the call returns; inside one, COMMIT
 *   saves the whole transaction. When that save fails, the statement (at
 *   COMMIT the whole transaction) is undone, the call fails and the slot holds
 *   "auto-save failed: " followed by the storage error: the database is as of
 *   its last successful save, and running the statement again applies it once.
 *   A failed COMMIT ends the transaction (ROLLBACK then fails with "Execution
 *   error: no active transaction"): running it again means the whole
 *   transaction, from BEGIN.
 * - Closing a handle never saves: an open transaction is lost.
 * - Files: a database is one file, with its log "<file>.pwal" and its lock
 *   file "<file>.lock" beside it. docs/files.md describes every file the
 *   library keeps beside a database, links, crashes and full disks. */
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
typedef struct zembrel_shared zembrel_shared; /* a shared handle, usable from many threads */

/* Opens the database file at path (the file a symbolic link leads to) for
 * this handle alone. A missing or empty (0-byte) file, or one page (4096
 * bytes) of zeros with no log beside it, becomes a new, empty database; one
 * in an older format is converted in place, the old file kept beside it as
 * "<file>.bak". There is no read-only mode.
 *
 * Returns the handle, or NULL when:
 * - path is NULL or not UTF-8;
 * - another handle, in this process or another, holds the file, by this
 *   name or any other (a symbolic link, a hard link, another spelling);
 * - the file cannot be read, written or created: no access, a folder the
 *   process may not write (unless the lock file is already there and
 *   writable and the file is neither empty nor a page of zeros), a damaged
 *   or foreign file, a log it cannot fold in on a full disk;
 * - a file in an older format would be converted while something stands
 *   at "<file>.bak" (nothing is changed; the next open tries again);
 * - path leads to anything but a regular file (a FIFO, a device, a socket,
 *   a folder) or through more symbolic links than the system follows (40):
 *   NULL at once, without reading or waiting, and nothing made;
 * - a symbolic link stands at "<file>.pwal" or "<file>.lock", or anything
 *   but a regular file or a FIFO at "<file>.lock".
 * The reason is not reported: no handle exists whose error slot could hold
 * it.
 *
 * Never open one file by two hard-link names: after a crash, writes are
 * lost and the file can be damaged beyond repair. docs/files.md says what
 * else happens to the files beside a database. */
ZEMBREL_API zembrel_db* zembrel_open(const char* path) ZEMBREL_NOEXCEPT;

/* Opens a new, empty database that lives in memory (and, once needed, in a
 * temporary file without a name in TMPDIR, else /tmp, which goes with the
 * handle or the process, however that ends). Never NULL; where the
 * temporary folder is missing or not writable, every statement that needs
 * the file (every one that reads or writes a table) fails with "Storage
 * error: temporary directory '<dir>' is missing or not writable: ...", for
 * as long as the folder stays so. */
ZEMBREL_API zembrel_db* zembrel_open_memory(void) ZEMBREL_NOEXCEPT;

/* Closes the handle and releases the database; unsaved changes (an open
 * transaction) are lost. The log is folded into the file and removed,
 * except on a full disk when the file must grow: then it stays for the
 * next open (docs/files.md). The lock file stays. NULL does nothing. */
ZEMBREL_API void zembrel_close(zembrel_db* db) ZEMBREL_NOEXCEPT;

/* Makes the handle's changes durable in its file (outside a transaction
 * every statement has already been saved). 0 on success; 1 with:
 * - "no file path set" for an in-memory database (until zembrel_save_as
 *   gives it a file);
 * - "Execution error: cannot save while a transaction is active" (COMMIT
 *   saves it);
 * - "Storage error: ..." when the file cannot be written. */
ZEMBREL_API int zembrel_save(zembrel_db* db) ZEMBREL_NOEXCEPT;

/* Writes the database to the file path leads to (a symbolic link stays
 * and its file is written) and moves the handle over to it: later
 * statements and saves go there, and the old file, if any, stays as it
 * was, unlocked. A file database is copied; a file at path that no handle
 * holds is replaced without warning, once the commits a log beside it held
 * are folded into it. An in-memory database takes its tables, indexes and
 * merge policies to a path where no file exists yet.
 *
 * 0 on success. 1 on failure: the destination is as it was and the handle
 * keeps working on its old database. Everything that can refuse the call
 * is checked before the destination is touched. In the texts, '<path>' is
 * path as given and <file> the file it leads to:
 * - "invalid path" (NULL or not UTF-8);
 * - "Execution error: cannot save as while a transaction is active";
 * - "Execution error: cannot save as onto the database's own file" (by
 *   any name, a hard link included);
 * - "Storage error: database '<path>' is locked by another process";
 * - "Storage error: create failed for '<path>': <reason>", with the
 *   system's reason (a loop of symbolic links or a chain of more than 40, a
 *   file where a folder should be, a folder missing or not writable by the
 *   effective user, a name too long to take ".<uuid>.saving" after it: 44
 *   characters, 49 for an in-memory source's ".<uuid>.saving.pwal"; for an
 *   in-memory source, a file already at path), or with "not a regular
 *   file" (a FIFO, a device, a socket or a folder at path);
 * - "Storage error: open failed for '<file>.pwal': symbolic link refused"
 *   (dangling or not), or "...: not a regular file" (anything else there
 *   but a regular file);
 * - "Storage error: lock file open failed: <reason> at '<file>.lock'",
 *   with the system's reason, "not a regular file" or "symbolic link
 *   refused";
 * - "Storage error: lock file write refused: <why> at '<file>.lock'", <why>
 *   being "not a regular file", "it has more than one name" or "it holds
 *   other data": the lock file, which keeps its bytes, cannot take
 *   save-as's record;
 * - "Storage error: lock file write failed: <reason> at '<file>.lock'";
 * - "Storage error: copy failed: <reason>" and other Storage errors of
 *   writing the new file.
 * The new file is written beside path as "<file>.<uuid>.saving" and
 * renamed onto it once complete, so a crash leaves path as it was or
 * holding the whole copy. docs/files.md says what a killed save-as leaves
 * and what clears it. */
ZEMBREL_API int zembrel_save_as(zembrel_db* db, const char* path) ZEMBREL_NOEXCEPT;

/* Runs one SQL statement and saves it (see Saving); 0 on success, 1 on
 * failure with the reason in zembrel_errmsg ("invalid SQL string" for NULL
 * or text that is not UTF-8). The dialect is described in docs/sql.md.
 * Only the first statement of the text runs: whatever follows its ';' is
 * ignored without being read, so "INSERT ...; DROP TABLE t" runs the
 * INSERT alone and reports no error for the rest. Without a ';', anything
 * after a complete statement fails the call ("Parse error: expected Eof,
 * got ..."). An ORDER BY too large for memory spills to files without a
 * name in TMPDIR (else /tmp), which go with the statement or the process,
 * however it ends. */
ZEMBREL_API int zembrel_exec(zembrel_db* db, const char* sql) ZEMBREL_NOEXCEPT;

/* Runs one SQL statement as zembrel_exec does (the first statement of the
 * text alone, saved) and returns its outcome as a result set, to be freed
 * with zembrel_result_free: a table of text cells for SELECT and EXPLAIN,
 * otherwise the statement's message. NULL on failure, with the reason in
 * zembrel_errmsg. */
ZEMBREL_API zembrel_result* zembrel_query(zembrel_db* db, const char* sql) ZEMBREL_NOEXCEPT;

/* The text of the handle's last failure, or NULL when the last call
 * succeeded. Valid until the handle's next statement or save (see above).
 * Each text begins with one of:
 * - "Parse error: " (the SQL text), "Execution error: " (a refused
 *   statement or request), "Type error: " (a value that does not fit its
 *   column), "Storage error: " (the file: locks, creates, reads, writes,
 *   the temporary folder);
 * - "auto-save failed: " followed by one of the above: the statement ran
 *   but could not be saved, and was undone (see Saving);
 * or is one of the bare texts "invalid SQL string", "invalid path" and
 * "no file path set". */
ZEMBREL_API const char* zembrel_errmsg(zembrel_db* db) ZEMBREL_NOEXCEPT;

/* Result-set accessors. Out-of-range indexes and a NULL result set give NULL
 * (texts) or 0 (counts). Every cell is text: an SQL NULL value reads as the
 * four-letter text "NULL", never as a NULL pointer, so it cannot be told
 * apart from a TEXT value 'NULL' here. */
ZEMBREL_API int zembrel_result_column_count(const zembrel_result* rs) ZEMBREL_NOEXCEPT;
ZEMBREL_API const char* zembrel_result_column_name(const zembrel_result* rs, int column) ZEMBREL_NOEXCEPT;
ZEMBREL_API int zembrel_result_row_count(const zembrel_result* rs) ZEMBREL_NOEXCEPT;
ZEMBREL_API const char* zembrel_result_value(const zembrel_result* rs, int row, int column) ZEMBREL_NOEXCEPT;
/* The statement's message ("Table 't' created.", ...); NULL for a row result. */
ZEMBREL_API const char* zembrel_result_message(const zembrel_result* rs) ZEMBREL_NOEXCEPT;
/* Frees the result set and all its texts. NULL does nothing. A result set
 * may outlive the handle it came from. */
ZEMBREL_API void zembrel_result_free(zembrel_result* rs) ZEMBREL_NOEXCEPT;

/* Shared handles: one database file used by several threads of a process at
 * once. zembrel_exec_shared, zembrel_query_shared and zembrel_errmsg_shared
 * may run on one handle from any number of threads at the same time;
 * zembrel_close_shared must come after all of them.
 * - Every statement commits itself: its changes are in the database's log
 *   when the call returns (no save step). BEGIN, COMMIT
 *   and ROLLBACK fail with "Execution error: interactive transactions are
 *   not yet supported over shared connections (each statement
 *   auto-commits)". A failed statement changes nothing.
 * - SELECT runs on a snapshot of the last commit, without blocking writers
 *   once the snapshot is taken. While any snapshot lives the log is not
 *   checkpointed, so under steady writes the log grows for as long as
 *   SELECTs overlap without a pause, short ones included, not only while a
 *   long one runs: 24 threads of short queries beside 4 writing threads
 *   grew it to 477 MB in 30 s (8 reading threads: 14 MB). It is
 *   checkpointed at the first commit after the readers pause.
 * - Errors of all threads land in the handle's one slot (the last one
 *   wins). */

/* Opens the page file at path as zembrel_open does (a missing or empty
 * file, or one page of zeros, becomes a new, empty database), for the
 * threads of this process.
 * NULL, with no reason reported, for whatever zembrel_open refuses, and
 * for a database in an older format, which is not converted here. */
ZEMBREL_API zembrel_shared* zembrel_open_shared(const char* path) ZEMBREL_NOEXCEPT;

/* Runs one SQL statement, committed when the call returns. 0 on success,
 * 1 on failure (see zembrel_errmsg_shared). */
ZEMBREL_API int zembrel_exec_shared(zembrel_shared* db, const char* sql) ZEMBREL_NOEXCEPT;

/* As zembrel_query, on a shared handle. */
ZEMBREL_API zembrel_result* zembrel_query_shared(zembrel_shared* db, const char* sql) ZEMBREL_NOEXCEPT;

/* A copy of the handle's last error, or NULL when there is none. The copy
 * belongs to the calling thread: it stays valid until this thread's next
 * zembrel_errmsg_shared call (on any shared handle) or until it exits. */
ZEMBREL_API const char* zembrel_errmsg_shared(zembrel_shared* db) ZEMBREL_NOEXCEPT;

/* Closes the handle and releases the database, as zembrel_close does.
 * NULL does nothing. */
ZEMBREL_API void zembrel_close_shared(zembrel_shared* db) ZEMBREL_NOEXCEPT;

/* ---- Shadow sessions ----------------------------------------------------
 * A shadow works on a private copy of a database (the base). SELECT reads the
 * copy; INSERT, UPDATE and DELETE change it and are recorded, row by row, in
 * a log in the directory "<base>.shadows" beside the base; a commit merges
 * the recorded rows three-way into the base under each table's merge policy
 * (lww, error, field_merge, manual; lww when none is set). Other statements
 * are refused. An anonymous shadow lives for its handle (its log
 * "<uuid>.krvv" stays behind when it is closed without a commit); a named
 * branch keeps its log "<branch>.krvb" across handles and must seal its ops
 * before a commit. A successful commit deletes the log. The base is opened
 * only while it is copied or merged into (open, refresh, the first
 * statement after a commit, commit, conflict report). Each time, a base
 * another handle holds is tried again every 15 ms for up to ten seconds;
 * then the call fails with "Storage error: database '<base path>' is
 * locked by another process" (the opens: NULL). A shadow handle is used by
 * one thread at a time.
 * Counts are -1 on failure; status results 0/1. docs/shadow.md describes
 * the merge, its conflicts and outcomes, and the files, with examples. */
typedef struct zembrel_shadow zembrel_shadow;

/* An anonymous shadow of the database at base_path, opened as zembrel_open
 * opens it (a missing or empty file, or one page of zeros, becomes a new,
 * empty database); NULL on failure, whose reason is not reported. */
ZEMBREL_API zembrel_shadow* zembrel_shadow_open(const char* base_path) ZEMBREL_NOEXCEPT;
/* The named branch (1-64 of letters, digits, '_', '-', '.'; not starting with
 * '.'), with its recorded ops replayed onto the copy. An empty log (0
 * bytes, as a process killed during the branch's first op leaves it), or
 * one of zero bytes only (as a power cut may leave it), is a new branch with
 * nothing pending. NULL on failure, whose reason is not
 * reported: an invalid name, a base that cannot be opened (as
 * zembrel_shadow_open), a branch another handle has open, a log that holds
 * bytes but no valid header, a base whose schema changed since the branch
 * recorded its ops, and, at once, a symbolic link (even dangling) at
 * "<base>.shadows/<branch>.krvb". */
ZEMBREL_API zembrel_shadow* zembrel_shadow_open_branch(const char* base_path, const char* branch) ZEMBREL_NOEXCEPT;
/* Runs one statement on the shadow: SELECT and EXPLAIN read the copy;
 * INSERT, UPDATE and DELETE change it and are recorded; any other
 * statement fails with an Execution error. Nothing is saved to the base.
 * 0 on success, 1 on failure (see zembrel_shadow_errmsg). */
ZEMBREL_API int zembrel_shadow_exec(zembrel_shadow* sh, const char* sql) ZEMBREL_NOEXCEPT;
/* As zembrel_shadow_exec, returning a result set as zembrel_query does;
 * NULL on failure (see zembrel_shadow_errmsg). */
ZEMBREL_API zembrel_result* zembrel_shadow_query(zembrel_shadow* sh, const char* sql) ZEMBREL_NOEXCEPT;
/* Ops recorded and not yet merged; ops recorded since the last seal. */
ZEMBREL_API long long zembrel_shadow_pending(zembrel_shadow* sh) ZEMBREL_NOEXCEPT;
ZEMBREL_API long long zembrel_shadow_unsealed(zembrel_shadow* sh) ZEMBREL_NOEXCEPT;
/* Seals a branch's unsealed ops (author NULL: "zembrel"; message NULL: "");
 * returns their number once they, and the log's name, are on the disk. -1 for an anonymous shadow ("Execution error:
 * seal() is for named branches; ...") or with nothing to seal
 * ("Execution error: nothing to commit (no unsealed ops)"). */
ZEMBREL_API long long zembrel_shadow_seal(zembrel_shadow* sh, const char* author, const char* message) ZEMBREL_NOEXCEPT;
/* Rebuilds the copy from the current base and the recorded ops. 0 on
 * success; 1 when the base cannot be opened (see above), or with
 * "Execution error: schema divergence on '<table>': ..." (as the commit
 * would) when the base changed the columns of a table the ops touch; the
 * shadow then keeps its copy. */
ZEMBREL_API int zembrel_shadow_refresh(zembrel_shadow* sh) ZEMBREL_NOEXCEPT;
/* Merges the recorded ops into the base and saves it; returns the ops merged
 * (those the manual policy set aside in "<log name>.krvc" not counted). -1
 * on failure, which leaves the base and the shadow as they were:
 * - "Execution error: merge conflict: <n> row(s) diverged from base ..."
 *   for a conflict whose outcome is Aborted;
 * - "Execution error: branch has <n> unsealed op(s) ..." for a branch
 *   with unsealed ops;
 * - "Execution error: schema divergence on '<table>': ...";
 * - "Storage error: database '<base path>' is locked by another process"
 *   when another handle still holds the base after the wait (see above),
 *   and the other Storage errors of opening and saving the base.
 * After a success the shadow's next statement reads a fresh copy of the
 * base. */
ZEMBREL_API long long zembrel_shadow_commit(zembrel_shadow* sh) ZEMBREL_NOEXCEPT;
/* A dry run of the merge: the number of conflicting rows, with their report
 * lines "table[key]: kind (outcome)" joined by '\n' in zembrel_shadow_errmsg
 * (NULL there when the count is 0). Outcomes: Ours (the shadow's row is
 * taken whole), Merged (merged column by column), Skipped (set aside, the
 * base keeps its row), Aborted (the commit would fail). Writes nothing. -1
 * on failure, with the commit's texts (the locked base included). */
ZEMBREL_API long long zembrel_shadow_conflicts(zembrel_shadow* sh) ZEMBREL_NOEXCEPT;
/* Sets the policy ("lww", "error", "field_merge", "manual") for the table,
 * or with table NULL the default for tables without a policy of their own.
 * A table's policy set here beats the one stored in the base (ALTER TABLE
 * ... SET MERGE POLICY), which beats the default; the default is lww until
 * set. Lasts for this handle only. 0 on success; 1 with "invalid merge
 * policy (lww|error|field_merge|manual)". */
ZEMBREL_API int zembrel_shadow_set_merge_policy(zembrel_shadow* sh, const char* table, const char* policy) ZEMBREL_NOEXCEPT;
/* The shadow's last error or conflict report, or NULL. Valid until the
 * next call with this handle other than zembrel_shadow_errmsg,
 * zembrel_shadow_pending and zembrel_shadow_unsealed, or its close. */
ZEMBREL_API const char* zembrel_shadow_errmsg(zembrel_shadow* sh) ZEMBREL_NOEXCEPT;
/* Closes the shadow; nothing is merged, saved or deleted. NULL does nothing. */
ZEMBREL_API void zembrel_shadow_close(zembrel_shadow* sh) ZEMBREL_NOEXCEPT;

/* The library's version text; static, never freed. */
ZEMBREL_API const char* zembrel_version(void) ZEMBREL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZEMBREL_H */
