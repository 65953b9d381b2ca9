#include "host/ReceiveMessage.h"

#include <algorithm>
#include <cstring>

namespace TolvenmarkControll {

namespace {
// An empty buffer holding more than this gives its storage back.
constexpr std::size_t KeepCapacity = 4 * ReceiveMessage::ReadSize;
}  // namespace

void ReceiveMessage::ensureTail(std::size_t room) {
    if (capacity_ - end_ >= room) return;
    const std::size_t live = end_ - begin_;
    if (live + room <= capacity_ && begin_ >= live) {
        // Enough space in front and the live part is small against it: slide down.
        std::memmove(data_.get(), data_.get() + begin_, live);
    } else {
        const std::size_t wanted = std::max(capacity_ + capacity_ / 2, live + room);
        std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[wanted]);
        if (live != 0) std::memcpy(grown.get(), data_.get() + begin_, live);
        data_ = std::move(grown);
        capacity_ = wanted;
    }
    begin_ = 0;
    end_ = live;
}

ORVEX::BufferCS ReceiveMessage::readArea() {
    if (begin_ == end_) {
        begin_ = end_ = 0;
        if (capacity_ > KeepCapacity) {
            data_.reset();
            capacity_ = 0;
        }
    }
    ensureTail(ReadSize);
    return ORVEX::BufferCS(data_.get() + end_, capacity_ - end_);
}

void ReceiveMessage::commit(std::size_t count) { end_ += std::min(count, capacity_ - end_); }

void ReceiveMessage::append(ORVEX::BufferCS_const bytes) {
    if (bytes.size == 0) return;
    ensureTail(static_cast<std::size_t>(bytes.size));
    std::memcpy(data_.get() + end_, bytes.data, static_cast<std::size_t>(bytes.size));
    end_ += static_cast<std::size_t>(bytes.size);
}

ReceiveMessage::Cut ReceiveMessage::peek(Frame& frame) {
    const std::size_t have = buffered();
    if (have < PrefixSize) return Cut::NeedMore;
    const std::uint8_t* p = data_.get() + begin_;
    length = (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[1]) << 8) | p[2];
    const std::size_t total = PrefixSize + static_cast<std::size_t>(length);
    if (have < total) {
        // Room for the whole frame (and one read more) now, so that the rest
        // of it is received in place and never moved again.
        const std::size_t missing = total - have;
        ensureTail(missing + ReadSize);
        return Cut::NeedMore;
    }
    type = p[3];
    if (type > TypeTag) return Cut::BadType;
    // A text frame waits until its reserved bytes could be there.
    if (type == TypeText && have < TextMinimum) return Cut::NeedMore;
    frame.type = type;
    frame.payload = ORVEX::BufferCS_const(p + PrefixSize, length);
    return Cut::Frame;
}

void ReceiveMessage::consume() {
    const std::size_t total = PrefixSize + static_cast<std::size_t>(length);
    begin_ += std::min(total, buffered());
    if (begin_ == end_) begin_ = end_ = 0;
}

}  // namespace TolvenmarkControll
