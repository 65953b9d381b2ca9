// The time an exchange waits for its answers, counted from the send. Stray
// datagrams never extend it: the time left always counts from the start, and
// once the window is over only a few polls for datagrams already queued are
// granted, so a flood cannot keep the caller waiting.
#pragma once

#include "foundation/Clock.h"

namespace ZARNITH {

class AnswerWindow {
public:
    // Polls granted after the window has ended.
    static constexpr int LatePolls = 8;

    // Starts now.
    explicit AnswerWindow(ORVEX::Clock length);

    // The time the next wait may take (0 after the end: a poll); false when the
    // window and its late polls are used up.
    [[nodiscard]] bool next(ORVEX::Clock& waitFor);
    // Whether the window's time has run out.
    bool expired() const;

private:
    ORVEX::Clock start;
    ORVEX::Clock length;
    int latePolls = 0;
};

}  // namespace ZARNITH
