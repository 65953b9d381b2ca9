#include "sink/SinkSetting.h"

namespace ZARNITH {

SinkSetting SinkSetting::gen() const {
    SinkSetting out = *this;
    if (!synchro) return out;
    auto append = [&out](std::uint16_t kind, const char* name, std::uint16_t min, std::uint16_t max,
                         std::uint16_t defaultValue) -> _Config::_Unit& {
        out.configUnits.emplace_back();
        _Config::_Unit& unit = out.configUnits.back();
        unit.kind = kind;
        unit.name = name;
        unit.min = min;
        unit.max = max;
        unit.defaultValue = defaultValue;
        return unit;
    };
    append(_Config::UNIT_NUMBER, "SynchroTotal", 2, 16, 2);
    append(_Config::UNIT_CHOICE, "SynchroAll", 0, 0, 1).choices = {"1ch", "2ch", "4ch", "6ch", "8ch", "16ch"};
    append(_Config::UNIT_VALUE, "SynchroSelf", 1, 65534, 1);
    append(_Config::UNIT_TEXT, "SynchroName", 0, 0, 0);
    return out;
}

SinkSetting SinkSetting::recorder() {
    SinkSetting setting;
    setting.portId = 1;
    setting.mtu = 1500;
    setting.dataMax = 0xFFFF;
    setting.profileFlags = 44;
    setting.cycleMin = 333;
    setting.cycleMax = 1000;
    setting.name = "Recoder";
    return setting;
}

}  // namespace ZARNITH
