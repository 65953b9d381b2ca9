#include "host/ReceiveMessage.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace TolvenmarkControll {

ReceiveMessage::~ReceiveMessage() {
    if (budget_ != nullptr) budget_->give(charged_);
}

const char* ReceiveMessage::refusalText(Refusal refusal) {
    switch (refusal) {
    case Refusal::None: return "none";
    case Refusal::BudgetFull: return "receive budget full";
    case Refusal::NoMemory: return "out of memory";
    case Refusal::TooLarge: return "frame too large";
    }
    return "unknown";
}

bool ReceiveMessage::reallocate(std::size_t size) {
    const std::size_t live = buffered();
    const std::size_t charge = chargeOf(size);
    // The new storage is taken before the old is given back: the bound holds
    // also while both exist.
    if (charge != 0 && budget_ != nullptr && !budget_->take(charge)) {
        refusal_ = Refusal::BudgetFull;
        return false;
    }
    std::unique_ptr<std::uint8_t[]> moved(new (std::nothrow) std::uint8_t[size]);
    if (!moved) {
        if (charge != 0 && budget_ != nullptr) budget_->give(charge);
        refusal_ = Refusal::NoMemory;
        return false;
    }
    if (live != 0) std::memcpy(moved.get(), data_.get() + begin_, live);
    data_ = std::move(moved);
    if (budget_ != nullptr) budget_->give(charged_);
    charged_ = charge;
    capacity_ = size;
    begin_ = 0;
    end_ = live;
    return true;
}

bool ReceiveMessage::makeRoom() {
    if (capacity_ - end_ >= MinRead) return true;
    const std::size_t live = buffered();
    // Slide down when the free front is at least as large as what moves, so
    // that every byte moves a bounded number of times; at the largest size
    // sliding is the only way.
    if (begin_ != 0 && (begin_ >= live || capacity_ >= MaxCapacity)) {
        std::memmove(data_.get(), data_.get() + begin_, live);
        begin_ = 0;
        end_ = live;
        if (capacity_ - end_ >= MinRead) return true;
    }
    // The buffer is full of bytes that arrived: double it.
    const std::size_t size = capacity_ == 0 ? StartCapacity : std::min(MaxCapacity, 2 * capacity_);
    if (size < live + MinRead) {
        refusal_ = Refusal::TooLarge;
        return false;
    }
    return reallocate(size);
}

ORVEX::BufferCS ReceiveMessage::readArea() {
    if (begin_ == end_) begin_ = end_ = 0;
    if (!makeRoom()) return ORVEX::BufferCS();
    refusal_ = Refusal::None;
    return ORVEX::BufferCS(data_.get() + end_, std::min(capacity_ - end_, ReadSize));
}

void ReceiveMessage::commit(std::size_t count) { end_ += std::min(count, capacity_ - end_); }

bool ReceiveMessage::append(ORVEX::BufferCS_const bytes) {
    std::uint64_t at = 0;
    while (at < bytes.size) {
        const ORVEX::BufferCS area = readArea();
        if (area.size == 0) return false;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(area.size, bytes.size - at));
        std::memcpy(area.data, bytes.data + at, n);
        commit(n);
        at += n;
    }
    return true;
}

void ReceiveMessage::trim() {
    if (charged_ == 0) return;
    const std::size_t live = buffered();
    if (live == 0) {
        data_.reset();
        capacity_ = 0;
        begin_ = end_ = 0;
        if (budget_ != nullptr) budget_->give(charged_);
        charged_ = 0;
        return;
    }
    if (live + MinRead <= StartCapacity) (void)reallocate(StartCapacity);
}

ReceiveMessage::Cut ReceiveMessage::peek(Frame& frame) {
    const std::size_t have = buffered();
    if (have < PrefixSize) return Cut::NeedMore;
    const std::uint8_t* p = data_.get() + begin_;
    length = (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[1]) << 8) | p[2];
    // Room for the rest is made as its bytes arrive, never for a promise.
    if (have < PrefixSize + static_cast<std::size_t>(length)) return Cut::NeedMore;
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
