#include "protocol/Send.h"

#include <algorithm>
#include <cstring>

#include "foundation/SysLog.h"
#include "protocol/LittleEndian.h"

namespace ZARNITH {

namespace {

// Header byte offsets.
constexpr int kMagic = 0;
constexpr int kLength = 2;
constexpr int kMessage = 4;
constexpr int kStatus = 6;
constexpr int kOption = 8;

}  // namespace

// ---- Send ----

Send::Send() { _clear(); }

Send::Send(MessageID id, StatusID status, std::uint16_t option0, std::uint16_t option1,
           std::uint16_t option2, std::uint16_t option3) {
    _clear();
    set(id, status, option0, option1, option2, option3);
}

Send::Send(MessageID id, StatusID status, std::uint64_t option) {
    _clear();
    set(id, status, option);
}

Send::Send(MessageID id, StatusID status) {
    _clear();
    set(id, status);
}

Send::Send(const Send& other) { std::memcpy(header, other.header, sizeof header); }

Send& Send::operator=(const Send& other) {
    if (this != &other) std::memcpy(header, other.header, sizeof header);
    return *this;
}

void Send::set(MessageID id, StatusID status, std::uint16_t option0, std::uint16_t option1,
               std::uint16_t option2, std::uint16_t option3) {
    writeU16LE(header + kMessage, id);
    writeU16LE(header + kStatus, status);
    writeU16LE(header + kOption, option0);
    writeU16LE(header + kOption + 2, option1);
    writeU16LE(header + kOption + 4, option2);
    writeU16LE(header + kOption + 6, option3);
}

void Send::set(MessageID id, StatusID status, std::uint64_t option) {
    writeU16LE(header + kMessage, id);
    writeU16LE(header + kStatus, status);
    writeU64LE(header + kOption, option);
}

void Send::set(MessageID id, StatusID status) { set(id, status, std::uint64_t{0}); }

void Send::_clear() {
    writeU16LE(header + kMagic, MAGIC);
    writeU16LE(header + kLength, lengthCode(0));
}

void Send::statusUpdate(StatusID clear, StatusID set) {
    setStatus((getStatus() & ~clear) | set);
    update();
}

void Send::update() {}

std::uint16_t Send::getLengthCode() const { return readU16LE(header + kLength); }
MessageID Send::getMessage() const { return static_cast<MessageID>(readU16LE(header + kMessage)); }
StatusID Send::getStatus() const { return static_cast<StatusID>(readU16LE(header + kStatus)); }
std::uint16_t Send::getOption0() const { return readU16LE(header + kOption); }
std::uint16_t Send::getOption1() const { return readU16LE(header + kOption + 2); }
std::uint16_t Send::getOption2() const { return readU16LE(header + kOption + 4); }
std::uint16_t Send::getOption3() const { return readU16LE(header + kOption + 6); }
std::uint64_t Send::getOption() const { return readU64LE(header + kOption); }

Send::operator ORVEX::BufferCS_const() const { return ORVEX::BufferCS_const(data, sendLength); }

std::string Send::dump() const { return ORVEX::BufferCS_const(data, sendLength).dump(); }

void Send::setLengthCode(std::uint16_t code) { writeU16LE(header + kLength, code); }

void Send::setStatus(StatusID status) { writeU16LE(header + kStatus, status); }

// ---- SendBuffer ----

SendBuffer::SendBuffer() : bytes(HEADER_SIZE, 0) { repoint(); }

SendBuffer::SendBuffer(const SendBuffer& other)
    : Send(other), bytes(other.bytes), payloadSize(other.payloadSize) {
    sendLength = other.sendLength;
    repoint();
}

SendBuffer::SendBuffer(SendBuffer&& other) : SendBuffer() { move(other); }

SendBuffer& SendBuffer::operator=(const SendBuffer& other) {
    if (this != &other) {
        Send::operator=(other);
        bytes = other.bytes;
        payloadSize = other.payloadSize;
        sendLength = other.sendLength;
        repoint();
    }
    return *this;
}

SendBuffer& SendBuffer::operator=(SendBuffer&& other) {
    // The source takes this object's former message; both stay self-consistent.
    move(other);
    return *this;
}

void SendBuffer::repoint() { data = bytes.data(); }

void SendBuffer::update() { std::memcpy(bytes.data(), header, HEADER_SIZE); }

void SendBuffer::resize(std::uint64_t n) { resize(n, n); }

void SendBuffer::resize(std::uint64_t n, std::uint64_t room) {
    if (n > MAX_PAYLOAD) {
        // The padded length must fit the 16-bit length code.
        ORVEX::SysLog::LEVEL_WARNING << "SendBuffer payload cut to 65512 from " << n;
        n = MAX_PAYLOAD;
    }
    room = std::max(std::min(room, MAX_PAYLOAD), n);
    const std::uint64_t padded = paddedLength(n);
    setLengthCode(lengthCode(n));
    bytes.resize(paddedLength(room));
    sendLength = padded;
    payloadSize = n;
    repoint();
    // Pad bytes only: the payload stays for a resend in the same storage.
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(HEADER_SIZE + n),
              bytes.begin() + static_cast<std::ptrdiff_t>(padded), std::uint8_t{0});
}

