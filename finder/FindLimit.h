// How long a finder's operations may go on: an optional deadline and an
// optional run flag of the caller (the operations stop once it reads false).
// Every wait of the finder is cut to the deadline and looks at the flag at
// least every StopCheck; once the limit is reached, waits end at once as if
// their window had passed, and the scans return what they found so far.
#pragma once

#include <atomic>
#include <cstddef>

#include "foundation/Clock.h"

namespace ZARNITH {

class FindLimit {
public:
    // Longest single wait between two looks at the run flag.
    static constexpr ORVEX::Clock StopCheck = ORVEX::Clock::fromMilliseconds(10);

    // No limit.
    FindLimit() = default;
    // `deadline` 0: none; `running` null: none. The flag must outlive the
    // operations it limits.
    FindLimit(ORVEX::Clock deadline, const std::atomic<bool>* running);

    // The deadline has passed or the run flag is cleared.
    [[nodiscard]] bool reached() const;
    // `wait` cut to the time left before the deadline and, with a run flag,
    // to StopCheck.
    [[nodiscard]] ORVEX::Clock clip(ORVEX::Clock wait) const;
    // This limit with its deadline brought forward to an even share of the
    // time left: now + left / `parts` (`parts` above 0; unchanged without a
    // deadline).
    [[nodiscard]] FindLimit share(std::size_t parts) const;

private:
    ORVEX::Clock deadline;
    // Read on the finder's thread; cleared by its owner from any thread or
    // from a signal handler.
    const std::atomic<bool>* running = nullptr;
};

}  // namespace ZARNITH
