#include "foundation/FileBuffer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Sanitizers.h"

using ORVEX::Buffer;
using ORVEX::FileBuffer;

namespace {

class FileBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tm_filebuffer_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string file(const std::string& name, const std::string& content) {
        const std::string path = dir + "/" + name;
        FileBuffer b;
        b.write(content.data(), content.size());
        EXPECT_TRUE(b.save(path));
        return path;
    }
    static std::string text(const Buffer& b) { return std::string(b.begin(), b.end()); }

    std::string dir;
};

}  // namespace

TEST_F(FileBufferTest, LoadWholeFileOrARangeInsideIt) {
    const std::string empty = file("empty", "");
    const std::string five = file("five", "12345");
    const std::string eight = file("eight", "abcdefgh");
    struct Case {
        std::string path;
        std::uint64_t size, offset;
        bool ok;
        std::string content;  // buffer afterwards ("old" = unchanged)
    };
    const Case cases[] = {
        {empty, 0, 0, true, ""},
        {empty, 10, 99, true, ""},  // an empty file wins before size and offset are looked at
        {five, 0, 0, true, "12345"},
        {five, 0, 3, true, "12345"},  // size 0 ignores the offset
        {five, 10, 0, false, "old"},
        {eight, 5, 3, true, "defgh"},
        {eight, 8, 0, true, "abcdefgh"},
        {eight, 1, 100, false, "old"},
        {eight, 1, 8, false, "old"},
        {eight, 2, UINT64_MAX, false, "old"},  // offset + size wraps around
        {eight, UINT64_MAX, 2, false, "old"},
        {dir + "/missing", 0, 0, false, "old"},
    };
    for (const Case& c : cases) {
        FileBuffer b;
        b.write("old", 3);
        EXPECT_EQ(b.load(c.path, c.size, c.offset), c.ok) << c.path << " " << c.size << " " << c.offset;
        EXPECT_EQ(text(b), c.content) << c.path << " " << c.size << " " << c.offset;
    }
}

TEST_F(FileBufferTest, OnlyRegularFilesAreRead) {
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A directory, a FIFO without a writer (a blocking open would hang here)
    // and a character device are refused, leaving the buffer as it was.
    for (const std::string& path : {dir, fifo, std::string("/dev/zero"), std::string("/dev/null")}) {
        FileBuffer b;
        b.write("old", 3);
        EXPECT_FALSE(b.load(path)) << path;
        EXPECT_EQ(text(b), "old") << path;
        EXPECT_FALSE(b.save(path)) << path;
    }
    // A pseudo-file reports length 0 but has content: its length is unknown.
    FileBuffer b;
    b.write("old", 3);
    EXPECT_FALSE(b.load("/proc/self/status"));
    EXPECT_FALSE(b.load("/proc/self/status", 4, 0));
    EXPECT_EQ(text(b), "old");
}

TEST_F(FileBufferTest, AFileTooLargeForMemoryIsRefused) {
#if defined(TM_ASAN)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#elif defined(TM_TSAN)
    GTEST_SKIP() << "the thread sanitizer's allocator ends the process instead of failing an allocation";
#else
    // A sparse file far larger than the address-space limit of the child.
    const std::string path = dir + "/sparse";
    {
        FileBuffer none;
        ASSERT_TRUE(none.save(path));
    }
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(8) << 30), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{1u << 30, 1u << 30};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
        FileBuffer b;
        b.write("old", 3);
        const bool loaded = b.load(path);
        ::_exit(loaded ? 1 : (b.size() == 3 ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the load ended the process";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported as loaded; 2: buffer changed";
#endif
}

TEST_F(FileBufferTest, SaveTruncatesAndKeepsBytesUnchanged) {
    const std::string path = file("data", std::string("a much longer first content\r\n"));
    FileBuffer b;
    const std::uint8_t bytes[] = {0x00, 0x0D, 0x0A, 0xFF, 0x1A};
    b.write(bytes, sizeof(bytes));
    ASSERT_TRUE(b.save(path));
    FileBuffer back;
    ASSERT_TRUE(back.load(path));
    EXPECT_EQ(back, b);

    FileBuffer empty;
    ASSERT_TRUE(empty.save(path));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_FALSE(empty.save(dir + "/no/such/dir/file"));
}

TEST_F(FileBufferTest, SaveReportsAFailedWrite) {
    // A file-size limit makes the write fail part-way; save must say so.
    const std::string path = dir + "/big";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
        FileBuffer b;
        b.resize(4096, 0x41);
        const bool saved = b.save(path);
        FileBuffer small;
        small.write("tiny", 4);
        const bool smallSaved = small.save(dir + "/small");
        ::_exit(saved ? 1 : (smallSaved ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a failed write was reported as success";
}

TEST_F(FileBufferTest, WriteAppendsAndRemoveDeletes) {
    FileBuffer b;
    b.write("ab", 0);
    EXPECT_TRUE(b.empty());
    b.write("ab", 2);
    b.write("cde", 3);
    EXPECT_EQ(text(b), "abcde");

    const std::string path = file("gone", "x");
    EXPECT_TRUE(FileBuffer::remove(path));
    EXPECT_FALSE(FileBuffer::remove(path));
    EXPECT_FALSE(FileBuffer::remove(dir));  // not a file
}
