#include "ConfTrust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool IsTrustedOpenFile(int fd)
{
    struct stat st;
    return 0 == fstat(fd, &st) && S_ISREG(st.st_mode) && (st.st_uid == geteuid() || st.st_uid == 0) &&
           0 == (st.st_mode & (S_IWGRP | S_IWOTH));
}

int OpenTrustedConfFile(const char* path)
{
    if (nullptr == path || '\0' == path[0])
        return -1;
    // O_NONBLOCK: a FIFO planted at the path must not block the opener.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (!IsTrustedOpenFile(fd)) {
        close(fd);
        return -1;
    }
    // Reads of a regular file never block; clear the flag anyway so stdio sees a plain descriptor.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool IsTrustedConfFile(const char* path)
{
    const int fd = OpenTrustedConfFile(path);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}
