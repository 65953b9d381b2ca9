// Control messages: the input read as a received datagram through the
// validity test and every accessor, then the same bytes driving the building
// of messages, each read back as a received datagram.
#include <cstring>
#include <string>

#include "foundation/IPAddress.h"
#include "fuzz/FuzzSupport.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"

using ZARNITH::MessageID;
using ZARNITH::Receive;
using ZARNITH::Send;
using ZARNITH::SendBuffer;
using ZARNITH::StatusID;

namespace {

// `length` bytes repeating `bytes` (zeros when there are none).
std::string cyclic(const std::uint8_t* bytes, std::size_t count, std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t i = 0; count != 0 && i < length; ++i) text[i] = static_cast<char>(bytes[i % count]);
    return text;
}

// Reads every byte of a view, so that a view reaching past its buffer is
// caught by the address sanitizer.
std::uint64_t touch(ORVEX::BufferCS_const view) {
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < view.size; ++i) sum += view.data[i];
    return sum;
}

void readReceived(const std::uint8_t* data, std::size_t size) {
    const Receive r(data, data + size);
    const bool valid = static_cast<bool>(r);
    (void)r.getLengthCode();
    (void)r.getMessage();
    (void)r.getStatus();
    const std::uint64_t option = r.getOption();
    const std::uint64_t quarters = std::uint64_t{r.getOption0()} | std::uint64_t{r.getOption1()} << 16 |
                                   std::uint64_t{r.getOption2()} << 32 | std::uint64_t{r.getOption3()} << 48;
    TM_FUZZ_CHECK(size < Send::HEADER_SIZE || option == quarters);

    const ORVEX::BufferCS_const payload = r.get_data_CS();
    (void)touch(payload);
    TM_FUZZ_CHECK(payload.size == r.size_data());
    TM_FUZZ_CHECK(payload.data + payload.size <= r.data() + r.size());
    if (valid) {
        TM_FUZZ_CHECK(size >= Send::HEADER_SIZE);
        TM_FUZZ_CHECK(r.size_data() == Send::decodeLength(r.getLengthCode()));
        TM_FUZZ_CHECK(Send::HEADER_SIZE + r.size_data() <= size);
    }

    std::string text = "stale";
    r.get_str(text);
    TM_FUZZ_CHECK(text.size() == r.size_data());

    ORVEX::IPAddress address;
    address.ifIndex = 7;
    std::string rest = "stale";
    const bool set = r.get_add_str(address, rest);
    TM_FUZZ_CHECK(set == (r.size_data() >= 18));
    TM_FUZZ_CHECK(rest.size() == (r.size_data() > 18 ? r.size_data() - 18 : 0));
    TM_FUZZ_CHECK(address.ifIndex == 7);
}

// A built message read back: valid, with its header fields and payload.
void checkReadBack(const SendBuffer& b, ORVEX::BufferCS_const sent, std::uint64_t payloadSize) {
    const Receive r(sent.data, sent.data + sent.size);
    TM_FUZZ_CHECK(static_cast<bool>(r));
    TM_FUZZ_CHECK(r.getMessage() == b.getMessage());
    TM_FUZZ_CHECK(r.getStatus() == b.getStatus());
    TM_FUZZ_CHECK(r.getOption() == b.getOption());
    TM_FUZZ_CHECK(r.size_data() == payloadSize);
    TM_FUZZ_CHECK(std::memcmp(r.get_data(), b.get_data(), payloadSize) == 0);
    // The pad bytes behind the payload are zero.
    const std::uint64_t padded = Send::paddedLength(payloadSize);
    for (std::uint64_t i = Send::HEADER_SIZE + payloadSize; i < padded; ++i) TM_FUZZ_CHECK(sent.data[i] == 0);
}

