#include "foundation/FilePath.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

using ORVEX::FilePath;

namespace {

FilePath pathOf(const std::string& p) {
    FilePath f;
    f.setFilePath(p);
    return f;
}

class FilePathTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tm_filepath_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        ASSERT_EQ(::mkdir((root + "/a").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/a/b").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/a/b/c").c_str(), 0755), 0);
        touch(root + "/a/x.inf");
        touch(root + "/a/b/c/deep.inf");
        ASSERT_EQ(::mkdir((root + "/a/sub").c_str(), 0755), 0);
        ASSERT_EQ(::symlink((root + "/a/x.inf").c_str(), (root + "/a/b/link.inf").c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf " + root).c_str()); }
    static void touch(const std::string& p) { std::ofstream(p) << "x"; }
    std::string root;
};

}  // namespace

TEST(FilePath, DirectoryAndFileNameEditing) {
    FilePath f;
    f.setDirectory("");
    EXPECT_EQ(f.path, "./");
    f.setDirectory("a");
    EXPECT_EQ(f.path, "a/");
    f.setDirectory("a/");
    EXPECT_EQ(f.path, "a/");
    EXPECT_TRUE(pathOf("").isDirectory());
    EXPECT_TRUE(pathOf("x/").isDirectory());
    EXPECT_FALSE(pathOf("x").isDirectory());

    struct Case {
        const char* before;
        bool ok;
        const char* after;
    };
    const Case removeCases[] = {
        {"/usr/bin/prog", true, "/usr/bin/"},
        {"/prog", true, "/"},
        {"a/b", true, "a/"},
        {"prog", false, "prog"},
        {"", false, ""},
        {"/usr/bin/", false, "/usr/bin/"},
    };
    for (const Case& c : removeCases) {
        FilePath p = pathOf(c.before);
        EXPECT_EQ(p.removeFilename(), c.ok) << c.before;
        EXPECT_EQ(p.path, c.after) << c.before;
    }
    const Case popCases[] = {
        {"/a/b/", true, "/a/"},
        {"/a/", true, "/"},
        {"a/b/", true, "a/"},
        {"/", false, "/"},
        {"a/", false, "a/"},
        {"", false, ""},
        {"/a/b", false, "/a/b"},
    };
    for (const Case& c : popCases) {
        FilePath p = pathOf(c.before);
        EXPECT_EQ(p.popupDirectory(), c.ok) << c.before;
        EXPECT_EQ(p.path, c.after) << c.before;
    }
    const std::string s = "/opt/a/file";
    EXPECT_EQ(FilePath::separate(s.begin(), s.end()), "/opt/a/");
    EXPECT_EQ(FilePath::separate(s.begin(), s.begin() + 6), "/opt/");  // "/opt/a"
    EXPECT_EQ(FilePath::separate(s.begin(), s.begin() + 5), "/opt/");  // ends with "/"
    EXPECT_EQ(FilePath::separate(s.begin() + 1, s.begin() + 4), "");
    EXPECT_EQ(FilePath::separate(s.begin(), s.begin()), "");
}

TEST_F(FilePathTree, ExistenceTestsFollowTheKindThePathDenotes) {
    const std::string a = root + "/a";
    EXPECT_TRUE(pathOf(a + "/").isValid());
    EXPECT_FALSE(pathOf(a).isValid());  // a file path naming a directory
    EXPECT_TRUE(pathOf(a + "/x.inf").isValid());
    EXPECT_FALSE(pathOf(a + "/x.inf/").isValid());
    EXPECT_TRUE(pathOf(root + "/a/b/link.inf").isValid());  // links are followed
    EXPECT_FALSE(pathOf("").isValid());
    EXPECT_TRUE(pathOf("/").isValid());

    EXPECT_TRUE(FilePath::isValid(a, true));
    EXPECT_TRUE(FilePath::isValid(a + "/", true));
    EXPECT_FALSE(FilePath::isValid(a, false));
    EXPECT_TRUE(FilePath::isValid(a + "/x.inf", false));
    EXPECT_FALSE(FilePath::isValid(a + "/x.inf/", false));
    EXPECT_FALSE(FilePath::isValid(a + "/missing", false));
    EXPECT_TRUE(FilePath::isValid("/", true));
    EXPECT_FALSE(FilePath::isValid("", true));

    EXPECT_TRUE(FilePath::isValid(a));
    EXPECT_TRUE(FilePath::isValid(a + "/"));
    EXPECT_TRUE(FilePath::isValid(a + "/x.inf"));
    EXPECT_FALSE(FilePath::isValid(a + "/missing/"));
    EXPECT_FALSE(FilePath::isValid(""));
}

