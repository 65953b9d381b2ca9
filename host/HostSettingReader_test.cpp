#include "host/HostSettingReader.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t Us = 1000000;  // picoseconds per microsecond

HostSetting readWith(const std::map<std::string, std::string>& keys) {
    HostSetting s;
    HostSettingReader::readKeys(
        [&](const std::string& key) {
            auto it = keys.find(key);
            return it == keys.end() ? std::string() : it->second;
        },
        s);
    return s;
}

TEST(HostSettingReader, DefaultsWhenNoKeyIsPresent) {
    const HostSetting s = readWith({});
    EXPECT_EQ(s.hostName, "");
    EXPECT_EQ(s.cycleTime.picoseconds(), 1000 * Us);
    EXPECT_EQ(s.cycleMinTime.picoseconds(), 0u);
    EXPECT_EQ(s.targetProfileLimitTime.picoseconds(), 0u);
    EXPECT_EQ(s.thredMode, 1);
    EXPECT_EQ(s.infoCycle.picoseconds(), 100000 * Us);
    EXPECT_FALSE(s.flexCycle);
    EXPECT_FALSE(s.flexRandom);
    EXPECT_EQ(s.interfaceIndex, 0);
    EXPECT_EQ(s.latencyBuffer.picoseconds(), 0u);
    EXPECT_EQ(s.cpuSend, -1);
    EXPECT_EQ(s.cpuOtherFirst, -1);
    EXPECT_EQ(s.cpuOtherCount, -1);
}

// One key, its text, and the field it must give (read back as a number).
struct KeyCase {
    const char* key;
    const char* value;
    std::int64_t (*field)(const HostSetting&);
    std::int64_t expected;
};

std::int64_t cycle(const HostSetting& s) { return static_cast<std::int64_t>(s.cycleTime.picoseconds()); }
std::int64_t cycleMin(const HostSetting& s) { return static_cast<std::int64_t>(s.cycleMinTime.picoseconds()); }
std::int64_t limit(const HostSetting& s) { return static_cast<std::int64_t>(s.targetProfileLimitTime.picoseconds()); }
std::int64_t mode(const HostSetting& s) { return s.thredMode; }
std::int64_t info(const HostSetting& s) { return static_cast<std::int64_t>(s.infoCycle.picoseconds()); }
std::int64_t flex(const HostSetting& s) { return (s.flexCycle ? 1 : 0) + (s.flexRandom ? 2 : 0); }
std::int64_t iface(const HostSetting& s) { return s.interfaceIndex; }
std::int64_t latency(const HostSetting& s) { return static_cast<std::int64_t>(s.latencyBuffer.picoseconds()); }
std::int64_t cpuSend(const HostSetting& s) { return s.cpuSend; }
std::int64_t otherFirst(const HostSetting& s) { return s.cpuOtherFirst; }
std::int64_t otherCount(const HostSetting& s) { return s.cpuOtherCount; }

