// The in-order rule of one stream connection: which sequence number is due
// next, whether a datagram is due, missing ones lie before it, or it is old,
// and when the next resend request may go out (at most one per 10 ms).
// Used by one thread at a time (the thread that receives the stream data).
#pragma once

#include <cstdint>

#include "foundation/Clock.h"

namespace ZARNITH {

class SequenceCheck {
public:
    enum class Verdict {
        InOrder,  // the expected datagram: deliver it
        Gap,      // datagrams before it are missing: drop it, ask for a resend
        Old,      // before the expected one (a repeat or a late resend): drop it
    };

    static constexpr ORVEX::Clock ResendSpacing = ORVEX::Clock::fromMilliseconds(10);

    // A new connection: sequence 0 is due; resends may be asked for from `now`.
    void reset(ORVEX::Clock now);

    // Verdict for a full 16-bit sequence number.
    Verdict check(std::uint16_t sequence) const;
    // Verdict for a 7-bit sequence number (header-less mode); a 7-bit number
    // cannot tell old from ahead, so anything but the due one is a gap.
    Verdict check7(std::uint8_t sequence) const;

    // The due datagram was delivered at `now`: the next one is due, and a gap
    // seen after this may be asked for at once.
    void accepted(ORVEX::Clock now);
    // Whether a resend request may go out at `now`; when it may, the next one
    // is held off for ResendSpacing.
    [[nodiscard]] bool takeResendSlot(ORVEX::Clock now);

    std::uint16_t expected() const { return expected_; }

private:
    std::uint16_t expected_ = 0;
    ORVEX::Clock resendClock_;  // earliest time of the next resend request
};

}  // namespace ZARNITH