TEST_F(FilePathTree, AutoPathSearchesUpwards) {
    FilePath p = pathOf(root + "/a/b/c/");
    ASSERT_TRUE(p.AutoPath("x.inf"));
    EXPECT_EQ(p.path, root + "/a/x.inf");

    p = pathOf(root + "/a/b/c/");
    ASSERT_TRUE(p.AutoPath("deep.inf"));  // found in the start directory itself
    EXPECT_EQ(p.path, root + "/a/b/c/deep.inf");

    p = pathOf(root + "/a/b/c/");
    ASSERT_TRUE(p.AutoPath("sub/"));  // a name ending with "/" looks for a directory
    EXPECT_EQ(p.path, root + "/a/sub/");

    p = pathOf(root + "/a/b/c/");
    EXPECT_FALSE(p.AutoPath("x.inf/"));  // x.inf is a file, not a directory
    EXPECT_FALSE(p.AutoPath("sub"));     // sub is a directory, not a file
    EXPECT_FALSE(p.AutoPath("nowhere.inf"));
    EXPECT_EQ(p.path, root + "/a/b/c/");

    p = pathOf(root + "/a/x.inf");  // not a directory path
    EXPECT_FALSE(p.AutoPath("x.inf"));
    EXPECT_EQ(p.path, root + "/a/x.inf");

    // A relative path is searched up to its first component, not the
    // current directory.
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(::chdir(root.c_str()), 0);
    touch(root + "/top.inf");
    p = pathOf("a/b/");
    EXPECT_TRUE(p.AutoPath("x.inf"));
    EXPECT_EQ(p.path, "a/x.inf");
    p = pathOf("a/b/");
    EXPECT_FALSE(p.AutoPath("top.inf"));
    p = pathOf("");
    EXPECT_TRUE(p.AutoPath("top.inf"));
    EXPECT_EQ(p.path, "top.inf");
    p = pathOf("");
    EXPECT_FALSE(p.AutoPath(""));
    ASSERT_EQ(::chdir(cwd), 0);
}

// Writes the own path to the file named by TM_OWN_PATH_REPORT when asked
// (a copy of this program started by the next test); else checks it here.
TEST(FilePathOwn, OwnExecutablePath) {
    const std::string own = FilePath::getMyPath();
    if (const char* report = std::getenv("TM_OWN_PATH_REPORT")) {
        std::ofstream(report) << "[" << own << "]";
        return;
    }
    char target[PATH_MAX + 1] = {};
    const ssize_t n = ::readlink("/proc/self/exe", target, PATH_MAX);
    ASSERT_GT(n, 0);
    EXPECT_EQ(own, std::string(target, static_cast<std::size_t>(n)));
    FilePath self;
    self.setMySelfPath();
    EXPECT_EQ(self.path, own);
    ASSERT_TRUE(self.removeFilename());
    EXPECT_EQ(self.path + "foundation_tests", own);
}

TEST(FilePathOwn, AnOwnPathLongerThanTheBufferGivesEmpty) {
    char pattern[] = "/tmp/tm_longpath_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string base = pattern;
    std::string deep = base;
    const std::string component(200, 'd');
    while (deep.size() < 2300) {
        deep += "/" + component;
        ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
    }
    char target[PATH_MAX + 1] = {};
    ASSERT_GT(::readlink("/proc/self/exe", target, PATH_MAX), 0);
    const std::string copy = deep + "/foundation_tests";
    const std::string report = base + "/report";
    ASSERT_EQ(tmtest::shell("cp '" + std::string(target) + "' '" + copy + "'"), 0);
    ASSERT_EQ(tmtest::shell("TM_OWN_PATH_REPORT='" + report + "' '" + copy +
                            "' --gtest_filter=FilePathOwn.OwnExecutablePath >/dev/null 2>&1"),
              0);
    std::ifstream in(report);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, "[]");  // cut paths are refused, never read past the buffer
    std::system(("rm -rf " + base).c_str());
}
