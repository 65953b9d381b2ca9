// The protocol-wide log level and the start of logging. zarnith_log names the
// foundation's one threshold object, so one integer governs all logging of the
// process.
#pragma once

#include <atomic>

#include "foundation/SysLog.h"

namespace ZARNITH {

class SysLogZarnith {
public:
    // -1 until changeLevel; read by every thread.
    static inline std::atomic<int>& zarnith_log = ORVEX::SysLog::logLevel;

    // ORVEX::SysLog::initialize(facility, console, port); the level is unchanged.
    static bool initialize(ORVEX::SysLog::SysLogFacility facility, unsigned short port, bool console);
    // Sets the level, then ORVEX::SysLog::OpenPort(port).
    static bool changeLevel(ORVEX::SysLog::SysLogLevel level, unsigned short port);
};

}  // namespace ZARNITH
