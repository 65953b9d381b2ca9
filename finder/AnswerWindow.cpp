#include "finder/AnswerWindow.h"

namespace ZARNITH {

AnswerWindow::AnswerWindow(ORVEX::Clock windowLength) : start(ORVEX::Clock::now()), length(windowLength) {}

bool AnswerWindow::next(ORVEX::Clock& waitFor) {
    const ORVEX::Clock elapsed = ORVEX::Clock::now() - start;
    waitFor = ORVEX::Clock::remaining(length, elapsed);
    if (waitFor.isSet()) return true;
    if (latePolls >= LatePolls) return false;
    ++latePolls;
    return true;
}

bool AnswerWindow::expired() const {
    return !ORVEX::Clock::remaining(length, ORVEX::Clock::now() - start).isSet();
}

}  // namespace ZARNITH
