#include "finder/AnswerReader.h"

namespace ZARNITH {

AnswerReader::Result AnswerReader::next(AnswerWindow& window, Receive& received, ORVEX::IPAddress& from) {
    ORVEX::Clock left;
    while (!limit.reached() && window.next(left)) {
        const int ready = socket.wait(limit.clip(left));
        if (ready == 0) return WAIT_FAILED;
        if (ready == 1) {
            if (window.expired()) return OVER;
            continue;  // cut short (a signal, a look at the limit): wait for the rest
        }
        if (!socket.receiveFromV6(received, from)) return RECEIVE_FAILED;
        if (!received.empty()) return DATAGRAM;
    }
    return OVER;
}

}  // namespace ZARNITH
