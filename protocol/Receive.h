// One received datagram, read as a control message. It is the receive buffer
// itself, so a socket receive into a Buffer fills it directly.
//
// The validity test is the one door: a message is valid when it holds the
// 16-byte header with the magic, its padded length and its decoded payload.
// The accessors never read past the received bytes, valid or not: the payload
// is bounded by what was received.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Buffer.h"
#include "foundation/IPAddress.h"
#include "protocol/MessageID.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

class Receive : public ORVEX::Buffer {
public:
    using ORVEX::Buffer::Buffer;
    using ORVEX::Buffer::operator=;
    Receive() = default;

    // At least 16 bytes, magic 0x0064, at least the padded length of the length
    // code, and 16 + the decoded payload size at most the bytes received.
    explicit operator bool() const;

    std::uint16_t getLengthCode() const;
    MessageID getMessage() const;
    StatusID getStatus() const;
    std::uint16_t getOption0() const;
    std::uint16_t getOption1() const;
    std::uint16_t getOption2() const;
    std::uint16_t getOption3() const;
    std::uint64_t getOption() const;

    // Payload start (byte 16; the end of the bytes when fewer were received).
    const std::uint8_t* get_data() const;
    // Payload size decoded from the length code, bounded by the bytes received.
    std::uint64_t size_data() const;
    ORVEX::BufferCS_const get_data_CS() const;

    // text = the payload bytes.
    void get_str(std::string& text) const;
    // Payload of 18 bytes or more: address bytes and port (network order) from
    // bytes 0-17, the interface index untouched; text = bytes 18 on. Shorter
    // payload: the address is untouched and the text emptied. True when the
    // address was set.
    bool get_add_str(ORVEX::IPAddress& address, std::string& text) const;

private:
    // The u16 at a header offset; 0 when the datagram is too short for it.
    std::uint16_t headerU16(std::uint64_t offset) const;
};

}  // namespace ZARNITH
