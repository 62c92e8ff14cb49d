#include "Output.h"

#include "Levels.h"
#include "Thread.h"
#include "zlog.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace zlogc {

Rotater::~Rotater()
{
    if (lockFd >= 0)
        close(lockFd);
}

int auto_create_dir(const char* path)
{
    if (nullptr == path)
        return -1;
    const size_t length = strlen(path);
    std::unique_ptr<char[]> prefix(new (std::nothrow) char[length + 1]);
    if (!prefix)
        return -1;
    memcpy(prefix.get(), path, length + 1);
    for (size_t i = 1; i < length; ++i) {
        if ('/' != prefix[i])
            continue;
        prefix[i] = '\0';
        mkdir(prefix.get(), 0755);
        prefix[i] = '/';
    }
    return 0;
}

int OpenLogFile(const char* path, int flags, mode_t perms, struct stat* st)
{
    // O_NONBLOCK: a FIFO planted at the path must not block the opener until someone reads it.
    const int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, perms);
    if (fd < 0)
        return -1;
    struct stat own;
    struct stat& status = st ? *st : own;
    if (0 != fstat(fd, &status) || !S_ISREG(status.st_mode) || status.st_uid != geteuid() || 1 != status.st_nlink) {
        close(fd);
        zc_error("log file[%s] refused: not a regular file of this user with a single name", path);
        errno = EPERM;
        return -1;
    }
    if (0 == (flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (EINTR == errno)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

namespace {

class InertOutput : public Output
{
public:
    int Write(Event&, const char*, size_t) override { return 0; }
};

class StreamOutput : public Output
{
public:
    explicit StreamOutput(int fd) : m_fd(fd) {}
    int Write(Event&, const char* line, size_t length) override
    {
        if (WriteAll(m_fd, line, length))
            return 0;
        zc_error("write fd[%d] fail, errno[%d]", m_fd, errno);
        return -1;
    }

private:
    int m_fd;
};

class SyslogOutput : public Output
{
public:
    explicit SyslogOutput(int facility) : m_facility(facility) {}
    int Write(Event& event, const char* line, size_t length) override
    {
        const int priority = event.levels->Get(event.level).syslogPriority;
        syslog(m_facility | priority, "%.*s", static_cast<int>(std::min<size_t>(length, INT_MAX)), line);
        return 0;
    }

private:
    int m_facility;
};

class PipeOutput : public Output
{
public:
    explicit PipeOutput(FILE* pipe) : m_pipe(pipe) {}
    ~PipeOutput() override { pclose(m_pipe); }

    int Write(Event&, const char* line, size_t length) override
    {
        // A command that has exited must not take the process down with SIGPIPE: block it for
        // this write and swallow the one the write raised.
        sigset_t pipeSignal;
        sigset_t previous;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
        sigset_t pending;
        sigpending(&pending);
        const bool alreadyPending = sigismember(&pending, SIGPIPE);

        const bool ok = WriteAll(fileno(m_pipe), line, length);
        const int error = errno;
        if (!ok && EPIPE == error && !alreadyPending) {
            const struct timespec noWait = {0, 0};
            sigtimedwait(&pipeSignal, nullptr, &noWait);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (ok)
            return 0;
        zc_error("write to pipe fail, errno[%d]", error);
        return -1;
    }

private:
    FILE* m_pipe;
};

// An archive name split around its "#[N]r" / "#[N]s" marker.
struct ArchiveName
{
    std::string prefix;  // full path up to the number
    std::string suffix;  // after the number
    int width = 0;       // zero padding
    bool sequence = false;

    std::string Path(long long index) const
    {
        char digits[32];
        snprintf(digits, sizeof(digits), "%0*lld", width, index);
        return prefix + digits + suffix;
    }
};

// Finds the first "#", optional digits, then 'r' or 's'.
bool FindArchiveMarker(const std::string& text, size_t* begin, size_t* end, int* width, bool* sequence)
{
    for (size_t at = text.find('#'); at != std::string::npos; at = text.find('#', at + 1)) {
        size_t pos = at + 1;
        int digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            digits = digits * 10 + (text[pos] - '0');
            ++pos;
        }
        if (pos < text.size() && ('r' == text[pos] || 's' == text[pos])) {
            *begin = at;
            *end = pos + 1;
            *width = std::min(digits, 20);
            *sequence = 's' == text[pos];
            return true;
        }
    }
    return false;
}

}  // namespace

bool HasArchiveMarker(const std::string& pattern)
{
    size_t begin = 0;
    size_t end = 0;
    int width = 0;
    bool sequence = false;
    return FindArchiveMarker(pattern, &begin, &end, &width, &sequence);
}

namespace {

// Existing archives: their indices, ascending.
std::vector<long long> ListArchives(const ArchiveName& name)
{
    std::vector<long long> indices;
    const size_t slash = name.prefix.rfind('/');
    const std::string dir =
        std::string::npos == slash ? std::string(".") : (0 == slash ? std::string("/") : name.prefix.substr(0, slash));
    const std::string stem = std::string::npos == slash ? name.prefix : name.prefix.substr(slash + 1);

    DIR* handle = opendir(dir.c_str());
    if (nullptr == handle)
        return indices;
    while (const struct dirent* entry = readdir(handle)) {
        const std::string file = entry->d_name;
        if (file.size() <= stem.size() + name.suffix.size() || 0 != file.compare(0, stem.size(), stem) ||
            0 != file.compare(file.size() - name.suffix.size(), name.suffix.size(), name.suffix))
            continue;
        const std::string number = file.substr(stem.size(), file.size() - stem.size() - name.suffix.size());
        if (number.size() > 18 || number.find_first_not_of("0123456789") != std::string::npos)
            continue;
        indices.push_back(std::stoll(number));
    }
    closedir(handle);
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    return indices;
}

class FileOutput : public Output
{
public:
    explicit FileOutput(FileOutputSpec spec) : m_spec(std::move(spec))
    {
        if (m_spec.path->IsConstant())
            m_fixedPath = m_spec.path->ConstantText();
    }

    ~FileOutput() override
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    bool KeepsFileOpen() const { return !m_fixedPath.empty() && 0 == m_spec.rotateSize; }
    const std::string& FixedPath() const { return m_fixedPath; }

    bool OpenFixed(std::string* error)
    {
        auto_create_dir(m_fixedPath.c_str());
        m_fd = OpenLogFile(m_fixedPath.c_str(), Flags(), m_spec.perms);
        if (m_fd < 0) {
            *error = "open file[" + m_fixedPath + "] fail, errno[" + std::to_string(errno) + "]";
            return false;
        }
        return true;
    }

    int Write(Event& event, const char* line, size_t length) override
    {
        if (m_fd >= 0) {
            if (!WriteAll(m_fd, line, length)) {
                zc_error("write file[%s] fail, errno[%d]", m_fixedPath.c_str(), errno);
                return -1;
            }
            SyncIfDue(m_fd);
            return 0;
        }

        const char* path = m_fixedPath.c_str();
        if (m_fixedPath.empty()) {
            LineBuffer& buffer = event.thread->path;
            buffer.Clear();
            if (!m_spec.path->Render(event, buffer) || 0 == buffer.Size() || !buffer.Append('\0')) {
                zc_error("file path of the rule cannot be built");
                return -1;
            }
            path = buffer.Data();
        }

        int fd = OpenLogFile(path, Flags(), m_spec.perms);
        if (fd < 0 && ENOENT == errno) {
            auto_create_dir(path);
            fd = OpenLogFile(path, Flags(), m_spec.perms);
        }
        if (fd < 0) {
            zc_error("open file[%s] fail, errno[%d]", path, errno);
            return -1;
        }
        const bool ok = WriteAll(fd, line, length);
        if (!ok)
            zc_error("write file[%s] fail, errno[%d]", path, errno);
        SyncIfDue(fd);
        struct stat st;
        const bool rotate = ok && m_spec.rotateSize && length <= m_spec.rotateSize && 0 == fstat(fd, &st) &&
                            static_cast<unsigned long long>(st.st_size) + length > m_spec.rotateSize;
        close(fd);
        if (rotate)
            Rotate(path, event, length);
        return ok ? 0 : -1;
    }

private:
    int Flags() const { return O_WRONLY | O_APPEND | O_CREAT | (m_spec.sync ? O_SYNC : 0); }

    void SyncIfDue(int fd)
    {
        if (m_spec.fsyncPeriod > 0 && 0 == (m_writes.fetch_add(1, std::memory_order_relaxed) + 1) % m_spec.fsyncPeriod)
            fdatasync(fd);
    }

    bool ArchiveNameFor(const char* path, Event& event, ArchiveName* name)
    {
        if (!m_spec.archive) {
            name->prefix = std::string(path) + ".";
            return true;
        }
        LineBuffer& buffer = event.thread->archive;
        buffer.Clear();
        if (!m_spec.archive->Render(event, buffer))
            return false;
        const std::string text(buffer.Data(), buffer.Size());
        size_t begin = 0;
        size_t end = 0;
        if (!FindArchiveMarker(text, &begin, &end, &name->width, &name->sequence))
            return false;
        name->prefix = text.substr(0, begin);
        name->suffix = text.substr(end);
        return name->suffix.find('/') == std::string::npos;
    }

    void Rotate(const char* path, Event& event, size_t length)
    {
        Rotater& rotater = *m_spec.rotater;
        std::unique_lock<std::mutex> inProcess(rotater.mutex, std::try_to_lock);
        if (!inProcess.owns_lock())
            return;  // another thread is rotating: skip this turn
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (rotater.lockFd >= 0 && 0 != fcntl(rotater.lockFd, F_SETLK, &lock))
            return;  // another process is rotating

        // Another process may have rotated between our write and the lock.
        struct stat st;
        if (0 == lstat(path, &st) && S_ISREG(st.st_mode) &&
            static_cast<unsigned long long>(st.st_size) + length > m_spec.rotateSize) {
            ArchiveName name;
            if (ArchiveNameFor(path, event, &name)) {
                auto_create_dir(name.prefix.c_str());
                name.sequence ? RotateSequence(path, name) : RotateRolling(path, name);
            }
            else
                zc_error("archive path of file[%s] cannot be built", path);
        }

        if (rotater.lockFd >= 0) {
            lock.l_type = F_UNLCK;
            fcntl(rotater.lockFd, F_SETLK, &lock);
        }
    }

    // path.0 is the newest archive; COUNT > 0 keeps at most COUNT of them.
    void RotateRolling(const char* path, const ArchiveName& name)
    {
        std::vector<long long> indices = ListArchives(name);
        if (m_spec.rotateCount > 0) {
            const size_t keep = static_cast<size_t>(m_spec.rotateCount - 1);
            while (indices.size() > keep) {
                unlink(name.Path(indices.back()).c_str());
                indices.pop_back();
            }
        }
        for (auto it = indices.rbegin(); it != indices.rend(); ++it)
            if (0 != rename(name.Path(*it).c_str(), name.Path(*it + 1).c_str()))
                zc_error("rename archive[%s] fail, errno[%d]", name.Path(*it).c_str(), errno);
        if (0 != rename(path, name.Path(0).c_str()))
            zc_error("rename file[%s] fail, errno[%d]", path, errno);
    }

    // The file takes the next number; COUNT > 0 first trims the oldest archives to COUNT.
    void RotateSequence(const char* path, const ArchiveName& name)
    {
        std::vector<long long> indices = ListArchives(name);
        if (m_spec.rotateCount > 0) {
            const size_t keep = static_cast<size_t>(m_spec.rotateCount);
            const size_t drop = indices.size() > keep ? indices.size() - keep : 0;
            for (size_t i = 0; i < drop; ++i)
                unlink(name.Path(indices[i]).c_str());
            indices.erase(indices.begin(), indices.begin() + static_cast<long>(drop));
        }
        const long long highest = indices.empty() ? -1 : indices.back();
        const long long next = std::max(static_cast<long long>(indices.size()) - 1, highest) + 1;
        if (0 != rename(path, name.Path(next).c_str()))
            zc_error("rename file[%s] fail, errno[%d]", path, errno);
    }

    FileOutputSpec m_spec;
    std::string m_fixedPath;
    int m_fd = -1;
    std::atomic<unsigned long> m_writes{0};
};

// The memory log's two pages, shared by every memlog rule of the process: the previous page and
// the current one. Changed only under memory_log_env_lock, so that lines of different threads
// are kept whole and in order.
char g_log_buf1[kMemoryLogPageSize];
int g_buf1_log_len = 0;
char g_log_buf2[kMemoryLogPageSize];
int g_buf2_log_len = 0;
std::mutex memory_log_env_lock;

// Appends both pages to the file and empties them; after a failure they stay for the next flush.
int FlushMemoryPagesLocked(const std::string& path, mode_t perms)
{
    if (path.empty()) {
        zc_error("memlog rule without a file: nothing to flush to");
        return -1;
    }
    const int fd = OpenLogFile(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, perms);
    if (fd < 0) {
        zc_error("open file[%s] fail, errno[%d]", path.c_str(), errno);
        return -1;
    }
    if (!WriteAll(fd, g_log_buf1, static_cast<size_t>(g_buf1_log_len)) ||
        !WriteAll(fd, g_log_buf2, static_cast<size_t>(g_buf2_log_len))) {
        zc_error("write fail, errno[%d]", errno);
        close(fd);
        return -1;
    }
    if (0 != close(fd)) {
        zc_error("write fail, maybe cause by write, errno[%d]", errno);
        return -1;
    }
    g_buf1_log_len = 0;
    g_buf2_log_len = 0;
    return 0;
}

int zlog_rule_output_memory(const std::string& path, mode_t perms, int level, const char* line, size_t length)
{
    std::lock_guard<std::mutex> lock(memory_log_env_lock);
    // A line longer than a page keeps its end, so that what is flushed still ends with a newline.
    if (length > kMemoryLogPageSize) {
        line += length - kMemoryLogPageSize;
        length = kMemoryLogPageSize;
    }
    if (length > kMemoryLogPageSize - static_cast<size_t>(g_buf2_log_len)) {
        memcpy(g_log_buf1, g_log_buf2, static_cast<size_t>(g_buf2_log_len));
        g_buf1_log_len = g_buf2_log_len;
        g_buf2_log_len = 0;
    }
    memcpy(g_log_buf2 + g_buf2_log_len, line, length);
    g_buf2_log_len += static_cast<int>(length);
    // Only an error is worth the file: FATAL and every other level stay in memory.
    if (ZLOG_LEVEL_ERROR != level)
        return 0;
    return FlushMemoryPagesLocked(path, perms);
}

class MemoryOutput : public Output
{
public:
    MemoryOutput(const std::string& path, mode_t perms) : m_path(path), m_perms(perms) {}
    int Write(Event& event, const char* line, size_t length) override
    {
        return zlog_rule_output_memory(m_path, m_perms, event.level, line, length);
    }

private:
    std::string m_path;
    mode_t m_perms;
};

}  // namespace

std::unique_ptr<Output> MakeMemoryOutput(const std::string& path, mode_t perms, bool open, std::string* error)
{
    if (!open)
        return MakeInertOutput();
    if (!path.empty()) {
        auto_create_dir(path.c_str());
        // Emptied at every build, through the same checks as any log file: a link planted at the
        // path must not make the host empty another of the user's files.
        struct stat st;
        const int fd = OpenLogFile(path.c_str(), O_WRONLY, 0, &st);
        if (fd < 0 && ENOENT != errno) {
            *error = "open file[" + path + "] fail, errno[" + std::to_string(errno) + "]";
            return nullptr;
        }
        if (fd >= 0) {
            const bool emptied = 0 == st.st_size || 0 == ftruncate(fd, 0);
            const int truncateError = errno;
            close(fd);
            if (!emptied) {
                *error = "truncate file[" + path + "] fail, errno[" + std::to_string(truncateError) + "]";
                return nullptr;
            }
        }
    }
    return std::unique_ptr<Output>(new MemoryOutput(path, perms));
}

std::unique_ptr<Output> MakeStreamOutput(int fd)
{
    return std::unique_ptr<Output>(new StreamOutput(fd));
}

std::unique_ptr<Output> MakeInertOutput()
{
    return std::unique_ptr<Output>(new InertOutput);
}

std::unique_ptr<Output> MakeSyslogOutput(int facility)
{
    openlog(nullptr, LOG_NDELAY | LOG_NOWAIT | LOG_PID, LOG_USER);
    return std::unique_ptr<Output>(new SyslogOutput(facility));
}

std::unique_ptr<Output> MakePipeOutput(const std::string& command, std::string* error)
{
    FILE* pipe = popen(command.c_str(), "we");
    if (nullptr == pipe) {
        *error = "popen[" + command + "] fail, errno[" + std::to_string(errno) + "]";
        return nullptr;
    }
    return std::unique_ptr<Output>(new PipeOutput(pipe));
}

std::unique_ptr<Output> MakeFileOutput(FileOutputSpec spec, bool open, std::string* error)
{
    if (!open)
        return MakeInertOutput();
    std::unique_ptr<FileOutput> output(new FileOutput(std::move(spec)));
    if (output->KeepsFileOpen() && !output->OpenFixed(error))
        return nullptr;
    return output;
}

}  // namespace zlogc
