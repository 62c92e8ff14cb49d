// Placeholder engine: every call is a harmless no-op until the real engine lands.
#include "zlog.h"

extern "C" {
int zlog_init(const char*) { return -1; }
int zlog_reload(const char*) { return 0; }
void zlog_fini(void) {}
int zlog_init_memory_log(const char*, const char*) { return -1; }
zlog_category_t* zlog_get_category(const char*) { return nullptr; }
void zlog(zlog_category_t*, const char*, size_t, const char*, size_t, long, int, const char*, ...) {}
void vzlog(zlog_category_t*, const char*, size_t, const char*, size_t, long, int, const char*, va_list) {}
void hzlog(zlog_category_t*, const char*, size_t, const char*, size_t, long, int, const void*, size_t) {}
int dzlog_init(const char*, const char*) { return -1; }
int dzlog_set_category(const char*) { return -1; }
void dzlog(const char*, size_t, const char*, size_t, long, int, const char*, ...) {}
void vdzlog(const char*, size_t, const char*, size_t, long, int, const char*, va_list) {}
void hdzlog(const char*, size_t, const char*, size_t, long, int, const void*, size_t) {}
int zlog_put_mdc(const char*, const char*) { return -1; }
char* zlog_get_mdc(const char*) { return nullptr; }
void zlog_remove_mdc(const char*) {}
void zlog_clean_mdc(void) {}
int zc_profile_inner(int, const char*, long, const char*, ...) { return 0; }
}
