#include "protocol/SysLogZarnith.h"

namespace ZARNITH {

bool SysLogZarnith::initialize(ORVEX::SysLog::SysLogFacility facility, unsigned short port, bool console) {
    return ORVEX::SysLog::initialize(facility, console, port);
}

bool SysLogZarnith::changeLevel(ORVEX::SysLog::SysLogLevel level, unsigned short port) {
    zarnith_log.store(static_cast<int>(level), std::memory_order_relaxed);
    return ORVEX::SysLog::OpenPort(port);
}

}  // namespace ZARNITH
