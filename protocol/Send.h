// The control message to send: a 16-byte little-endian header (magic, length
// code, MessageID, StatusID, four 16-bit options that also read as one 64-bit
// option), optionally followed by a payload padded to a multiple of 8 bytes.
//
// Send is a header-only message; SendBuffer (derived) holds header copy,
// payload and padding in its own byte vector. The header inside the object is
// the master copy: update() copies it into the vector and must be called after
// the last change and before sending.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Buffer.h"
#include "foundation/IPAddress.h"
#include "protocol/MessageID.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

class Send {
public:
    static constexpr std::uint16_t MAGIC = 0x0064;
    static constexpr std::uint64_t HEADER_SIZE = 16;
    // Largest payload whose padded length fits the 16-bit length code.
    static constexpr std::uint64_t MAX_PAYLOAD = 65512;

    // Padded datagram length 16 + n rounded up to 8 (n at most MAX_PAYLOAD).
    static constexpr std::uint64_t paddedLength(std::uint64_t n) { return (n + 23) & ~std::uint64_t{7}; }
    // Length code: padded length OR pad count (n at most MAX_PAYLOAD).
    static constexpr std::uint16_t lengthCode(std::uint64_t n) {
        return static_cast<std::uint16_t>(paddedLength(n) | ((0 - n) & 7));
    }
    // Payload size a length code stands for, modulo 65536 (codes below 0x0018
    // other than 0x0010 decode to about 64 KiB: the validity test refuses them).
    static constexpr std::uint64_t decodeLength(std::uint16_t code) {
        return static_cast<std::uint16_t>((code ^ 7u) - 23u);
    }

    // Magic, length code 0x0010, 16 bytes to send; MessageID, StatusID and
    // options are zero until set().
    Send();
    Send(MessageID id, StatusID status, std::uint16_t option0, std::uint16_t option1,
         std::uint16_t option2, std::uint16_t option3);
    Send(MessageID id, StatusID status, std::uint64_t option);
    Send(MessageID id, StatusID status);
    // A copy is a header-only message over its own header bytes.
    Send(const Send& other);
    Send& operator=(const Send& other);
    virtual ~Send() = default;

    // Write MessageID, StatusID and the options only.
    void set(MessageID id, StatusID status, std::uint16_t option0, std::uint16_t option1,
             std::uint16_t option2, std::uint16_t option3);
    void set(MessageID id, StatusID status, std::uint64_t option);
    void set(MessageID id, StatusID status);
    // Rewrites magic and length code 0x0010.
    void _clear();
    // StatusID = (StatusID AND NOT clear) OR set, then update().
    void statusUpdate(StatusID clear, StatusID set);
    // Copies the header into the send storage (nothing for a plain Send).
    virtual void update();

    std::uint16_t getLengthCode() const;
    MessageID getMessage() const;
    StatusID getStatus() const;
    std::uint16_t getOption0() const;
    std::uint16_t getOption1() const;
    std::uint16_t getOption2() const;
    std::uint16_t getOption3() const;
    std::uint64_t getOption() const;

    // The bytes to send: {data pointer, send length} (header and padded payload).
    operator ORVEX::BufferCS_const() const;
    // Those bytes as hex text, for trace logging.
    std::string dump() const;

protected:
    void setLengthCode(std::uint16_t code);
    void setStatus(StatusID status);

    std::uint8_t header[16] = {};          // wire form, little-endian
    const std::uint8_t* data = header;     // first byte to send
    std::uint64_t sendLength = HEADER_SIZE;  // bytes to send
};

class SendBuffer : public Send {
public:
    // Header-only message: a vector of 16 zero bytes, payload size 0.
    SendBuffer();
    // Copies and moves point at their own vector, never into another object.
    // A move constructor leaves the source an empty header-only message; a move
    // assignment exchanges the two messages.
    SendBuffer(const SendBuffer& other);
    SendBuffer(SendBuffer&& other);
    SendBuffer& operator=(const SendBuffer& other);
    SendBuffer& operator=(SendBuffer&& other);
    ~SendBuffer() override = default;

    void update() override;

    // Payload size n (cut to MAX_PAYLOAD): length code, send length = padded
    // length, vector sized to it keeping its leading bytes; the pad bytes after
    // the payload are zeroed, the payload itself is kept.
    void resize(std::uint64_t n);
    // As resize(n), with the vector sized to the padded length of the larger of
    // n and room; bytes past the padded length of n are left as they are.
    void resize(std::uint64_t n, std::uint64_t room);
    // Vector capacity for a payload of n bytes; nothing else changes.
    void reserve(std::uint64_t n);
    // The text bytes (no terminator) as payload, cut to MAX_PAYLOAD.
    void set_str(const std::string& text);
    // Address bytes, port as stored (network order), then the text bytes.
    void set_add_str(const ORVEX::IPAddress& address, const std::string& text);
    // Every payload byte = value.
    void fill(std::uint8_t value);

    std::uint8_t* get_data();
    const std::uint8_t* get_data() const;
    std::uint64_t size_data() const;
    // The whole vector, extra room included.
    operator ORVEX::BufferCS_const() const;

    // Exchanges the whole message (header, sizes, vector) with other; each
    // object afterwards points at its own vector.
    void move(SendBuffer& other);

    // Header-less stream datagram: vector of n + 17 bytes (header room, payload,
    // trailer), send length n + 16; the length code is not touched.
    void ms_resize(std::uint64_t n);
    // Writes the trailer (option0 AND 0x7F, plus 0x80 when STATUS_REPORT is set
    // and not suppressed) and returns payload and trailer without header.
    ORVEX::BufferCS_const ms_send(bool suppressReport);

private:
    void repoint();

    std::vector<std::uint8_t> bytes;  // header copy, payload, padding, extra room
    std::uint64_t payloadSize = 0;
};

}  // namespace ZARNITH