void buildMessages(const std::uint8_t* data, std::size_t size) {
    tmfuzz::Input in(data, size);
    const auto id = static_cast<MessageID>(in.u16());
    const auto status = static_cast<StatusID>(in.u16());
    const std::uint64_t option = in.u64();
    const std::uint8_t form = in.byte();
    const std::uint64_t n = in.u16();
    const std::uint64_t room = in.u16();
    std::size_t taken = 0;
    const std::uint8_t* bytes = in.take(in.left(), taken);

    SendBuffer b;
    b.set(id, status, option);
    // A reused buffer: earlier bytes must not show through as padding.
    b.resize(Send::MAX_PAYLOAD);
    b.fill(0xA5);
    switch (form % 4) {
    case 0: {
        b.resize(n);
        std::uint8_t* p = b.get_data();
        for (std::uint64_t i = 0; i < b.size_data(); ++i) p[i] = taken == 0 ? 0 : bytes[i % taken];
        break;
    }
    case 1: b.set_str(cyclic(bytes, taken, n)); break;
    case 2: {
        ORVEX::IPAddress address;
        std::memcpy(address.address.data(), &option, 8);
        address.port = static_cast<std::uint16_t>(n);
        b.set_add_str(address, cyclic(bytes, taken, n));
        break;
    }
    default: b.resize(n, room); break;
    }
    b.update();
    const std::uint64_t payloadSize = b.size_data();
    TM_FUZZ_CHECK(payloadSize <= Send::MAX_PAYLOAD);
    const ORVEX::BufferCS_const headerView = static_cast<const Send&>(b);
    TM_FUZZ_CHECK(headerView.size == Send::paddedLength(payloadSize));
    TM_FUZZ_CHECK(b.getLengthCode() == Send::lengthCode(payloadSize));
    TM_FUZZ_CHECK(Send::decodeLength(Send::lengthCode(payloadSize)) == payloadSize);
    checkReadBack(b, headerView, payloadSize);
    // The whole vector (extra room included) reads as the same message.
    const ORVEX::BufferCS_const whole = b;
    TM_FUZZ_CHECK(whole.size >= headerView.size);
    checkReadBack(b, whole, payloadSize);

    // Status flags change in the header and at once in the vector copy.
    const auto clear = static_cast<StatusID>(option >> 48);
    const auto set = static_cast<StatusID>(option >> 32);
    const auto expected = static_cast<StatusID>((b.getStatus() & ~clear) | set);
    b.statusUpdate(clear, set);
    TM_FUZZ_CHECK(b.getStatus() == expected);
    checkReadBack(b, static_cast<const Send&>(b), payloadSize);

    // Copies and moves keep the message and point at their own bytes.
    SendBuffer copy(b);
    TM_FUZZ_CHECK(static_cast<ORVEX::BufferCS_const>(copy).data != whole.data);
    checkReadBack(copy, static_cast<const Send&>(copy), payloadSize);
    SendBuffer other;
    other.move(copy);
    checkReadBack(other, static_cast<const Send&>(other), payloadSize);

    // A header-only message with the 64-bit option, and its hex dump.
    const Send plain(id, status, option);
    TM_FUZZ_CHECK(plain.getOption() == option);
    TM_FUZZ_CHECK(plain.getOption0() == static_cast<std::uint16_t>(option));
    TM_FUZZ_CHECK(plain.getOption3() == static_cast<std::uint16_t>(option >> 48));
    TM_FUZZ_CHECK(plain.dump().size() == 16 * 3 - 1);

    // The header-less stream form: payload and a trailer with the sequence.
    SendBuffer ms;
    ms.set(id, status, static_cast<std::uint16_t>(option), 0, 0, 0);
    ms.ms_resize(n);
    const bool suppress = (form & 0x80) != 0;
    const ORVEX::BufferCS_const datagram = ms.ms_send(suppress);
    TM_FUZZ_CHECK(datagram.size == ms.size_data() + 1);
    std::uint8_t trailer = static_cast<std::uint8_t>(option & 0x7F);
    if (!suppress && (status & 0x0020) != 0) trailer |= 0x80;
    TM_FUZZ_CHECK(datagram.data[datagram.size - 1] == trailer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    readReceived(data, size);
    // The same header in a datagram about as long as its length code says
    // (short or long by up to 15 bytes, the rest zeros): large payloads
    // without large inputs.
    if (size >= 4) {
        const std::size_t code = (data[2] | data[3] << 8) & ~7u;
        const std::size_t length = code + (data[0] & 0x0F) - ((data[0] >> 4) & 0x0F);
        if (length <= 65535 + 15) {
            std::string datagram(reinterpret_cast<const char*>(data), size < length ? size : length);
            datagram.resize(length, '\0');
            readReceived(reinterpret_cast<const std::uint8_t*>(datagram.data()), datagram.size());
        }
    }
    buildMessages(data, size);
    return 0;
}
