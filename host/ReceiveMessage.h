// Reassembly of controller frames across reads. Received bytes are appended
// in place; complete frames are handed out as views and consumed from the
// front without moving the bytes behind them, so a large frame arriving in
// many reads is copied into the buffer once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/Buffer.h"

namespace TolvenmarkControll {

class ReceiveMessage {
public:
    static constexpr std::size_t PrefixSize = 9;         // length (3), type (1), reserved (5)
    static constexpr std::size_t TextMinimum = 15;       // prefix and the 6 reserved text bytes
    static constexpr std::size_t ReadSize = 1 << 20;     // bytes asked for per read
    static constexpr std::uint8_t TypeData = 0;
    static constexpr std::uint8_t TypeText = 1;
    static constexpr std::uint8_t TypeTag = 2;

    // A complete frame at the front of the buffer.
    struct Frame {
        std::uint8_t type = 0;
        ORVEX::BufferCS_const payload;  // L bytes after the prefix
    };
    enum class Cut { Frame, NeedMore, BadType };

    ReceiveMessage() = default;
    ReceiveMessage(const ReceiveMessage&) = delete;
    ReceiveMessage& operator=(const ReceiveMessage&) = delete;

    // Writable room of ReadSize bytes behind the buffered bytes, for one read.
    ORVEX::BufferCS readArea();
    // `count` bytes of the last readArea were filled.
    void commit(std::size_t count);
    // Appends bytes (a copy; used where no socket read is involved).
    void append(ORVEX::BufferCS_const bytes);

    // Looks at the front: Frame (with `frame` filled and type/length set) when a
    // whole frame is buffered, NeedMore when more bytes are needed, BadType for
    // a frame of type 3 or above (length and type are set then too).
    [[nodiscard]] Cut peek(Frame& frame);
    // Removes the frame that peek returned.
    void consume();

    std::size_t buffered() const { return end_ - begin_; }
    std::size_t capacity() const { return capacity_; }

    std::uint8_t type = 0;     // type byte of the frame being parsed
    std::uint64_t length = 0;  // payload length L of the frame being parsed

private:
    // Makes room for `room` bytes behind the buffered ones.
    void ensureTail(std::size_t room);

    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // first unconsumed byte
    std::size_t end_ = 0;    // one past the last received byte
};

}  // namespace TolvenmarkControll
