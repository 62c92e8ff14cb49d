/* zlog 1.2.8 compatible logging engine: the C interface. */
#ifndef VARNELL_ZLOG_H
#define VARNELL_ZLOG_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zlog_category_s zlog_category_t;

typedef enum {
    ZLOG_LEVEL_DEBUG = 20,
    ZLOG_LEVEL_INFO = 40,
    ZLOG_LEVEL_NOTICE = 60,
    ZLOG_LEVEL_WARN = 80,
    ZLOG_LEVEL_ERROR = 100,
    ZLOG_LEVEL_FATAL = 120
} zlog_level;

int zlog_init(const char *confpath);
int zlog_reload(const char *confpath);
void zlog_fini(void);

/* One-rule configuration without a file (memory-log initialisation builds its rule here). */
int zlog_init_memory_log(const char *levelName, const char *logPath);

zlog_category_t *zlog_get_category(const char *cname);

void zlog(zlog_category_t *category, const char *file, size_t filelen, const char *func, size_t funclen,
          long line, int level, const char *format, ...) __attribute__((format(printf, 8, 9)));
void vzlog(zlog_category_t *category, const char *file, size_t filelen, const char *func, size_t funclen,
           long line, int level, const char *format, va_list args);
void hzlog(zlog_category_t *category, const char *file, size_t filelen, const char *func, size_t funclen,
           long line, int level, const void *buf, size_t buflen);

int dzlog_init(const char *confpath, const char *cname);
int dzlog_set_category(const char *cname);
void dzlog(const char *file, size_t filelen, const char *func, size_t funclen, long line, int level,
           const char *format, ...) __attribute__((format(printf, 7, 8)));
void vdzlog(const char *file, size_t filelen, const char *func, size_t funclen, long line, int level,
            const char *format, va_list args);
void hdzlog(const char *file, size_t filelen, const char *func, size_t funclen, long line, int level,
            const void *buf, size_t buflen);

int zlog_put_mdc(const char *key, const char *value);
char *zlog_get_mdc(const char *key);
void zlog_remove_mdc(const char *key);
void zlog_clean_mdc(void);

/* The engine's own diagnostic channel (ZLOG_PROFILE_DEBUG / ZLOG_PROFILE_ERROR). flag: 0 debug, 1 warn, 2 error. */
int zc_profile_inner(int flag, const char *file, long line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
#define zc_debug(...) zc_profile_inner(0, __FILE__, __LINE__, __VA_ARGS__)
#define zc_warn(...) zc_profile_inner(1, __FILE__, __LINE__, __VA_ARGS__)
#define zc_error(...) zc_profile_inner(2, __FILE__, __LINE__, __VA_ARGS__)

#define ZLOG_ARGS_ __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__

#define zlog_fatal(cat, ...) zlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_FATAL, __VA_ARGS__)
#define zlog_error(cat, ...) zlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_ERROR, __VA_ARGS__)
#define zlog_warn(cat, ...) zlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_WARN, __VA_ARGS__)
#define zlog_notice(cat, ...) zlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_NOTICE, __VA_ARGS__)
#define zlog_info(cat, ...) zlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_INFO, __VA_ARGS__)
#define zlog_debug(cat, ...) zlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_DEBUG, __VA_ARGS__)

#define vzlog_fatal(cat, fmt, args) vzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_FATAL, fmt, args)
#define vzlog_error(cat, fmt, args) vzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_ERROR, fmt, args)
#define vzlog_warn(cat, fmt, args) vzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_WARN, fmt, args)
#define vzlog_notice(cat, fmt, args) vzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_NOTICE, fmt, args)
#define vzlog_info(cat, fmt, args) vzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_INFO, fmt, args)
#define vzlog_debug(cat, fmt, args) vzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_DEBUG, fmt, args)

#define hzlog_fatal(cat, buf, len) hzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_FATAL, buf, len)
#define hzlog_error(cat, buf, len) hzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_ERROR, buf, len)
#define hzlog_warn(cat, buf, len) hzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_WARN, buf, len)
#define hzlog_notice(cat, buf, len) hzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_NOTICE, buf, len)
#define hzlog_info(cat, buf, len) hzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_INFO, buf, len)
#define hzlog_debug(cat, buf, len) hzlog(cat, ZLOG_ARGS_, ZLOG_LEVEL_DEBUG, buf, len)

#define dzlog_fatal(...) dzlog(ZLOG_ARGS_, ZLOG_LEVEL_FATAL, __VA_ARGS__)
#define dzlog_error(...) dzlog(ZLOG_ARGS_, ZLOG_LEVEL_ERROR, __VA_ARGS__)
#define dzlog_warn(...) dzlog(ZLOG_ARGS_, ZLOG_LEVEL_WARN, __VA_ARGS__)
#define dzlog_notice(...) dzlog(ZLOG_ARGS_, ZLOG_LEVEL_NOTICE, __VA_ARGS__)
#define dzlog_info(...) dzlog(ZLOG_ARGS_, ZLOG_LEVEL_INFO, __VA_ARGS__)
#define dzlog_debug(...) dzlog(ZLOG_ARGS_, ZLOG_LEVEL_DEBUG, __VA_ARGS__)

#define vdzlog_fatal(fmt, args) vdzlog(ZLOG_ARGS_, ZLOG_LEVEL_FATAL, fmt, args)
#define vdzlog_error(fmt, args) vdzlog(ZLOG_ARGS_, ZLOG_LEVEL_ERROR, fmt, args)
#define vdzlog_warn(fmt, args) vdzlog(ZLOG_ARGS_, ZLOG_LEVEL_WARN, fmt, args)
#define vdzlog_notice(fmt, args) vdzlog(ZLOG_ARGS_, ZLOG_LEVEL_NOTICE, fmt, args)
#define vdzlog_info(fmt, args) vdzlog(ZLOG_ARGS_, ZLOG_LEVEL_INFO, fmt, args)
#define vdzlog_debug(fmt, args) vdzlog(ZLOG_ARGS_, ZLOG_LEVEL_DEBUG, fmt, args)

#define hdzlog_fatal(buf, len) hdzlog(ZLOG_ARGS_, ZLOG_LEVEL_FATAL, buf, len)
#define hdzlog_error(buf, len) hdzlog(ZLOG_ARGS_, ZLOG_LEVEL_ERROR, buf, len)
#define hdzlog_warn(buf, len) hdzlog(ZLOG_ARGS_, ZLOG_LEVEL_WARN, buf, len)
#define hdzlog_notice(buf, len) hdzlog(ZLOG_ARGS_, ZLOG_LEVEL_NOTICE, buf, len)
#define hdzlog_info(buf, len) hdzlog(ZLOG_ARGS_, ZLOG_LEVEL_INFO, buf, len)
#define hdzlog_debug(buf, len) hdzlog(ZLOG_ARGS_, ZLOG_LEVEL_DEBUG, buf, len)

#ifdef __cplusplus
}
#endif

#endif
