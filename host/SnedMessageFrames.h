// Builder of the host's outgoing text frames: the 9-byte prefix, 6 reserved
// bytes, then "key=value" lines ended by CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Buffer.h"

namespace TolvenmarkControll {

class SnedMessageFrames {
public:
    SnedMessageFrames();

    // Appends one line and rewrites the 24-bit big-endian payload length.
    void addHeader(const std::string& key, const std::string& value);
    void addHeader(const std::string& key, std::int64_t value);

    ORVEX::BufferCS_const view() const { return ORVEX::BufferCS_const(frame.data(), frame.size()); }

    std::vector<std::uint8_t> frame;  // the whole frame, prefix included
    std::uint64_t textOffset = 6;     // reserved bytes between the prefix and the text

private:
    void writeLength();
};

}  // namespace TolvenmarkControll
