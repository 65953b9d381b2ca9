#include "foundation/FileInf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "foundation/FileBuffer.h"

using ORVEX::FileBuffer;
using ORVEX::FileInf;

namespace {

class FileInfTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tm_fileinf_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string file(const std::string& content, const std::string& name = "settings.inf") {
        const std::string path = dir + "/" + name;
        FileBuffer b;
        b.write(content.data(), content.size());
        EXPECT_TRUE(b.save(path));
        return path;
    }
    std::string dir;
};

// Parses one text with set_string and reads one key of "global".
std::string valueOf(const std::string& text, const std::string& key) {
    FileInf inf;
    inf.set_string(text);
    return inf.get(key);
}

// Parses lines with a continuation character and reads List from "global".
std::string joined(const std::list<std::string>& lines, char join) {
    FileInf inf;
    inf.load(lines, join);
    return inf.get("List");
}

}  // namespace

TEST_F(FileInfTest, FlatFileWithoutGroupLineGoesToGlobal) {
    FileInf inf;
    ASSERT_TRUE(inf.load(file("Key=5\r\n"), 0));
    EXPECT_EQ(inf.get("Key"), "5");
    EXPECT_EQ(inf.get64("Key"), 5);
    EXPECT_EQ(inf.get("Other"), "");
    EXPECT_EQ(inf.get_loaded_path(), dir + "/settings.inf");

    FileInf empty;
    ASSERT_TRUE(empty.load(file("", "empty.inf"), 0));
    EXPECT_EQ(empty.get("Key"), "");

    FileInf missing;
    EXPECT_FALSE(missing.load(dir + "/missing.inf", 0));
    EXPECT_FALSE(missing.load(dir, 0));  // a directory is not a settings file
    EXPECT_EQ(missing.get_loaded_path(), "");
}

TEST_F(FileInfTest, ControlBytesRejectTheWholeFileAndByteOrderMarkIsSkipped) {
    FileInf inf;
    ASSERT_TRUE(inf.load(file("A=1\n", "first.inf"), 0));
    const std::string tabbed = file("B=2\nC=x\ty\n", "tab.inf");
    EXPECT_FALSE(inf.load(tabbed, 0));  // TAB with join 0: nothing is parsed
    EXPECT_EQ(inf.get("A"), "1");
    EXPECT_EQ(inf.get("B"), "");
    EXPECT_EQ(inf.get_loaded_path(), dir + "/first.inf");

    EXPECT_FALSE(inf.load(file(std::string("B=2\nD=\x01\n"), "ctl.inf"), ','));  // other control bytes never pass
    EXPECT_EQ(inf.get("B"), "");

    ASSERT_TRUE(inf.load(tabbed, ','));  // with a continuation character TAB is text
    EXPECT_EQ(inf.get("C"), "x\ty");
    EXPECT_EQ(inf.get("B"), "2");
    EXPECT_EQ(inf.get("A"), "1");  // loads merge

    FileInf bom;
    ASSERT_TRUE(bom.load(file("\xEF\xBB\xBFKey=7\rNext=8", "bom.inf"), 0));
    EXPECT_EQ(bom.get("Key"), "7");
    EXPECT_EQ(bom.get("Next"), "8");
}

TEST(FileInf, LineRules) {
    struct Case {
        const char* text;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"  Key  =  a b  ", "Key", "a b"},  // spaces only; the inner one stays
        {"Key\t=1", "Key\t", "1"},           // TAB is no blank (and set_string accepts it)
        {"a=1=2", "a", "1=2"},
        {"Key=1 ;x", "Key", "1 ;x"},         // no comments after a value
        {"=x", "", ""},
        {"; Key=1", "Key", ""},
        {"# Key=1", "Key", ""},
        {"   // Key=1", "Key", ""},
        {"/Key=1", "/Key", "1"},             // a single slash starts no comment
        {"Key=1\nKey=2", "Key", "2"},        // the later value wins
        {"Key=   ", "Key", "   "},           // a value of spaces only is kept
        {"K =  x\n[a]=1\nK=y", "K", "y"},    // [a]=1 is a rejected group line
        {"[a]=1\nZ=1", "Z", "1"},            // ... which leaves the parse group alone
    };
    for (const Case& c : cases) EXPECT_EQ(valueOf(c.text, c.key), c.value) << c.text;

    FileInf inf;
    inf.set_string("Key=\n=x\n");
    EXPECT_EQ(inf.get_group_string("global"), "Key=");  // the unit exists, empty
    std::string out;
    inf.get_string(out);
    EXPECT_EQ(out, "[global]\r\n\r\n");  // but is not written
}

