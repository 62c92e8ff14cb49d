// The stored-PIN login lock's directory and lock file, in directories of the test's own: the real
// /tmp/varnell-<uid> is shared by every test and host running at once.
#include "TokenLoginLock.h"

#include "QovaResult.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>
#include <thread>

namespace {

using tokenlock::ChooseLockDir;
using tokenlock::TokenLock;

// What a case finds in its directory before the choice: a directory (mode), a link to target, a
// file, a directory given to another user (root only), or a directory removed.
struct Entry
{
    char kind;   // 'd', 'l', 'f', 'o', 'r'
    std::string path;
    mode_t mode = 0700;
    std::string target = "";
};

bool Make(const std::string& base, const Entry& e, uid_t other)
{
    const std::string path = base + "/" + e.path;
    switch (e.kind) {
    case 'd': return 0 == mkdir(path.c_str(), 0700) && 0 == chmod(path.c_str(), e.mode);
    case 'l': return 0 == symlink(e.target.c_str(), path.c_str());
    case 'f': return testutil::WriteFile(path, "");
    case 'o': return 0 == mkdir(path.c_str(), 0700) && (0 != geteuid() || 0 == chown(path.c_str(), other, -1));
    default: return 0 == rmdir(path.c_str());
    }
}

// An unusable directory would let other users swap the lock files; a link could lead anywhere.
TEST(TokenLoginLock, TheDirectoryIsTheUsersOwnAndClosedToEveryoneElse)
{
    const uid_t uid = geteuid();
    const uid_t other = uid + 4711;   // a user who owns none of the directories below
    const std::string id = std::to_string(uid), run = "run/" + id, tmp = "tmp/varnell-" + id;
    struct Case
    {
        const char* name;
        std::vector<Entry> entries;
        std::string expected;   // relative to the case's directory; empty: refused
        uid_t uid;
    };
    const Case kCases[] = {
        {"the user's own runtime directory", {{'d', run}}, run + "/varnell", uid},
        {"no runtime directory", {}, tmp, uid},
        {"a runtime directory open to others", {{'d', run, 0755}}, tmp, uid},
        // Only root can give a directory away; for others this is the first case again.
        {"a runtime directory of another user", {{'o', run}}, 0 == uid ? tmp : run + "/varnell", uid},
        {"a link as runtime directory", {{'d', "tmp/real"}, {'l', run, 0, "../tmp/real"}}, tmp, uid},
        {"an existing private lock directory", {{'d', tmp}}, tmp, uid},
        {"a lock directory of another user", {{'d', "tmp/varnell-" + std::to_string(other)}}, "", other},
        {"group may write", {{'d', tmp, 0770}}, "", uid},
        {"others may enter", {{'d', tmp, 0701}}, "", uid},
        {"a link to a private directory", {{'d', "tmp/real"}, {'l', tmp, 0, "real"}}, "", uid},
        {"a file", {{'f', tmp}}, "", uid},
        {"the runtime lock directory open to others", {{'d', run}, {'d', run + "/varnell", 0755}}, "", uid},
        {"no /tmp to make it in", {{'r', "tmp"}}, "", uid},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        testutil::ScopedTempDir dir;
        ASSERT_TRUE(Make(dir.Path(), {'d', "run", 0755}, other) && Make(dir.Path(), {'d', "tmp", 01777}, other));
        for (const Entry& e : c.entries)
            ASSERT_TRUE(Make(dir.Path(), e, other)) << e.path;
        std::string chosen;
        // Created 0700 whatever the umask lets through.
        const mode_t mask = umask(0);
        const unsigned int result = ChooseLockDir("test", dir.File("run"), dir.File("tmp"), c.uid, &chosen);
        umask(mask);
        if (c.expected.empty()) {
            EXPECT_EQ(QOVA_E_PIN_GUARD_UNAVAILABLE, result);
            continue;
        }
        ASSERT_EQ(QOVA_OK, result);
        EXPECT_EQ(dir.File(c.expected), chosen);
        struct stat st{};
        EXPECT_TRUE(0 == lstat(chosen.c_str(), &st) && S_ISDIR(st.st_mode) && 0700 == (st.st_mode & 07777));
    }
}

// Every host of the user, of whatever build, must find a token's lock by the same name.
TEST(TokenLoginLock, TheLockFileIsNamedByModuleLabelAndSerialNumber)
{
    CK_UTF8CHAR label[32], otherLabel[32];
    CK_CHAR serial[16], otherSerial[16];
    memset(label, 'L', sizeof(label));
    memset(otherLabel, 'M', sizeof(otherLabel));
    memset(serial, ' ', sizeof(serial));
    memset(otherSerial, '7', sizeof(otherSerial));
    // The openssl command's SHA-256 of path, a zero byte, label and serial.
    testutil::ScopedTempDir dir;
    const std::string input = std::string("/m/lib.so", 10) + std::string(32, 'L') + std::string(16, ' ');
    ASSERT_TRUE(testutil::WriteFile(dir.File("in"), input));
    std::string digest;
    ASSERT_EQ(0, testutil::RunCommand("openssl dgst -sha256 -r " + dir.File("in") + " | cut -c1-64", &digest));
    const std::string name = tokenlock::LockFileName("/m/lib.so", label, serial);
    EXPECT_EQ(digest.substr(0, 64) + ".lock", name);
    EXPECT_NE(name, tokenlock::LockFileName("/m/lib2.so", label, serial));
    EXPECT_NE(name, tokenlock::LockFileName("/m/lib.so", otherLabel, serial));
    EXPECT_NE(name, tokenlock::LockFileName("/m/lib.so", label, otherSerial));
}

// flock has no timeout: a host that never lets go must not hold the others' signatures forever.
TEST(TokenLoginLock, AHeldLockIsWaitedForAndGivenUpOnAtTheTimeout)
{
    testutil::ScopedTempDir dir;
    const std::string path = dir.File("t.lock");
    const int holder = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(0, flock(holder, LOCK_EX));

    TokenLock lock;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QOVA_E_PIN_GUARD_UNAVAILABLE, lock.Take("test", path, std::chrono::milliseconds(300)));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    EXPECT_EQ(-1, lock.Fd());

