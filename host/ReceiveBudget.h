// The storage that the controllers' receive buffers hold beyond their small
// start, against one bound for all of them together. Main thread only.
#pragma once

#include <cstddef>

class ReceiveBudget {
public:
    // Room for several controllers that each assemble the largest frame
    // (16 MiB) at the same time, and small beside the track itself. Every
    // controller also has a start buffer outside the bound
    // (ReceiveMessage::StartCapacity, 16 KiB), and there are fewer than 1024
    // controllers (their descriptors must fit the waiter's set), so all
    // receive buffers together stay below 128 MiB + 16 MiB.
    static constexpr std::size_t Limit = std::size_t{128} << 20;

    explicit ReceiveBudget(std::size_t limit = Limit) : limit_(limit) {}
    ReceiveBudget(const ReceiveBudget&) = delete;
    ReceiveBudget& operator=(const ReceiveBudget&) = delete;

    // Takes `bytes` when they fit under the bound; false leaves it unchanged.
    [[nodiscard]] bool take(std::size_t bytes) {
        if (bytes > limit_ - used_) return false;
        used_ += bytes;
        return true;
    }
    void give(std::size_t bytes) { used_ -= bytes < used_ ? bytes : used_; }

    std::size_t used() const { return used_; }
    std::size_t limit() const { return limit_; }

private:
    std::size_t limit_;
    std::size_t used_ = 0;
};
