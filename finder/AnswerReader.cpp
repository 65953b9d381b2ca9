#include "finder/AnswerReader.h"

namespace ZARNITH {

AnswerReader::Result AnswerReader::next(AnswerWindow& window, Receive& received, ORVEX::IPAddress& from) {
    ORVEX::Clock left;
    while (!limit.reached() && window.next(left)) {
        const ORVEX::WaitResult ready = socket.wait(limit.clip(left));
        if (ready == ORVEX::WaitResult::Error) return WAIT_FAILED;
        if (ready == ORVEX::WaitResult::TimeOut) {
            if (window.expired()) return OVER;
            continue;  // cut short (a signal, a look at the limit): wait for the rest
        }
        if (!socket.receiveFromV6(received, from)) return RECEIVE_FAILED;
        if (!received.empty()) return DATAGRAM;
    }
    return OVER;
}

}  // namespace ZARNITH