TEST(FileInf, GroupLines) {
    FileInf inf;
    inf.set_string(
        "top=0\n"
        "[ net.a ]  \n"
        "k=1\n"
        "[a=b]\n"
        "k=2\n"
        "[a]b]\n"
        "k=3\n"
        "[   ]\n"
        "k=4\n"
        "[]\n"
        "k=5\n"
        "[x\n"
        "k2=6\n"
        "[unused]\n");
    EXPECT_EQ(inf.get_group_string("net.a"), "k=1");
    EXPECT_EQ(inf.get_group_string("a=b"), "k=2");
    EXPECT_EQ(inf.get_group_string("a]b"), "k=3");
    EXPECT_EQ(inf.get_group_string("   "), "k=4");  // three spaces, not global
    EXPECT_EQ(inf.get_group_string("global"), "k=5\nk2=6\ntop=0");  // [] and the rejected [x keep global
    EXPECT_EQ(inf.get_group_string("unused"), "");
    std::string out;
    inf.get_string(out);
    EXPECT_EQ(out.find("[unused]"), std::string::npos);  // a header without keys leaves no trace
}

TEST(FileInf, ContinuationLines) {
    struct Case {
        std::list<std::string> lines;
        char join;
        const char* value;
    };
    const Case cases[] = {
        {{"List=a", "b"}, ',', "a,b"},
        {{"List=a,", ",b"}, ',', "a,b"},
        {{"List=a,", "b"}, ',', "a,b"},
        {{"List=a", ",b"}, ',', "a,b"},
        {{"List=", "b"}, ',', "b"},
        {{"List=a", "  b  c  ", "d"}, ',', "a,b  c,d"},
        {{"List=a", "b"}, ' ', "ab"},
        {{"List=a", "b"}, 0, "a"},
        {{"List=a", "; note", "b"}, ',', "a,b"},  // comments and empty lines do not break it
        {{"List=a", "   ", "b"}, ',', "a,   ,b"},
        {{"List=a", "[x", "b"}, ',', "a"},       // a group line ends it, even a rejected one
        {{"List=a", "[g]", "b", "List=c"}, ',', "a"},
        {{"List=a", "=x", "b"}, ',', "a,b"},     // an empty key keeps the target
        {{"b", "List=a"}, ',', "a"},             // nothing to continue yet
    };
    for (const Case& c : cases) EXPECT_EQ(joined(c.lines, c.join), c.value) << c.lines.front() << " join " << int(c.join);
}

TEST(FileInf, DottedGroupsReplaceTheirBaseGroup) {
    FileInf inf;
    inf.set_string("[net]\na=1\nb=2\n[net.x]\na=9\n");
    inf.set_current_group("net.x");
    EXPECT_EQ(inf.get("a"), "9");
    EXPECT_EQ(inf.get("b"), "");  // the base group is not consulted
    inf.set_current_group("net.y");
    EXPECT_EQ(inf.get("b"), "2");  // dotted group absent: the base group serves
    inf.set_current_group("net");
    EXPECT_EQ(inf.get("a"), "1");
    inf.set_current_group("");
    EXPECT_EQ(inf.get_current_group(), "global");
    EXPECT_EQ(inf.get("a"), "");
    inf.set_current_group("none.net");
    EXPECT_EQ(inf.get("a"), "");
}

