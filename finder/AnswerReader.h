// The finder's one way to wait for a datagram: waits on the finder's socket
// within an answer window, with every wait cut by the finder's limit, and
// takes the next non-empty datagram with its source. The caller decides what
// the datagram is worth.
#pragma once

#include "finder/AnswerWindow.h"
#include "finder/FindLimit.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/Receive.h"

namespace ZARNITH {

class AnswerReader {
public:
    enum Result {
        DATAGRAM,        // `received` and `from` hold the next datagram
        OVER,            // the window (or the finder's limit) has run out
        WAIT_FAILED,     // the socket wait failed
        RECEIVE_FAILED,  // the receive failed
    };

    AnswerReader(ORVEX::Socket& socket, const FindLimit& limit) : socket(socket), limit(limit) {}

    [[nodiscard]] Result next(AnswerWindow& window, Receive& received, ORVEX::IPAddress& from);

private:
    ORVEX::Socket& socket;
    const FindLimit& limit;
};

}  // namespace ZARNITH
