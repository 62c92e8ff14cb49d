// Small helpers shared by the test suites.
#ifndef VARNELL_TEST_UTIL_H
#define VARNELL_TEST_UTIL_H

#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class ScopedTempDir
{
public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

bool ReadFile(const std::string& path, std::string* content);
std::string ReadFileOrEmpty(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// Runs `command` through /bin/sh; stdout goes into *output (when given). Returns the exit status,
// or -1 when the command could not be run.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Quotes text for a shell command line.
std::string ShellQuote(const std::string& text);

// The source tree and the build tree, as ctest passes them (VARNELL_SOURCE_DIR, VARNELL_BINARY_DIR).
std::string SourceDir();
std::string BinaryDir();
// Whether both are named; run by hand without them, SourceDir() and BinaryDir() give ".".
bool TreesNamed();

// Replaces every occurrence of `from` in `text` with `to`.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

std::vector<unsigned char> HexToBytes(const std::string& hex);
std::string BytesToHex(const unsigned char* data, size_t size);

}  // namespace testutil

#endif
