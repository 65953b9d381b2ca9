// The remotely configurable units an endpoint offers (sink and target
// settings alike): the unit kinds and the description of one unit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZARNITH {

struct ConfigUnits {
    enum UnitKind : std::uint16_t {
        UNIT_NUMBER = 1,
        UNIT_SIGNED = 2,
        UNIT_SWITCH = 3,
        UNIT_TEXT = 4,
        UNIT_CHOICE = 5,
        UNIT_CHOICE_FIXED = 6,
        UNIT_VALUE = 7,
    };
    // One remotely configurable unit (numbered from 1 on the wire).
    struct _Unit {
        std::uint16_t kind = 0;
        std::string name;
        std::string defaultText;  // restored by set-default; empty: derived from defaultValue
        std::uint16_t min = 0;
        std::uint16_t max = 0;
        std::uint16_t defaultValue = 0;
        std::vector<std::string> choices;  // texts of choice units (index = value)
    };
};

}  // namespace ZARNITH
