// The host's settings: command line and settings file, filled once at
// start-up on the main thread and read-only afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Clock.h"

struct HostSetting {
    // Default settings file name, looked for next to the executable.
    static constexpr const char* FileName = "tolvenmarkhost_setting.inf";

    std::string settingPath;
    std::string hostName;
    bool debugFlag = false;   // "debug" on the command line
    bool logOn = false;       // logging at all
    bool logVerbose = false;  // level 7 instead of 6
    bool logConsole = false;  // console copy of every log line

    ORVEX::Clock cycleTime = ORVEX::Clock::fromMicroseconds(1000);
    ORVEX::Clock cycleMinTime;
    ORVEX::Clock targetProfileLimitTime;  // 0: automatic profile off
    std::int32_t thredMode = 1;           // ZARNITH::Sync::THRED_MODE flags (CRITICAL)
    ORVEX::Clock infoCycle = ORVEX::Clock::fromMicroseconds(100000);
    bool flexCycle = false;
    bool flexRandom = false;
    std::uint16_t interfaceIndex = 0;  // 0: every interface
    ORVEX::Clock latencyBuffer;
    std::int32_t cpuSend = -1;
    std::int32_t cpuOtherFirst = -1;
    std::int32_t cpuOtherCount = -1;
};
