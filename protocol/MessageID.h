// Message codes of the control message header. A request has an even code and
// its answer the request's code plus one; codes from 0x8000 up are local
// messages between the endpoints of one host over the loopback interface.
#pragma once

#include <cstdint>

namespace ZARNITH {

enum MessageID : std::uint16_t {
    DISCOVER = 0x0000,
    DISCOVER_ANS = 0x0001,
    PORT_REQ = 0x0002,
    PORT_ANS = 0x0003,
    FORMAT_REQ = 0x0004,
    FORMAT_ANS = 0x0005,
    LATENCY_REQ = 0x0006,
    LATENCY_ANS = 0x0007,
    CONNECT_REQ = 0x0008,
    CONNECT_ANS = 0x0009,
    STREAMDATA_SET = 0x000A,
    STREAMREPORT_SET = 0x000B,  // odd, sent unasked
    DSICONNECT_REQ = 0x000C,
    DSICONNECT_ANS = 0x000D,  // also sent unasked when the sink ends a connection
    DATASIZE_REQ = 0x000E,
    DATASIZE_ANS = 0x000F,
    OUTPUTNAME_REQ = 0x0010,
    OUTPUTNAME_ANS = 0x0011,
    CONNECTPRE_REQ = 0x0012,
    CONNECTPRE_ANS = 0x0013,
    PARAMETER_REQ = 0x0014,
    PARAMETER_ANS = 0x0015,
    SYNCNAME_SET = 0x0016,
    SYNCNAME_ANS = 0x0017,
    CLIENTNAME_SET = 0x0018,
    CLIENTNAME_ANS = 0x0019,
    TRANSFERINFO_REQ = 0x001A,
    TRANSFERINFO_ANS = 0x001B,
    TRANSFERDATA_SET = 0x001C,
    TRANSFERDATA_ANS = 0x001D,
    TRANSFERFINISH_REQ = 0x001E,
    TRANSFERFINISH_ANS = 0x001F,
    FWVERSION_REQ = 0x0020,
    FWVERSION_ANS = 0x0021,
    FWURL_REQ = 0x0022,
    FWURL_ANS = 0x0023,
    REBOOT_REQ = 0x0024,
    REBOOT_ANS = 0x0025,
    HOSTDEBUG_REQ = 0x0028,
    HOSTDEBUG_ANS = 0x0029,  // repeated: each forwarded log line arrives as one
    NOPBREAK_REQ = 0x002A,
    NOPBREAK_ANS = 0x002B,
    INFORMATION_REQ = 0x002C,
    INFORMATION_ANS = 0x002D,
    TARGETUNIT_REQ = 0x0030,
    TARGETUNIT_ANS = 0x0031,
    TARGETVALUE_REQ = 0x0032,
    TARGETVALUE_ANS = 0x0033,
    SINKUNIT_REQ = 0x0034,
    SINKUNIT_ANS = 0x0035,
    SINKVALUE_REQ = 0x0036,
    SINKVALUE_ANS = 0x0037,
    STATUS_REQ = 0x0038,
    STATUS_ANS = 0x0039,
    TARGETICON_REQ = 0x0040,
    TARGETICON_ANS = 0x0041,
    SINKICON_REQ = 0x0042,
    SINKICON_ANS = 0x0043,
    AUXICON_REQ = 0x0044,
    AUXICON_ANS = 0x0045,
    SYNCHRO = 0x0046,
    CONNECTMS_REQ = 0x0048,
    CONNECTMS_ANS = 0x0049,
    SYNCHROINFO_REQ = 0x004A,
    SYNCHROINFO_ANS = 0x004B,
    STREAMECHO_REQ = 0x004C,
    STREAMECHO_ANS = 0x004D,

    // Local messages (loopback only).
    PORTREGIST_SET = 0x8002,
    STATUSREGIST_SET = 0x8003,  // odd, handled as a request
    NOPNOTIFY_SET = 0x8006,
    THREADNOTIFY_SET = 0x8008,
    THREADNOTIFY_ANS = 0x8009,
    THREADID_SET = 0x800A,
    THREADID_ANS = 0x800B,
    CLOCKTABLE_SET = 0x800C,
};

}  // namespace ZARNITH
