// The connected controllers, keyed by the server's client object, and the
// sends to them. Sends never block: the server queues what the socket does
// not take and drops a controller whose queue overflows. Main thread only.
#pragma once

#include <cstddef>
#include <map>

#include "foundation/TCPV6Server.h"
#include "host/ClientST.h"
#include "host/ReceiveBudget.h"
#include "host/SnedMessageFrames.h"

class ControllerTable {
public:
    using Client = ORVEX::TCPV6Server::Client;

    // The entry of a connection, created (unregistered, empty) when absent;
    // its receive buffer grows within the table's budget.
    ClientST& entryFor(Client& client);
    void erase(Client& client);
    std::size_t size() const { return clients.size(); }

    // Gives back the receive storage that the other controllers' buffered
    // bytes do not need, to make room for `needing`.
    void trimReceiveBuffers(const ClientST& needing);
    const ReceiveBudget& receiveBudget() const { return budget; }

    // To one controller; a failed send is left to the next read to find.
    void sendTo(ClientST& entry, const TolvenmarkControll::SnedMessageFrames& frame);
    // To every registered controller.
    void pushRegistered(const TolvenmarkControll::SnedMessageFrames& frame);

private:
    ReceiveBudget budget;  // declared first: the entries give their storage back to it
    std::map<Client*, ClientST> clients;
};
