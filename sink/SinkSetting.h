// Configuration record of a sink endpoint, copied into the sink at
// construction (Sink::Setting).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/ConfigUnit.h"
#include "protocol/Icon.h"

namespace ZARNITH {

struct SinkSetting {
    using _Config = ConfigUnits;  // unit kinds and one unit's description

    std::uint16_t portId = 0;        // logical port; default ports 19642/19643 + 2 x portId
    std::uint16_t mtu = 0;           // receive size of every socket of the sink
    std::uint16_t dataMax = 0;       // DATASIZE_ANS option1; 0xFFFF no limit
    std::uint16_t profileFlags = 0;  // PARAMETER_ANS option2
    std::uint16_t cycleMin = 0;      // shortest cycle, 10 us units
    std::uint16_t cycleMax = 0;      // longest cycle, 10 us units
    std::string name;                // port name sent with every registration
    std::uint8_t phaseControl = 0;   // the sink offers phase control
    std::uint8_t phaseInvert = 0;    // initial phase inverted
    std::uint8_t synchro = 0;        // gen() appends the four synchro units
    std::string synchroName;
    std::uint16_t synchroCrc = 0;
    std::uint16_t synchroAll = 0;
    std::uint16_t synchroSelf = 0;
    std::uint16_t synchroTotal = 0;
    std::vector<_Config::_Unit> configUnits;  // unit number = index + 1
    std::array<Icon, 4> icons = defaultIcons();  // icons 1 to 4; kinds 0, 0, 1, 1

    static std::array<Icon, 4> defaultIcons() {
        std::array<Icon, 4> out{};
        out[2].kind = 1;
        out[3].kind = 1;
        return out;
    }

    // A member-wise copy; with `synchro` the four synchro units are appended.
    SinkSetting gen() const;

    // The host's recorder sink: port id 1 (control 19644, stream 19645), MTU
    // 1500, no data limit, profile flags 44, cycles 3.33 to 10 ms, named
    // "Recoder". It lives here, below the host, so that the sink's own tests
    // and the test tools can stand up a sink like it.
    static SinkSetting recorder();
};

}  // namespace ZARNITH
