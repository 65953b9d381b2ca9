// What a log statement yields: the message being built (null when the level is
// suppressed). Values are appended with <<; the message is sent when the node
// that owns it ends, at the end of the statement. Move-only, so a message is
// sent once.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/SysLogOut.h"

namespace ORVEX {
namespace SysLog {

class SysLogNode {
public:
    SysLogOut* out = nullptr;  // the message, null when suppressed
    bool owner = true;         // this node sends and frees `out` when it ends

    explicit SysLogNode(SysLogOut* message) : out(message) {}
    SysLogNode(SysLogNode&& other) noexcept : out(other.out), owner(other.owner) { other.out = nullptr; }
    SysLogNode(const SysLogNode&) = delete;
    SysLogNode& operator=(const SysLogNode&) = delete;
    SysLogNode& operator=(SysLogNode&&) = delete;
    ~SysLogNode() {
        if (owner) delete out;
    }

    SysLogNode& operator<<(int value) { if (out) out->putSInt32(value); return *this; }
    SysLogNode& operator<<(unsigned int value) { if (out) out->putUInt32(value); return *this; }
    SysLogNode& operator<<(long value) { if (out) out->putSInt64(value); return *this; }
    SysLogNode& operator<<(unsigned long value) { if (out) out->putUInt64(value); return *this; }
    SysLogNode& operator<<(long long value) { if (out) out->putSInt64(value); return *this; }
    SysLogNode& operator<<(unsigned long long value) { if (out) out->putUInt64(value); return *this; }
    SysLogNode& operator<<(float value) { if (out) out->putFloat(value); return *this; }
    SysLogNode& operator<<(double value) { if (out) out->putDouble(value); return *this; }
    SysLogNode& operator<<(const char* value) { if (out) out->putStr(value); return *this; }
    SysLogNode& operator<<(const std::string& value) { if (out) out->putString(value); return *this; }
    SysLogNode& operator<<(BufferCS_const value) { if (out) out->putBuffer(value); return *this; }
    SysLogNode& operator<<(const IPAddress& value) { if (out) out->putIPaddress(value); return *this; }
    SysLogNode& operator<<(Clock value) { if (out) out->putClock(value); return *this; }
};

}  // namespace SysLog
}  // namespace ORVEX
