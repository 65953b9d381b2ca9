// Fills HostSetting from the command line and from the key lookups of the
// settings file, by the rules of each key.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/HostSetting.h"

class HostSettingReader {
public:
    // Value of a key, or "" when the key (or the file) is missing.
    using Lookup = std::function<std::string(const std::string& key)>;

    // Argument 1: settings path (empty counts as absent); argument 2: host
    // name; with four or more arguments, "debug" from argument 3 on sets
    // debugFlag. Without a path, `ownDirectory` + the default file name.
    static void readCommandLine(int argc, const char* const* argv, const std::string& ownDirectory,
                                HostSetting& setting);
    // The logging switch: `loaded` tells whether the settings file was read;
    // `debugValue` is its "Debug" key.
    static void decideLogging(bool loaded, const std::string& debugValue, HostSetting& setting);
    // Every key in its order, each with its own rule; an empty value keeps the default.
    static void readKeys(const Lookup& get, HostSetting& setting);

    // Decimal conversion as strtol (leading white space and a sign, trailing
    // text ignored, no digits give 0), truncated to signed 32 bits.
    static std::int32_t toInt32(const std::string& text);
    // A CPU number: the text "0" gives 0, a value above 0 gives itself, else -1.
    static std::int32_t toCpu(const std::string& text);
};
