// One connected controller: its registration for pushes and the reassembly
// state of its frames. Main thread only.
#pragma once

#include "foundation/TCPV6Server.h"
#include "host/ReceiveBudget.h"
#include "host/ReceiveMessage.h"

struct ClientST {
    ClientST() = default;
    // Its receive buffer grows within `budget`, shared with the other controllers.
    explicit ClientST(ReceiveBudget* budget) : msg(budget) {}

    ORVEX::TCPV6Server::Client* client = nullptr;  // the connection (owned by the server)
    bool registered = false;                       // set by "Request" = "Status", never cleared
    TolvenmarkControll::ReceiveMessage msg;
};
