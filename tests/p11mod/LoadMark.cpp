// A library that any load runs code from: its constructor creates the file named by
// TESTP11_LOAD_MARK, so a test sees whether the library was ever loaded into the process.
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void LeaveLoadMark()
{
    const char* path = getenv("TESTP11_LOAD_MARK");
    if (path == nullptr)
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
}
