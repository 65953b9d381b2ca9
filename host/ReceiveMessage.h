// Reassembly of controller frames across reads. Each read goes straight
// into the buffer behind the bytes already there; complete frames are handed
// out as views and consumed from the front. The storage grows with the bytes
// that actually arrived, doubling, so a large frame costs a bounded number of
// copies and a promised length alone reserves nothing; growth beyond the
// small start buffer is taken from a budget shared by all controllers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/Buffer.h"
#include "host/ReceiveBudget.h"

namespace TolvenmarkControll {

class ReceiveMessage {
public:
    static constexpr std::size_t PrefixSize = 9;         // length (3), type (1), reserved (5)
    static constexpr std::size_t TextMinimum = 15;       // prefix and the 6 reserved text bytes
    static constexpr std::size_t ReadSize = 1 << 20;     // bytes asked for per read, at most
    static constexpr std::size_t MaxFrame = PrefixSize + 0xFFFFFF;  // prefix and the largest 24-bit payload
    // The first storage of a buffer, not taken from the budget.
    static constexpr std::size_t StartCapacity = 16 << 10;
    // A read area smaller than this is made larger first.
    static constexpr std::size_t MinRead = 4 << 10;
    // The largest frame and one read more: the buffered bytes are never more
    // than one incomplete frame when a read begins.
    static constexpr std::size_t MaxCapacity = MaxFrame + ReadSize;
    static constexpr std::uint8_t TypeData = 0;
    static constexpr std::uint8_t TypeText = 1;
    static constexpr std::uint8_t TypeTag = 2;

    // A complete frame at the front of the buffer.
    struct Frame {
        std::uint8_t type = 0;
        ORVEX::BufferCS_const payload;  // L bytes after the prefix
    };
    enum class Cut { Frame, NeedMore, BadType };
    // Why the last readArea had no room to offer.
    enum class Refusal { None, BudgetFull, NoMemory, TooLarge };

    // Without a budget only the buffer's own bound (MaxCapacity) holds.
    explicit ReceiveMessage(ReceiveBudget* budget = nullptr) : budget_(budget) {}
    ~ReceiveMessage();
    ReceiveMessage(const ReceiveMessage&) = delete;
    ReceiveMessage& operator=(const ReceiveMessage&) = delete;

    // Writable room behind the buffered bytes for one read (at most
    // ReadSize). Empty when the buffer could not grow: see refusal().
    ORVEX::BufferCS readArea();
    // `count` bytes of the last readArea were filled.
    void commit(std::size_t count);
    // Appends bytes (a copy; used where no socket read is involved). False,
    // with nothing appended past the refusal, when the buffer could not grow.
    [[nodiscard]] bool append(ORVEX::BufferCS_const bytes);

    // Looks at the front: Frame (with `frame` filled and type/length set) when a
    // whole frame is buffered, NeedMore when more bytes are needed, BadType for
    // a frame of type 3 or above (length and type are set then too).
    [[nodiscard]] Cut peek(Frame& frame);
    // Removes the frame that peek returned.
    void consume();

    // Gives back budgeted storage the buffered bytes do not need (all of it
    // when nothing is buffered, all but a start buffer when few bytes are).
    void trim();

    std::size_t buffered() const { return end_ - begin_; }
    std::size_t capacity() const { return capacity_; }
    Refusal refusal() const { return refusal_; }
    static const char* refusalText(Refusal refusal);

    std::uint8_t type = 0;     // type byte of the frame being parsed
    std::uint64_t length = 0;  // payload length L of the frame being parsed

private:
    // At least MinRead bytes of room behind the buffered ones.
    [[nodiscard]] bool makeRoom();
    // Moves the buffered bytes into new storage of `size` bytes.
    [[nodiscard]] bool reallocate(std::size_t size);
    static std::size_t chargeOf(std::size_t size) { return size > StartCapacity ? size : 0; }

    ReceiveBudget* budget_;
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t capacity_ = 0;
    std::size_t charged_ = 0;  // bytes of capacity_ taken from the budget
    std::size_t begin_ = 0;    // first unconsumed byte
    std::size_t end_ = 0;      // one past the last received byte
    Refusal refusal_ = Refusal::None;
};

}  // namespace TolvenmarkControll
