#include "sink/StreamDatagram.h"

#include "protocol/LittleEndian.h"
#include "protocol/Send.h"

namespace ZARNITH {

bool StreamDatagram::parse(ORVEX::BufferCS_const bytes) {
    if (bytes.data == nullptr || bytes.size < HeaderSize) return false;
    const std::uint8_t* p = bytes.data;
    if (readU16LE(p) != Send::MAGIC) return false;
    const std::uint16_t code = readU16LE(p + 2);
    const std::uint64_t padded = code & 0xFFF8u;
    const std::uint64_t n = Send::decodeLength(code);
    if (padded > bytes.size || HeaderSize + n > bytes.size) return false;
    id = static_cast<MessageID>(readU16LE(p + 4));
    status = static_cast<StatusID>(readU16LE(p + 6));
    option0 = readU16LE(p + 8);
    option1 = readU16LE(p + 10);
    option2 = readU16LE(p + 12);
    option3 = readU16LE(p + 14);
    payloadSize = n;
    return true;
}

}  // namespace ZARNITH
