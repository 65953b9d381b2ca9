#include "host/HostSettingReader.h"

#include <cstdlib>

namespace {

// A time key holds microseconds; negative values would wrap into huge
// picosecond counts, so only values of 0 or more are taken.
bool toTime(std::int32_t microseconds, ORVEX::Clock& out) {
    if (microseconds < 0) return false;
    out = ORVEX::Clock::fromMicroseconds(static_cast<std::uint64_t>(microseconds));
    return true;
}

}  // namespace

std::int32_t HostSettingReader::toInt32(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(v)));
}

std::int32_t HostSettingReader::toCpu(const std::string& text) {
    if (text == "0") return 0;
    std::int32_t v = toInt32(text);
    return v > 0 ? v : -1;
}

void HostSettingReader::readCommandLine(int argc, const char* const* argv,
                                        const std::string& ownDirectory, HostSetting& setting) {
    if (argc >= 2 && argv[1] != nullptr && argv[1][0] != '\0') setting.settingPath = argv[1];
    if (argc >= 3 && argv[2] != nullptr) setting.hostName = argv[2];
    setting.debugFlag = false;
    if (argc >= 4) {
        for (int i = 3; i < argc; ++i)
            if (argv[i] != nullptr && std::string(argv[i]) == "debug") setting.debugFlag = true;
    }
    if (setting.settingPath.empty()) setting.settingPath = ownDirectory + HostSetting::FileName;
}

void HostSettingReader::decideLogging(bool loaded, const std::string& debugValue, HostSetting& setting) {
    const bool d = setting.debugFlag;
    setting.logOn = d;
    setting.logVerbose = d;
    setting.logConsole = d;
    if (!loaded) return;
    if (debugValue == "enable") {
        setting.logOn = true;
    } else if (debugValue == "debug") {
        setting.logOn = true;
        setting.logVerbose = true;
    } else if (debugValue == "stdout") {
        setting.logOn = true;
        setting.logConsole = true;
    }
}

void HostSettingReader::readKeys(const Lookup& get, HostSetting& setting) {
    std::string text;

    text = get("HostName");
    if (!text.empty()) setting.hostName = text;

    text = get("CycleTime");
    if (!text.empty()) {
        // 0 keeps the default; a negative time keeps it too.
        const std::int32_t v = toInt32(text);
        if (v != 0) (void)toTime(v, setting.cycleTime);
    }

    text = get("CycleMinTime");
    if (!text.empty()) (void)toTime(toInt32(text), setting.cycleMinTime);

    text = get("TargetProfileLimitTime");
    if (!text.empty()) {
        const std::int32_t v = toInt32(text);
        if (v > 100) (void)toTime(v, setting.targetProfileLimitTime);
    }

    text = get("ThredMode");
    if (!text.empty()) {
        const std::int32_t v = toInt32(text);
        if (v >= 0) setting.thredMode = v;
    }

    text = get("InfoCycle");
    if (!text.empty()) (void)toTime(toInt32(text), setting.infoCycle);

    text = get("FlexCycle");
    if (!text.empty()) {
        setting.flexCycle = false;
        setting.flexRandom = false;
        if (text == "enable") {
            setting.flexCycle = true;
        } else if (text == "random") {
            setting.flexCycle = true;
            setting.flexRandom = true;
        }
    }

    text = get("Interface");
    if (!text.empty()) {
        const std::int32_t v = toInt32(text);
        if (v >= 0) setting.interfaceIndex = static_cast<std::uint16_t>(v);
    }

    text = get("LatencyBuffer");
    if (!text.empty()) (void)toTime(toInt32(text), setting.latencyBuffer);

    text = get("CpuSend");
    if (!text.empty()) setting.cpuSend = toCpu(text);

    text = get("CpuOther");
    if (!text.empty()) {
        const std::string::size_type dash = text.find('-');
        if (dash == std::string::npos) {
            setting.cpuOtherFirst = toCpu(text);
            setting.cpuOtherCount = setting.cpuOtherFirst == -1 ? -1 : 1;
        } else {
            const std::string firstText = text.substr(0, dash);
            const std::string lastText = text.substr(dash + 1);
            setting.cpuOtherFirst = toCpu(firstText);
            const std::int32_t last = toCpu(lastText);
            setting.cpuOtherCount =
                last == -1 ? -1
                           : static_cast<std::int32_t>(static_cast<std::int64_t>(last) -
                                                       setting.cpuOtherFirst + 1);
        }
    }
}
