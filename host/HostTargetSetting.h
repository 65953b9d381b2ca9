// The setting of the target endpoint that announces the host: product id 0,
// port types 1 and 4, the host's name, answers over loopback, and one port
// entry, the controller TCP port ("KX1", id 1, table selector 1, type 4).
#pragma once

#include <cstdint>
#include <string>

#include "target/TargetSetting.h"

class HostTargetSetting {
public:
    static constexpr const char* DefaultName = "TolvenmarkHost";
    static constexpr const char* ControllerPortName = "KX1";
    static constexpr std::uint16_t ControllerPortId = 1;
    static constexpr std::uint16_t ControllerPortType = 4;
    static constexpr std::uint16_t TypeMask = 5;  // port types 1 and 4

    // `controllerPort` in host byte order; an empty `hostName` gives the default name.
    static ZARNITH::TargetSetting make(const std::string& hostName, std::uint16_t controllerPort);
};
