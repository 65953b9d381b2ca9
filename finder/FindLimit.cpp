#include "finder/FindLimit.h"

namespace ZARNITH {

FindLimit::FindLimit(ORVEX::Clock deadlineAt, const std::atomic<bool>* runFlag)
    : deadline(deadlineAt), running(runFlag) {}

bool FindLimit::reached() const {
    if (running != nullptr && !running->load()) return true;
    return deadline.isSet() && ORVEX::Clock::now().Comp(deadline) >= 0;
}

namespace {

// Time from `now` to `deadline`; 0 once it has passed.
ORVEX::Clock timeLeft(ORVEX::Clock deadline, ORVEX::Clock now) {
    return now.Comp(deadline) < 0 ? deadline - now : ORVEX::Clock();
}

}  // namespace

ORVEX::Clock FindLimit::clip(ORVEX::Clock wait) const {
    if (running != nullptr && StopCheck.Comp(wait) < 0) wait = StopCheck;
    if (!deadline.isSet()) return wait;
    const ORVEX::Clock left = timeLeft(deadline, ORVEX::Clock::now());
    return left.Comp(wait) < 0 ? left : wait;
}

FindLimit FindLimit::share(std::size_t parts) const {
    FindLimit part = *this;
    if (!deadline.isSet() || parts == 0) return part;
    const ORVEX::Clock now = ORVEX::Clock::now();
    part.deadline = now + timeLeft(deadline, now) / parts;
    return part;
}

}  // namespace ZARNITH
