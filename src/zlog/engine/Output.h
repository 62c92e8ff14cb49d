// Where a rule's lines go: standard streams, files (fixed or built per event, optionally rotated),
// a pipe to a command, or syslog.
#ifndef VARNELL_ZLOG_ENGINE_OUTPUT_H
#define VARNELL_ZLOG_ENGINE_OUTPUT_H

#include "Format.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace zlogc {

// Serialises rotation: a mutex within the process and an fcntl lock on the lock file across processes.
struct Rotater
{
    std::mutex mutex;
    std::string lockPath;
    int lockFd = -1;

    Rotater() = default;
    Rotater(const Rotater&) = delete;
    Rotater& operator=(const Rotater&) = delete;
    ~Rotater();
};

class Output
{
public:
    virtual ~Output() = default;
    // Writes one formatted line with a single write; -1 on failure (the caller reports it).
    virtual int Write(Event& event, const char* line, size_t length) = 0;
};

// True when an archive pattern holds a "#r", "#s", "#Nr" or "#Ns" number marker.
bool HasArchiveMarker(const std::string& pattern);

// Creates every directory named by a prefix of `path` that ends before a '/', mode 0755,
// ignoring failures; the last component is not created. -1 only for a null path or no memory.
int auto_create_dir(const char* path);

// Opens a log file as open(2) would with `flags` and `perms`, but never through a final symbolic
// link, and keeps the descriptor only for a regular file owned by the effective user with no other
// name (a FIFO, another user's file or a hard link to one of the user's files planted at the path
// is refused). -1 with errno set otherwise; `st` (optional) receives the file's status.
int OpenLogFile(const char* path, int flags, mode_t perms, struct stat* st = nullptr);

// Writes all of `length` bytes, retrying after interruptions and short writes.
bool WriteAll(int fd, const char* data, size_t length);

std::unique_ptr<Output> MakeStreamOutput(int fd);
// Accepts every line and writes nothing: the stand-in for outputs of a configuration that is only checked.
std::unique_ptr<Output> MakeInertOutput();
std::unique_ptr<Output> MakeSyslogOutput(int facility);
// Null when the command cannot be started.
std::unique_ptr<Output> MakePipeOutput(const std::string& command, std::string* error);

// Size of each of the memory log's two pages.
constexpr size_t kMemoryLogPageSize = 32768;

// ">memlog:PATH": lines are kept in two pages shared by every such rule, and each ERROR event
// appends what is kept to PATH. When `open` is set, PATH's directories are created and an existing
// file is emptied now (opened as log files are: null with a reason when that is refused). An empty
// PATH keeps lines in memory only.
std::unique_ptr<Output> MakeMemoryOutput(const std::string& path, mode_t perms, bool open, std::string* error);

struct FileOutputSpec
{
    std::unique_ptr<Format> path;  // constant for a fixed path
    bool sync = false;             // O_SYNC
    mode_t perms = 0600;
    long fsyncPeriod = 0;
    unsigned long long rotateSize = 0;  // 0: no rotation
    long rotateCount = 0;
    std::unique_ptr<Format> archive;  // null: "<path>.N", rolling
    Rotater* rotater = nullptr;
};

// A fixed path without rotation is opened now (when `open` is set) and stays open; any other file
// is opened for each event. Null with a reason when the fixed file cannot be opened.
std::unique_ptr<Output> MakeFileOutput(FileOutputSpec spec, bool open, std::string* error);

}  // namespace zlogc

#endif
