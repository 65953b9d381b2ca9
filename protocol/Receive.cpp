#include "protocol/Receive.h"

#include <cstring>

#include "protocol/LittleEndian.h"
#include "protocol/Send.h"

namespace ZARNITH {

Receive::operator bool() const {
    if (size() < Send::HEADER_SIZE) return false;
    if (readU16LE(data()) != Send::MAGIC) return false;
    const std::uint16_t code = getLengthCode();
    const std::uint64_t padded = code & ~std::uint16_t{7};
    if (size() < padded) return false;
    return Send::HEADER_SIZE + Send::decodeLength(code) <= size();
}

std::uint16_t Receive::headerU16(std::uint64_t offset) const {
    if (size() < offset + 2) return 0;
    return readU16LE(data() + offset);
}

std::uint16_t Receive::getLengthCode() const { return headerU16(2); }
MessageID Receive::getMessage() const { return static_cast<MessageID>(headerU16(4)); }
StatusID Receive::getStatus() const { return static_cast<StatusID>(headerU16(6)); }
std::uint16_t Receive::getOption0() const { return headerU16(8); }
std::uint16_t Receive::getOption1() const { return headerU16(10); }
std::uint16_t Receive::getOption2() const { return headerU16(12); }
std::uint16_t Receive::getOption3() const { return headerU16(14); }

std::uint64_t Receive::getOption() const {
    if (size() < Send::HEADER_SIZE) return 0;
    return readU64LE(data() + 8);
}

const std::uint8_t* Receive::get_data() const {
    return data() + (size() < Send::HEADER_SIZE ? size() : Send::HEADER_SIZE);
}

std::uint64_t Receive::size_data() const {
    if (size() < Send::HEADER_SIZE) return 0;
    const std::uint64_t n = Send::decodeLength(getLengthCode());
    const std::uint64_t available = size() - Send::HEADER_SIZE;
    return n < available ? n : available;
}

ORVEX::BufferCS_const Receive::get_data_CS() const { return ORVEX::BufferCS_const(get_data(), size_data()); }

void Receive::get_str(std::string& text) const {
    const std::uint64_t n = size_data();
    if (n == 0)
        text.clear();
    else
        text.assign(reinterpret_cast<const char*>(get_data()), n);
}

bool Receive::get_add_str(ORVEX::IPAddress& address, std::string& text) const {
    const std::uint64_t n = size_data();
    const std::uint8_t* p = get_data();
    if (n > 18)
        text.assign(reinterpret_cast<const char*>(p + 18), n - 18);
    else
        text.clear();
    if (n < 18) return false;
    std::memcpy(address.address.data(), p, 16);
    std::memcpy(&address.port, p + 16, 2);  // stays in network order
    return true;
}

}  // namespace ZARNITH
