// A library that any load runs code from: its constructor creates the file named by
// TESTP11_LOAD_MARK, so a test sees whether the library was ever loaded into the process. It also
// loads the library named by TESTP11_LOAD_OTHER and keeps it, as a vendor module may load another
// one: by that path, or with TESTP11_LOAD_OTHER_BY_FD through the name of a descriptor closed
// right after, a name under which the loader then knows the library but that names no file.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

void LoadOther(const char* path)
{
    if (getenv("TESTP11_LOAD_OTHER_BY_FD") == nullptr) {
        dlopen(path, RTLD_NOW);
        return;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    // A high number, which the descriptors the test opens later do not reach.
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 512);
    close(fd);
    if (high < 0)
        return;
    char name[32];
    snprintf(name, sizeof(name), "/proc/self/fd/%d", high);
    dlopen(name, RTLD_NOW);
    close(high);
}

}  // namespace

__attribute__((constructor)) static void LeaveLoadMark()
{
    if (const char* other = getenv("TESTP11_LOAD_OTHER"))
        LoadOther(other);
    const char* path = getenv("TESTP11_LOAD_MARK");
    if (path == nullptr)
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
}
