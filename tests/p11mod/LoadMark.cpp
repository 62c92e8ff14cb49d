// A library that any load runs code from: its constructor creates the file named by
// TESTP11_LOAD_MARK, so a test sees whether the library was ever loaded into the process. It first
// loads (and keeps) the library TESTP11_LOAD_OTHER names, as a vendor module may load another: by
// path, or with TESTP11_LOAD_OTHER_BY_FD by a high descriptor's name, closed at once, so that the
// loader knows the library by a name that no file answers to.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void LeaveLoadMark()
{
    if (const char* other = getenv("TESTP11_LOAD_OTHER")) {
        const int fd = getenv("TESTP11_LOAD_OTHER_BY_FD") ? open(other, O_RDONLY | O_CLOEXEC) : -1;
        const int high = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 512) : -1;
        char name[32];
        snprintf(name, sizeof(name), "/proc/self/fd/%d", high);
        dlopen(high >= 0 ? name : other, RTLD_NOW);
        if (fd >= 0) close(fd);
        if (high >= 0) close(high);
    }
    const char* path = getenv("TESTP11_LOAD_MARK");
    if (path == nullptr)
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
}
