#include "foundation/SysLogOut.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "foundation/SysLogSendC.h"

namespace ORVEX {
namespace SysLog {

namespace {

constexpr const char* Months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void twoDigits(char* at, int value) {
    at[0] = static_cast<char>('0' + (value / 10) % 10);
    at[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

SysLogOut::SysLogOut(SysLogFacilityLevel facilityLevel) : pri(facilityLevel), length(HeaderSize) {
    writeTemplate(text);
}

void SysLogOut::writeTemplate(char* message) {
    static_assert(sizeof("<000>MMM DD hh mm ss ") - 1 + 9 + 1 == HeaderSize, "header is 31 bytes");
    std::memcpy(message, "<000>MMM DD hh mm ss ", 21);
    std::memcpy(message + 21, HostName, 9);
    message[30] = ' ';
    message[31] = '\0';
}

std::size_t SysLogOut::completeHeader(char* message, SysLogFacilityLevel facilityLevel, std::time_t when) {
    // The PRI ends at position 3 with '>' at 4; the datagram starts at '<'.
    unsigned value = facilityLevel;
    std::size_t start = value >= 100 ? 0 : (value >= 10 ? 1 : 2);
    message[4] = '>';
    std::size_t at = 3;
    do {
        message[at--] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    message[start] = '<';
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) std::memset(&local, 0, sizeof local);
    std::memcpy(message + 5, Months[(local.tm_mon >= 0 && local.tm_mon < 12) ? local.tm_mon : 0], 3);
    message[8] = ' ';
    twoDigits(message + 9, local.tm_mday);
    message[11] = ' ';
    twoDigits(message + 12, local.tm_hour);
    message[14] = ':';
    twoDigits(message + 15, local.tm_min);
    message[17] = ':';
    twoDigits(message + 18, local.tm_sec);
    message[20] = ' ';
    return start;
}

SysLogOut::~SysLogOut() {
    SysLogSendC* sender = SysLogSendC::global();
    if (sender == nullptr) return;
    std::size_t start = completeHeader(text, pri, std::time(nullptr));
    sender->deliver(text, start, length);
}

void SysLogOut::putFormatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + length, TextSize - length, format, args);
    va_end(args);
    length += std::strlen(text + length);
}

void SysLogOut::putWhole(const char* bytes, std::size_t count) {
    if (count > TextSize || length + count + 1 > TextSize - 1) return;
    std::memcpy(text + length, bytes, count);
    length += count;
    text[length] = '\0';
}

void SysLogOut::putSInt32(std::int32_t value) { putFormatted("%d", value); }
void SysLogOut::putUInt32(std::uint32_t value) { putFormatted("%u", value); }
void SysLogOut::putSInt64(std::int64_t value) { putFormatted("%lld", static_cast<long long>(value)); }
void SysLogOut::putUInt64(std::uint64_t value) { putFormatted("%llu", static_cast<unsigned long long>(value)); }
void SysLogOut::putFloat(float value) { putFormatted("%lf", static_cast<double>(value)); }
void SysLogOut::putDouble(double value) { putFormatted("%lf", value); }

void SysLogOut::putStr(const char* value) {
    if (value != nullptr) putFormatted("%s", value);
}

void SysLogOut::putString(const std::string& value) { putWhole(value.data(), value.size()); }

void SysLogOut::putBuffer(BufferCS_const value) {
    if (value.size == 0) return;
    putWhole(reinterpret_cast<const char*>(value.data), static_cast<std::size_t>(value.size));
}

void SysLogOut::putIPaddress(const IPAddress& value) {
    std::string textForm;
    value.get_full_str(textForm);
    putWhole(textForm.data(), textForm.size());
}

void SysLogOut::putClock(Clock value) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llX", static_cast<unsigned long long>(value.picoseconds()));
    putWhole(digits, 16);
}

}  // namespace SysLog
}  // namespace ORVEX