TEST(HostSettingReader, EveryKeyByItsRule) {
    const std::int64_t us = static_cast<std::int64_t>(Us);
    const std::vector<KeyCase> cases = {
        {"CycleTime", "2000", cycle, 2000 * us},
        {"CycleTime", "0", cycle, 1000 * us},        // 0 keeps the default
        {"CycleTime", "-5", cycle, 1000 * us},       // a negative time keeps the default
        {"CycleTime", "  250us", cycle, 250 * us},   // leading blanks, trailing text ignored
        {"CycleTime", "abc", cycle, 1000 * us},      // no digits read as 0
        {"CycleTime", "4294968296", cycle, 1000 * us},  // truncated to 32 bits: 1000
        {"CycleMinTime", "0", cycleMin, 0},
        {"CycleMinTime", "300", cycleMin, 300 * us},
        {"CycleMinTime", "-300", cycleMin, 0},       // negative keeps the default
        {"TargetProfileLimitTime", "100", limit, 0},  // 1 to 100 leave it off
        {"TargetProfileLimitTime", "101", limit, 101 * us},
        {"TargetProfileLimitTime", "-200", limit, 0},
        {"ThredMode", "0", mode, 0},
        {"ThredMode", "18", mode, 18},
        {"ThredMode", "-1", mode, 1},
        {"ThredMode", "0x10", mode, 0},              // decimal only: reads 0
        {"InfoCycle", "0", info, 0},
        {"InfoCycle", "5000", info, 5000 * us},
        {"InfoCycle", "-1", info, 100000 * us},      // negative keeps the default
        {"FlexCycle", "enable", flex, 1},
        {"FlexCycle", "random", flex, 3},
        {"FlexCycle", "Random", flex, 0},            // case-sensitive
        {"FlexCycle", "Enable", flex, 0},
        {"Interface", "3", iface, 3},
        {"Interface", "65539", iface, 3},            // truncated to 16 bits
        {"Interface", "-2", iface, 0},
        {"LatencyBuffer", "1500", latency, 1500 * us},
        {"LatencyBuffer", "0", latency, 0},
        {"LatencyBuffer", "-1", latency, 0},
        {"CpuSend", "0", cpuSend, 0},
        {"CpuSend", "00", cpuSend, -1},              // only the exact text "0" selects CPU 0
        {"CpuSend", "3", cpuSend, 3},
        {"CpuSend", "-3", cpuSend, -1},
        {"CpuSend", "x", cpuSend, -1},
        {"CpuOther", "0", otherFirst, 0},
        {"CpuOther", "0", otherCount, 1},
        {"CpuOther", "3", otherFirst, 3},
        {"CpuOther", "3", otherCount, 1},
        {"CpuOther", "-7", otherFirst, -1},
        {"CpuOther", "-7", otherCount, 9},           // last 7 minus first -1, plus one
        {"CpuOther", "x", otherCount, -1},
        {"CpuOther", "2-5", otherFirst, 2},
        {"CpuOther", "2-5", otherCount, 4},
        {"CpuOther", "0-0", otherFirst, 0},
        {"CpuOther", "0-0", otherCount, 1},
        {"CpuOther", "2-0", otherCount, -1},
        {"CpuOther", "5-2", otherCount, -2},         // not compared with the first CPU
        {"CpuOther", "3-", otherCount, -1},
        {"CpuOther", "a-4", otherFirst, -1},
        {"CpuOther", "a-4", otherCount, 6},
    };
    for (const KeyCase& c : cases) {
        const HostSetting s = readWith({{c.key, c.value}});
        EXPECT_EQ(c.field(s), c.expected) << c.key << " = \"" << c.value << "\"";
    }
}

TEST(HostSettingReader, HostNameFromFileOverridesCommandLineUnlessEmpty) {
    HostSetting s;
    s.hostName = "fromArgs";
    HostSettingReader::readKeys([](const std::string& k) { return k == "HostName" ? "fromFile" : ""; }, s);
    EXPECT_EQ(s.hostName, "fromFile");
    HostSetting t;
    t.hostName = "fromArgs";
    HostSettingReader::readKeys([](const std::string&) { return std::string(); }, t);
    EXPECT_EQ(t.hostName, "fromArgs");
}

TEST(HostSettingReader, CommandLine) {
    struct Case {
        std::vector<const char*> argv;
        const char* path;
        const char* host;
        bool debug;
    };
    const std::vector<Case> cases = {
        {{"prog"}, "/dir/tolvenmarkhost_setting.inf", "", false},
        {{"prog", ""}, "/dir/tolvenmarkhost_setting.inf", "", false},  // empty path is absent
        {{"prog", "a.inf"}, "a.inf", "", false},
        {{"prog", "a.inf", "debug"}, "a.inf", "debug", false},          // second place: a host name
        {{"prog", "a.inf", "name", "debug"}, "a.inf", "name", true},
        {{"prog", "", "name", "x", "debug"}, "/dir/tolvenmarkhost_setting.inf", "name", true},
        {{"prog", "a.inf", "name", "Debug"}, "a.inf", "name", false},
    };
    for (const Case& c : cases) {
        HostSetting s;
        HostSettingReader::readCommandLine(static_cast<int>(c.argv.size()), c.argv.data(), "/dir/", s);
        EXPECT_EQ(s.settingPath, c.path);
        EXPECT_EQ(s.hostName, c.host);
        EXPECT_EQ(s.debugFlag, c.debug) << c.argv.size();
    }
}