TEST(FileInf, SetIsSeenOnlyAfterTheGroupIsSelectedAgain) {
    FileInf fresh;
    fresh.set("k", "v");
    EXPECT_EQ(fresh.get("k"), "");
    fresh.set_current_group("global");
    EXPECT_EQ(fresh.get("k"), "v");
    fresh.set("k", "w");  // the group is selected now: seen at once
    EXPECT_EQ(fresh.get("k"), "w");

    FileInf inf;
    inf.set_string("[net]\na=1\n");
    inf.set_current_group("net.x");
    EXPECT_EQ(inf.get("a"), "1");
    inf.set("b", "2");
    EXPECT_EQ(inf.get("b"), "");
    inf.set_current_group("net.x");
    EXPECT_EQ(inf.get_group_string("net.x"), "b=2");
    EXPECT_EQ(inf.get("b"), "2");
    EXPECT_EQ(inf.get("a"), "");
}

TEST(FileInf, NumbersAndOrder) {
    FileInf inf;
    inf.set64("n", 18446744073709551615ULL);
    inf.set_current_group("global");
    EXPECT_EQ(inf.get("n"), "18446744073709551615");
    EXPECT_EQ(inf.get64("n"), INT64_MAX);
    inf.set64("z", 0);
    EXPECT_EQ(inf.get("z"), "0");
    struct Case {
        const char* text;
        std::int64_t value;
    };
    const Case cases[] = {
        {"  -42x", -42}, {"+7", 7}, {"x7", 0}, {"", 0}, {"-99999999999999999999", INT64_MIN},
    };
    for (const Case& c : cases) {
        inf.set("v", c.text);
        EXPECT_EQ(inf.get64("v"), c.value) << c.text;
    }
}

TEST_F(FileInfTest, WritingAndReadingBack) {
    FileInf inf;
    inf.set_current_group("b");
    inf.set("y", "2");
    inf.set("x", "");
    inf.set_current_group("a");
    inf.set("k", "v");
    std::string out;
    inf.get_string(out);
    EXPECT_EQ(out, "[a]\r\nk=v\r\n\r\n[b]\r\ny=2\r\n\r\n");
    EXPECT_EQ(inf.get_group_string("b"), "x=\ny=2");

    const std::string path = dir + "/saved.inf";
    ASSERT_TRUE(inf.save(path));
    FileInf back;
    back.set_current_group("b");
    ASSERT_TRUE(back.load(path, 0));
    EXPECT_EQ(back.get("y"), "2");
    EXPECT_EQ(back.get_group_string("b"), "y=2");  // the empty value is gone
    EXPECT_FALSE(inf.save(dir + "/no/dir/x.inf"));

    FileInf none;
    none.get_string(out);
    EXPECT_EQ(out, "");
}

TEST(FileInf, CopiesKeepTheirOwnSelection) {
    FileInf source;
    source.set_string("[net]\na=1\n[other]\na=2\n");
    source.set_current_group("net");

    FileInf copied(source);
    EXPECT_EQ(copied.get("a"), "1");
    EXPECT_EQ(copied.get_loaded_path(), "");

    FileInf target("other");
    target.copy_data(source);  // own group stays
    EXPECT_EQ(target.get_current_group(), "other");
    EXPECT_EQ(target.get("a"), "2");
    target = source;  // takes the other's group
    EXPECT_EQ(target.get_current_group(), "net");
    EXPECT_EQ(target.get("a"), "1");
    const FileInf& same = target;
    target = same;  // self-assignment keeps the data
    EXPECT_EQ(target.get("a"), "1");

    // The copy is independent: its selection points into its own groups.
    source.clear_data();
    EXPECT_EQ(source.get("a"), "");
    EXPECT_EQ(copied.get("a"), "1");
    EXPECT_EQ(source.get_current_group(), "net");
    source.set_string("[net]\na=3\n");
    EXPECT_EQ(source.get("a"), "3");
}

TEST(FileInf, SpaceTrimHelpers) {
    struct Case {
        const char* in;
        const char* front;
        const char* back;
    };
    const Case cases[] = {
        {"  a b  ", "a b  ", "  a b"}, {"   ", "   ", "   "}, {"", "", ""}, {"\ta\t", "\ta\t", "\ta\t"},
    };
    for (const Case& c : cases) {
        std::string f = c.in, b = c.in;
        FileInf::delete_space_front(f);
        FileInf::delete_space_back(b);
        EXPECT_EQ(f, c.front);
        EXPECT_EQ(b, c.back);
    }
}
