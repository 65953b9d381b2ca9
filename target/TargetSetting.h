// Configuration record of a target endpoint, copied into the target at
// construction (Target::Setting).
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "protocol/ConfigUnit.h"
#include "protocol/Icon.h"

namespace ZARNITH {

struct TargetSetting {
    // One port the target offers itself (a fixed entry of its port tables).
    struct RegistSt {
        std::uint16_t port = 0;  // host byte order
        std::uint16_t id = 0;    // key in its port table
        std::string name;
        std::uint8_t sel = 0;    // 1: finders ask for the id in option0, 0: in option1
        std::uint16_t type = 0;  // 1, 2 or 4; other types are ignored
    };

    using _Config = ConfigUnits;  // unit kinds and one unit's description

    // Geometry of one transfer slot, each value minus one.
    using SlotInfo = std::array<std::uint16_t, 3>;  // bytes per packet, packets per block, blocks

    std::uint64_t productId = ~std::uint64_t{0};  // 64-bit option of DISCOVER_ANS
    std::uint16_t typeMask = 0;                   // PORT_ANS option2 for type-0 table queries
    std::string name;                             // DISCOVER_ANS payload
    std::string outputText;                       // OUTPUTNAME_ANS payload
    std::string fwVersion;                        // FWVERSION_ANS payload
    std::string fwURL;                            // FWURL_ANS payload
    std::uint8_t rebootAllowed = 0;               // REBOOT_REQ is accepted
    std::uint8_t syslogRelay = 0;                 // local log datagrams also go to [::1]:514
    std::string info0;                            // INFORMATION_ANS sub-request 0
    std::vector<std::string> infoList1;           // INFORMATION_ANS pages of sub-request 1
    std::vector<std::string> infoList5;           // INFORMATION_ANS pages of sub-request 5
    std::string info4;                            // INFORMATION_ANS sub-request 4
    std::uint8_t loopbackAllowed = 0;             // DISCOVER from ::1 is answered; open(-1) may use ::1
    std::uint8_t synchro = 0;                     // SYNCHRO samples are taken; real-time worker
    std::list<RegistSt> ports;                    // fixed entries of the port tables
    std::uint16_t transferWindow = 0xFFFF;        // TRANSFERINFO_ANS option1 (0xFFFF: no limit)
    std::uint16_t transferSlots = 0;              // number of transfer slots
    std::vector<SlotInfo> transferSlotInfo;       // geometry of slot n at entry n - 1
    std::vector<_Config::_Unit> units;            // unit number = index + 1
    std::array<Icon, 8> icons = defaultIcons();   // icons 1 to 8

    static std::array<Icon, 8> defaultIcons() {
        std::array<Icon, 8> out{};
        for (std::size_t i = 0; i < out.size(); ++i) out[i].kind = (i % 4) >= 2 ? 1 : 0;
        return out;
    }
};

}  // namespace ZARNITH