TEST(HostSettingReader, LoggingSwitch) {
    struct Case {
        bool loaded;
        const char* debugKey;
        bool debugArg;
        bool on, verbose, console;
    };
    const std::vector<Case> cases = {
        {false, "", false, false, false, false},
        {false, "enable", false, false, false, false},  // no file: the key is not there
        {false, "", true, true, true, true},
        {true, "", false, false, false, false},
        {true, "enable", false, true, false, false},
        {true, "enable", true, true, true, true},
        {true, "debug", false, true, true, false},
        {true, "debug", true, true, true, true},
        {true, "stdout", false, true, false, true},
        {true, "stdout", true, true, true, true},
        {true, "Enable", false, false, false, false},
        {true, "other", true, true, true, true},
    };
    for (const Case& c : cases) {
        HostSetting s;
        s.debugFlag = c.debugArg;
        HostSettingReader::decideLogging(c.loaded, c.debugKey, s);
        EXPECT_EQ(s.logOn, c.on) << c.debugKey << " " << c.loaded << c.debugArg;
        EXPECT_EQ(s.logVerbose, c.verbose) << c.debugKey << " " << c.loaded << c.debugArg;
        EXPECT_EQ(s.logConsole, c.console) << c.debugKey << " " << c.loaded << c.debugArg;
    }
}

}  // namespace

#include "foundation/FileInf.h"
#include "tests/support/TestSupport.h"

namespace {

// The sample settings file lists every key, and each value it shows is the default.
TEST(HostSettingReader, SampleFileListsEveryKeyWithItsDefault) {
    ORVEX::FileInf file;
    ASSERT_TRUE(file.load(tmtest::sourcePath("host/tolvenmarkhost_setting.inf"), 0));
    const std::string text = file.get_group_string("global");
    for (const char* key : {"HostName", "Debug", "CycleTime", "CycleMinTime", "TargetProfileLimitTime", "ThredMode",
                            "InfoCycle", "FlexCycle", "Interface", "LatencyBuffer", "CpuSend", "CpuOther"})
        EXPECT_NE(text.find(std::string(key) + "="), std::string::npos) << key;

    HostSetting read;
    HostSettingReader::decideLogging(true, file.get("Debug"), read);
    HostSettingReader::readKeys([&file](const std::string& key) { return file.get(key); }, read);
    const HostSetting defaults;
    EXPECT_FALSE(read.logOn);
    EXPECT_EQ(read.hostName, defaults.hostName);
    EXPECT_EQ(read.cycleTime, defaults.cycleTime);
    EXPECT_EQ(read.cycleMinTime, defaults.cycleMinTime);
    EXPECT_EQ(read.targetProfileLimitTime, defaults.targetProfileLimitTime);
    EXPECT_EQ(read.thredMode, defaults.thredMode);
    EXPECT_EQ(read.infoCycle, defaults.infoCycle);
    EXPECT_EQ(read.flexCycle, defaults.flexCycle);
    EXPECT_EQ(read.flexRandom, defaults.flexRandom);
    EXPECT_EQ(read.interfaceIndex, defaults.interfaceIndex);
    EXPECT_EQ(read.latencyBuffer, defaults.latencyBuffer);
    EXPECT_EQ(read.cpuSend, defaults.cpuSend);
    EXPECT_EQ(read.cpuOtherFirst, defaults.cpuOtherFirst);
    EXPECT_EQ(read.cpuOtherCount, defaults.cpuOtherCount);
}

}  // namespace
