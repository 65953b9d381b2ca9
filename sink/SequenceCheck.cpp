#include "sink/SequenceCheck.h"

#include "sink/SequenceNumber.h"

namespace ZARNITH {

void SequenceCheck::reset(ORVEX::Clock now) {
    expected_ = 0;
    resendClock_ = now;
}

SequenceCheck::Verdict SequenceCheck::check(std::uint16_t sequence) const {
    const std::int16_t d = SequenceNumber::distance(expected_, sequence);
    if (d == 0) return Verdict::InOrder;
    return d > 0 ? Verdict::Gap : Verdict::Old;
}

SequenceCheck::Verdict SequenceCheck::check7(std::uint8_t sequence) const {
    return (sequence & 0x7F) == (expected_ & 0x7F) ? Verdict::InOrder : Verdict::Gap;
}

void SequenceCheck::accepted(ORVEX::Clock now) {
    expected_ = SequenceNumber::next(expected_);
    resendClock_ = now;
}

bool SequenceCheck::takeResendSlot(ORVEX::Clock now) {
    if (resendClock_.Comp(now) > 0) return false;
    resendClock_ = now + ResendSpacing;
    return true;
}

}  // namespace ZARNITH
