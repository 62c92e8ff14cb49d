#include "HostProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

extern char** environ;

namespace hostproc {

namespace {

// Far above the descriptors a child is given (0 to 6), so that moving them never collides.
constexpr int kFirstTestFd = 100;

int MoveHigh(int fd)
{
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, kFirstTestFd);
    close(fd);
    return high;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        pollfd pfd = {fd, POLLIN, 0};
        const int n = poll(&pfd, 1, RemainingMs(deadline));
        if (n > 0)
            return true;
        if (0 == n || EINTR != errno)
            return false;
    }
}

}  // namespace

Pipe::Pipe()
{
    int fds[2];
    if (0 == pipe2(fds, O_CLOEXEC)) {
        m_fds[0] = MoveHigh(fds[0]);
        m_fds[1] = MoveHigh(fds[1]);
    }
}

Pipe::~Pipe()
{
    CloseRead();
    CloseWrite();
}

void Pipe::CloseRead()
{
    if (m_fds[0] >= 0)
        close(m_fds[0]);
    m_fds[0] = -1;
}

void Pipe::CloseWrite()
{
    if (m_fds[1] >= 0)
        close(m_fds[1]);
    m_fds[1] = -1;
}

pid_t Spawn(const std::string& program, const SpawnOptions& options)
{
    std::vector<std::string> argvText = {program};
    argvText.insert(argvText.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : argvText)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    std::map<std::string, std::string> envMap;
    for (char** e = environ; *e; ++e) {
        const char* eq = strchr(*e, '=');
        if (eq)
            envMap[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& name : options.unsetEnv)
        envMap.erase(name);
    for (const auto& entry : options.env) {
        const size_t eq = entry.find('=');
        envMap[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    std::vector<std::string> envText;
    for (const auto& kv : envMap)
        envText.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& e : envText)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (0 != pid)
        return pid;
    // The child: only async-signal-safe calls until exec.
    for (const auto& m : options.fds) {
        if (dup2(m.first, m.second) < 0)
            _exit(126);
    }
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.stackLimit) {
        struct rlimit limit = {options.stackLimit, options.stackLimit};
        if (0 != setrlimit(RLIMIT_STACK, &limit))
            _exit(125);
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

int WaitExit(pid_t pid, int timeoutMs)
{
    // A process descriptor becomes readable when the child ends.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ended = true;
    if (pidfd >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        ended = WaitReadable(pidfd, deadline);
        close(pidfd);
    }
    int status = 0;
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    while (waitpid(pid, &status, 0) < 0) {
        if (EINTR != errno)
            return -1;
    }
    return status;
}

bool IsRunning(pid_t pid)
{
    int status = 0;
    return 0 == waitpid(pid, &status, WNOHANG);
}

std::string Frame(const std::string& body)
{
    const size_t n = body.size();
    std::string frame = {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                         static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
    return frame + body;
}

bool WriteAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && EINTR == errno)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReadExactly(int fd, size_t n, std::string* out, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    out->clear();
    out->resize(n);
    size_t done = 0;
    while (done < n) {
        if (!WaitReadable(fd, deadline))
            return false;
        const ssize_t got = read(fd, &(*out)[done], n - done);
        if (got < 0 && EINTR == errno)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool ReadFrame(int fd, std::string* body, int timeoutMs)
{
    std::string header;
    if (!ReadExactly(fd, 4, &header, timeoutMs))
        return false;
    const auto* b = reinterpret_cast<const unsigned char*>(header.data());
    const size_t n = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<size_t>(b[3]) << 24);
    return ReadExactly(fd, n, body, timeoutMs);
}

bool ReadToEnd(int fd, std::string* out, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    out->clear();
    char buf[65536];
    for (;;) {
        if (!WaitReadable(fd, deadline))
            return false;
        const ssize_t got = read(fd, buf, sizeof(buf));
        if (got < 0 && EINTR == errno)
            continue;
        if (got <= 0)
            return 0 == got;
        out->append(buf, static_cast<size_t>(got));
    }
}

std::string ArgvLines(const std::string& program, const std::vector<std::string>& args)
{
    std::string lines = "argv[0]:" + program + "\n";
    for (size_t i = 0; i < args.size(); ++i)
        lines += "argv[" + std::to_string(i + 1) + "]:" + args[i] + "\n";
    return lines;
}

long ResidentKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (0 == line.compare(0, 6, "VmRSS:"))
            return strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

int OpenDescriptors(pid_t pid)
{
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if ('.' != entry->d_name[0])
            ++count;
    }
    closedir(dir);
    return count;
}

Conversation::Conversation(const std::string& program, SpawnOptions options)
{
    options.fds = {{m_in.ReadEnd(), 0}, {m_out.WriteEnd(), 1}};
    m_pid = Spawn(program, options);
    m_in.CloseRead();
    m_out.CloseWrite();
}

Conversation::~Conversation()
{
    End();
}

bool Conversation::Send(const std::string& request)
{
    return WriteAll(m_in.WriteEnd(), Frame(request));
}

bool Conversation::Answer(std::string* answer, int timeoutMs)
{
    return ReadFrame(m_out.ReadEnd(), answer, timeoutMs);
}

int Conversation::End(std::string* rest, int timeoutMs)
{
    if (m_ended)
        return m_status;
    m_ended = true;
    m_in.CloseWrite();
    std::string ignored;
    ReadToEnd(m_out.ReadEnd(), rest ? rest : &ignored, timeoutMs);
    m_status = m_pid > 0 ? WaitExit(m_pid, timeoutMs) : -1;
    return m_status;
}

std::string HostPath()
{
    return HOST_PROGRAM;
}

std::string TokenHostPath()
{
    return TOKEN_HOST_PROGRAM;
}

}  // namespace hostproc
