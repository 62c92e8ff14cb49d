// A host program run as a browser runs it: a child process whose descriptors are pipes of the
// test, with frames written to and read from them under a timeout.
#ifndef VARNELL_TESTS_HOST_PROCESS_H
#define VARNELL_TESTS_HOST_PROCESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace hostproc {

// A pipe whose ends sit above the descriptors a child is given, closed on exec.
class Pipe
{
public:
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int ReadEnd() const { return m_fds[0]; }
    int WriteEnd() const { return m_fds[1]; }
    void CloseRead();
    void CloseWrite();

private:
    int m_fds[2] = {-1, -1};
};

struct SpawnOptions
{
    std::vector<std::string> args;              // after the program path
    std::vector<std::pair<int, int>> fds;       // {descriptor of the test, descriptor in the child}
    std::vector<std::string> env;               // NAME=value added to (or replacing in) the test's own
    std::vector<std::string> unsetEnv;          // names removed
    unsigned long stackLimit = 0;               // RLIMIT_STACK of the child when not 0
};

// Starts the program with SIGPIPE at its default action (as a browser starts it); -1 on failure.
pid_t Spawn(const std::string& program, const SpawnOptions& options);

// Waits for the child to end, at most timeoutMs; the wait status, or -1 after the timeout (the
// child is then killed).
int WaitExit(pid_t pid, int timeoutMs = 60000);
// True while the child has not ended.
bool IsRunning(pid_t pid);

// A host in conversation over two pipes, its descriptors 0 and 1, as a browser's port holds one.
// Ends at scope exit like a disconnect: its input closed, the rest of its output read, its exit
// waited for.
class Conversation
{
public:
    // options.fds is set here.
    Conversation(const std::string& program, SpawnOptions options);
    ~Conversation();
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Send(const std::string& request);
    // The next answer's body; false when none came within the time.
    bool Answer(std::string* answer, int timeoutMs = 60000);
    // Ends the conversation: closes the host's input and reads what follows the answers (the
    // argument lines at exit) into *rest when given. The wait status, or -1 after the timeout (the
    // host is then killed); once ended, the same status again.
    int End(std::string* rest = nullptr, int timeoutMs = 60000);

private:
    Pipe m_in, m_out;
    pid_t m_pid = -1;
    int m_status = -1;
    bool m_ended = false;
};

// Frames: a 4-byte little-endian length, then the body.
std::string Frame(const std::string& body);
bool WriteAll(int fd, const std::string& data);
// Reads exactly n bytes; false on end of input, error or timeout.
bool ReadExactly(int fd, size_t n, std::string* out, int timeoutMs = 60000);
// One frame's body; false when none came.
bool ReadFrame(int fd, std::string* body, int timeoutMs = 60000);
// Everything up to end of input; false on timeout.
bool ReadToEnd(int fd, std::string* out, int timeoutMs = 60000);

// What main prints for the program and its arguments: "argv[%d]:%s\n" each.
std::string ArgvLines(const std::string& program, const std::vector<std::string>& args);

// The resident set size (kB) and the number of open descriptors of a running process.
long ResidentKb(pid_t pid);
int OpenDescriptors(pid_t pid);

// The built programs, from the build tree ctest names.
std::string HostPath();        // the shipped configuration's host (default tables)
std::string TokenHostPath();   // the host built with the test table of signed SoftHSM2 and test module

}  // namespace hostproc

#endif
