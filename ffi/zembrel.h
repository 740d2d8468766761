/* zembrel: an embedded SQL database engine. Plain C interface.
 *
 * Conventions: every text passed in is NUL-terminated UTF-8; every text handed
 * out is owned by the library. */
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

/* The library's version text; static, never freed. */
ZEMBREL_API const char* zembrel_version(void);

#ifdef __cplusplus
}
#endif

#endif /* ZEMBREL_H */