void SendBuffer::reserve(std::uint64_t n) {
    bytes.reserve(paddedLength(std::min(n, MAX_PAYLOAD)));
    repoint();
}

void SendBuffer::set_str(const std::string& text) {
    resize(text.size());
    std::memcpy(get_data(), text.data(), payloadSize);
}

void SendBuffer::set_add_str(const ORVEX::IPAddress& address, const std::string& text) {
    resize(18 + static_cast<std::uint64_t>(text.size()));
    std::uint8_t* p = get_data();
    std::memcpy(p, address.address.data(), 16);
    std::memcpy(p + 16, &address.port, 2);  // network order, exactly as stored
    std::memcpy(p + 18, text.data(), payloadSize - 18);
}

void SendBuffer::fill(std::uint8_t value) { std::memset(get_data(), value, payloadSize); }

std::uint8_t* SendBuffer::get_data() { return bytes.data() + HEADER_SIZE; }
const std::uint8_t* SendBuffer::get_data() const { return bytes.data() + HEADER_SIZE; }
std::uint64_t SendBuffer::size_data() const { return payloadSize; }

SendBuffer::operator ORVEX::BufferCS_const() const {
    return ORVEX::BufferCS_const(bytes.data(), bytes.size());
}

void SendBuffer::move(SendBuffer& other) {
    if (this == &other) return;
    std::uint8_t saved[HEADER_SIZE];
    std::memcpy(saved, header, HEADER_SIZE);
    std::memcpy(header, other.header, HEADER_SIZE);
    std::memcpy(other.header, saved, HEADER_SIZE);
    std::swap(sendLength, other.sendLength);
    std::swap(payloadSize, other.payloadSize);
    bytes.swap(other.bytes);
    repoint();
    other.repoint();
}

void SendBuffer::ms_resize(std::uint64_t n) {
    n = std::min<std::uint64_t>(n, 0xFFFF);
    bytes.resize(n + HEADER_SIZE + 1);
    sendLength = n + HEADER_SIZE;
    payloadSize = n;
    repoint();
}

ORVEX::BufferCS_const SendBuffer::ms_send(bool suppressReport) {
    // Only a vector shaped by ms_resize has a trailer byte behind the header.
    if (bytes.size() <= HEADER_SIZE) return ORVEX::BufferCS_const();
    std::uint8_t trailer = static_cast<std::uint8_t>(getOption0() & 0x7F);
    if (!suppressReport && (getStatus() & STATUS_REPORT)) trailer |= 0x80;
    bytes.back() = trailer;
    return ORVEX::BufferCS_const(bytes.data() + HEADER_SIZE, bytes.size() - HEADER_SIZE);
}

}  // namespace ZARNITH
