// The engine's own diagnostic channel. Its messages never reach the log: DEBUG lines go to the
// file named by ZLOG_PROFILE_DEBUG, WARN and ERROR lines to ZLOG_PROFILE_ERROR; unset discards.
#include "zlog.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

struct ProfileTargets
{
    std::string debug;
    std::string error;
};

const ProfileTargets& Targets()
{
    // Read once, at the first diagnostic.
    static const ProfileTargets* const targets = [] {
        ProfileTargets* read = new ProfileTargets;
        const char* debug = getenv("ZLOG_PROFILE_DEBUG");
        const char* error = getenv("ZLOG_PROFILE_ERROR");
        read->debug = debug ? debug : "";
        read->error = error ? error : "";
        return read;
    }();
    return *targets;
}

}  // namespace

int zc_profile_inner(int flag, const char* file, long line, const char* fmt, ...)
{
    const ProfileTargets& targets = Targets();
    const std::string& target = 0 == flag ? targets.debug : targets.error;
    if (target.empty())
        return 0;

    char text[4096] = {0};
    if (fmt) {
        va_list args;
        va_start(args, fmt);
        if (vsnprintf(text, sizeof(text), fmt, args) < 0)
            text[0] = '\0';
        va_end(args);
    }

    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%m-%d %H:%M:%S", &local);
    const char* level = 0 == flag ? "DEBUG" : (1 == flag ? "WARN " : "ERROR");

    char out[4096 + 512];
    int length = snprintf(out, sizeof(out) - 1, "%s %s (%d:%s:%ld) %s", stamp, level, static_cast<int>(getpid()),
                          file ? file : "", line, text);
    if (length < 0)
        return 0;
    if (static_cast<size_t>(length) > sizeof(out) - 2)
        length = static_cast<int>(sizeof(out) - 2);
    out[length++] = '\n';

    const int fd = open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    const ssize_t written = write(fd, out, static_cast<size_t>(length));
    (void)written;
    close(fd);
    return 0;
}