    // Let go while another waits: it gets the lock within a few retries.
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        close(holder);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(QOVA_OK, lock.Take("test", path, std::chrono::milliseconds(5000)));
    release.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    const int other = open(path.c_str(), O_RDWR);
    EXPECT_NE(0, flock(other, LOCK_EX | LOCK_NB)) << "the lock is not held";
    close(other);

    // Never through a link, even to a file nobody locks.
    ASSERT_TRUE(testutil::WriteFile(dir.File("free.lock"), ""));
    ASSERT_EQ(0, symlink(dir.File("free.lock").c_str(), dir.File("link.lock").c_str()));
    TokenLock viaLink;
    EXPECT_EQ(QOVA_E_PIN_GUARD_UNAVAILABLE, viaLink.Take("test", dir.File("link.lock"), std::chrono::milliseconds(50)));
}

// A lock on a file that its name no longer reaches excludes nobody: the next host opens the new file.
TEST(TokenLoginLock, ALockFileReplacedWhileWaitingIsLockedAgainByItsName)
{
    testutil::ScopedTempDir dir;
    const std::string path = dir.File("t.lock");
    for (const bool removed : {true, false}) {
        SCOPED_TRACE(removed ? "removed" : "replaced");
        const int holder = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_EQ(0, flock(holder, LOCK_EX));
        std::thread replace([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (removed) {
                unlink(path.c_str());
            } else {
                testutil::WriteFile(dir.File("new"), "");
                rename(dir.File("new").c_str(), path.c_str());
            }
            close(holder);
        });
        TokenLock lock;
        EXPECT_EQ(QOVA_OK, lock.Take("test", path, std::chrono::milliseconds(5000)));
        replace.join();
        struct stat held{}, named{};
        ASSERT_EQ(0, fstat(lock.Fd(), &held));
        EXPECT_TRUE(0 == stat(path.c_str(), &named) && named.st_ino == held.st_ino && named.st_dev == held.st_dev)
            << "the lock is held on a file the path no longer names";
    }
}

}  // namespace
