#include "sink/SinkUnitAnswer.h"

#include <algorithm>

#include "foundation/SysLog.h"
#include "sink/AnswerPayload.h"

namespace ZARNITH {

void SinkUnitAnswer::build(const std::vector<Unit>& units, const Receive& request, SendBuffer& answer) {
    const std::uint16_t u = request.getOption0();
    const std::uint16_t o1 = request.getOption1();
    if (u == 0) {
        // Units past 65535 cannot be addressed; the count says so.
        const auto n = static_cast<std::uint16_t>(std::min<std::size_t>(units.size(), 0xFFFF));
        answer.set(SINKUNIT_ANS, STATUS_ACCEPT, n, o1, 0, 0);
        return;
    }
    if (u > units.size()) {
        ORVEX::SysLog::LEVEL_INFO << "SINKUNIT no unit " << static_cast<unsigned>(u);
        answer.set(SINKUNIT_ANS, STATUS_NONE, u, o1, 0, 0);
        return;
    }
    const Unit& unit = units[u - 1u];
    std::uint16_t low = unit.min;
    std::uint16_t high = unit.max;
    if (!unit.choices.empty()) {
        low = 0;
        high = static_cast<std::uint16_t>(std::min<std::size_t>(unit.choices.size() - 1, 0xFFFF));
    } else if (unit.kind == SinkSetting::_Config::UNIT_SWITCH) {
        low = 0;
        high = 1;
    }
    answer.set(SINKUNIT_ANS, STATUS_ACCEPT, u, unit.kind, low, high);
    AnswerPayload::setText(answer, unit.name);
}

}  // namespace ZARNITH
