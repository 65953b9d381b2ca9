// SINKUNIT_ANS: the description of one configuration unit of a sink (or, for
// unit 0, the number of units).
#pragma once

#include <vector>

#include "protocol/Receive.h"
#include "protocol/Send.h"
#include "sink/SinkSetting.h"

namespace ZARNITH {

class SinkUnitAnswer {
public:
    using Unit = SinkSetting::_Config::_Unit;

    // Fills `answer` (header and payload, without update()) for `request`.
    static void build(const std::vector<Unit>& units, const Receive& request, SendBuffer& answer);
};

}  // namespace ZARNITH
