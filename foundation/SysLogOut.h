// One log message under construction: a fixed 31-byte syslog header followed
// by the body, in one fixed-size text that values are formatted into in place.
// Destroying it sends it through the global log sender.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"

namespace ORVEX {
namespace SysLog {

// Syslog severities.
enum SysLogLevel : int {
    LEVEL_EMERGENCY = 0,
    LEVEL_ALERT = 1,
    LEVEL_CRITICAL = 2,
    LEVEL_ERROR = 3,
    LEVEL_WARNING = 4,
    LEVEL_NOTICE = 5,
    LEVEL_INFO = 6,
    LEVEL_DEBUG = 7,
};

// Syslog facility codes.
enum SysLogFacility : int {
    FACILITY_KERNEL = 0,
    FACILITY_USER = 1,
    FACILITY_DAEMON = 3,
    FACILITY_LOCAL0 = 16,
    FACILITY_LOCAL1 = 17,
    FACILITY_LOCAL2 = 18,
    FACILITY_LOCAL3 = 19,
    FACILITY_LOCAL4 = 20,
    FACILITY_LOCAL5 = 21,
    FACILITY_LOCAL6 = 22,
    FACILITY_LOCAL7 = 23,
};

// facility x 8 + level.
using SysLogFacilityLevel = std::uint8_t;

class SysLogOut {
public:
    static constexpr std::size_t TextSize = 2048;
    static constexpr std::size_t HeaderSize = 31;
    // Name standing for the local machine in every header (9 characters).
    static constexpr const char* HostName = "localhost";

    SysLogFacilityLevel pri;  // facility x 8 + level, fixed at the start
    char text[TextSize];      // header and body, always NUL-terminated
    std::size_t length;       // bytes in use (HeaderSize .. TextSize - 1)

    // Writes the header template; the body is empty.
    explicit SysLogOut(SysLogFacilityLevel facilityLevel);
    // Sends the message through the global sender (dropped when there is none).
    ~SysLogOut();
    SysLogOut(const SysLogOut&) = delete;
    SysLogOut& operator=(const SysLogOut&) = delete;

    // Formatted values: cut to the room left, never past the text.
    void putSInt32(std::int32_t value);
    void putUInt32(std::uint32_t value);
    void putSInt64(std::int64_t value);
    void putUInt64(std::uint64_t value);
    void putFloat(float value);
    void putDouble(double value);
    void putStr(const char* value);
    // Whole items: appended entirely or not at all.
    void putString(const std::string& value);
    void putBuffer(BufferCS_const value);
    void putIPaddress(const IPAddress& value);
    void putClock(Clock value);

    // Completes the header of `message` (which starts with the HeaderSize-byte
    // template) with the PRI and the local time of `when`; returns the offset of
    // the opening bracket, where the datagram starts.
    static std::size_t completeHeader(char* message, SysLogFacilityLevel facilityLevel, std::time_t when);
    // Writes the header template into message[0..HeaderSize], NUL-terminated.
    static void writeTemplate(char* message);

private:
    void putWhole(const char* bytes, std::size_t count);
    void putFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

}  // namespace SysLog
}  // namespace ORVEX
