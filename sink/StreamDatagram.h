// Reads the header of one datagram received on the stream port, in place and
// without copying: the single place where a stream datagram becomes valid.
// Every field is read byte by byte after the length checks.
#pragma once

#include <cstdint>

#include "foundation/Buffer.h"
#include "protocol/MessageID.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

class StreamDatagram {
public:
    static constexpr std::uint64_t HeaderSize = 16;

    // Valid when it has the 16 header bytes, the magic, at least the padded
    // length of its length code, and at least 16 plus the payload size the code
    // gives (extra bytes behind are allowed).
    [[nodiscard]] bool parse(ORVEX::BufferCS_const bytes);

    MessageID id = DISCOVER;
    StatusID status = STATUS_NONE;
    std::uint16_t option0 = 0;
    std::uint16_t option1 = 0;
    std::uint16_t option2 = 0;
    std::uint16_t option3 = 0;
    std::uint64_t payloadSize = 0;  // from the length code, never more than was received
};

}  // namespace ZARNITH
