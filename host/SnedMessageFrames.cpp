#include "host/SnedMessageFrames.h"

#include "host/ReceiveMessage.h"

namespace TolvenmarkControll {

SnedMessageFrames::SnedMessageFrames() : frame(ReceiveMessage::TextMinimum, 0) {
    frame[2] = 0x06;  // L = 6: the reserved text bytes alone
    frame[3] = 0x01;  // text frame
}

void SnedMessageFrames::writeLength() {
    // Text lines are short; a frame never comes near the 24-bit limit.
    const std::uint64_t length = frame.size() - ReceiveMessage::PrefixSize;
    frame[0] = static_cast<std::uint8_t>(length >> 16);
    frame[1] = static_cast<std::uint8_t>(length >> 8);
    frame[2] = static_cast<std::uint8_t>(length);
}

void SnedMessageFrames::addHeader(const std::string& key, const std::string& value) {
    frame.insert(frame.end(), key.begin(), key.end());
    frame.push_back('=');
    frame.insert(frame.end(), value.begin(), value.end());
    frame.push_back('\r');
    frame.push_back('\n');
    writeLength();
}

void SnedMessageFrames::addHeader(const std::string& key, std::int64_t value) {
    addHeader(key, std::to_string(value));
}

}  // namespace TolvenmarkControll
