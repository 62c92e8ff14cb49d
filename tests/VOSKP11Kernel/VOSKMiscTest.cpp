#include "VOSKMisc.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>

namespace {

TEST(ReadFileSimple, WholeFileFromItsStartNulTerminatedUpToTheLimit)
{
    testutil::ScopedTempDir dir;
    for (long size : {0L, 1L, 16385L, READ_FILE_MAX_SIZE, READ_FILE_MAX_SIZE + 1}) {
        SCOPED_TRACE(size);
        std::string content(static_cast<size_t>(size), '\0');
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
        ASSERT_TRUE(testutil::WriteFile(dir.File("f"), content));
        FILE* fp = fopen(dir.File("f").c_str(), "rb");
        ASSERT_NE(nullptr, fp);
        fseek(fp, 0, SEEK_END);  // a stream left anywhere is read from its start
        unsigned char* data = nullptr;
        int dataSize = -7;
        const unsigned int code = ReadFileSimple(fp, &data, &dataSize);
        fclose(fp);
        std::unique_ptr<unsigned char[]> holder(data);
        if (size > READ_FILE_MAX_SIZE) {
            EXPECT_EQ(QOVA_E_READ_FAULT, code);
            EXPECT_EQ(nullptr, data);
            EXPECT_EQ(-7, dataSize);
            continue;
        }
        ASSERT_EQ(QOVA_OK, code);
        ASSERT_EQ(size, dataSize);
        EXPECT_EQ(0, memcmp(content.data(), data, content.size()));
        EXPECT_EQ(0, data[size]);
    }
}

// A stream without a position (a pipe) answers -1 to the size query; read as a size it would pass
// the limit and ask for SIZE_MAX bytes into an empty buffer.
TEST(ReadFileSimple, StreamWithoutPositionFailsInsteadOfAHugeRead)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(4, write(fds[1], "text", 4));
    close(fds[1]);
    FILE* fp = fdopen(fds[0], "rb");
    ASSERT_NE(nullptr, fp);
    unsigned char* data = nullptr;
    int dataSize = -7;
    EXPECT_EQ(QOVA_E_READ_FAULT, ReadFileSimple(fp, &data, &dataSize));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(-7, dataSize);
    EXPECT_EQ(QOVA_E_INVALIDARG, ReadFileSimple(nullptr, &data, &dataSize));
    EXPECT_EQ(QOVA_E_INVALIDARG, ReadFileSimple(fp, nullptr, &dataSize));
    fclose(fp);
}

// Random (version 4) UUIDs in the 8-4-4-4-12 lowercase text form, a new one each call.
TEST(CreateGUIDStr, RandomUuidText)
{
    std::set<std::string> seen;
    for (int i = 0; i < 8; ++i) {
        char* guid = nullptr;
        ASSERT_EQ(QOVA_OK, CreateGUIDStr(&guid));
        const std::string text = guid;
        delete[] guid;
        ASSERT_EQ(GUID_LEN, text.size());
        std::string shape = text;
        for (char& ch : shape) ch = isdigit(static_cast<unsigned char>(ch)) || (ch >= 'a' && ch <= 'f') ? 'h' : ch;
        EXPECT_EQ("hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh", shape);
        EXPECT_EQ('4', text[14]) << text;  // version: random
        EXPECT_NE(std::string::npos, std::string("89ab").find(text[19])) << text;
        seen.insert(text);
    }
    EXPECT_EQ(8u, seen.size());
    EXPECT_EQ(QOVA_E_INVALIDARG, CreateGUIDStr(nullptr));
}

}  // namespace
