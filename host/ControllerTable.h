// The connected controllers, keyed by the server's client object, and the
// sends to them. Sends never block: the server queues what the socket does
// not take and drops a controller whose queue overflows. Main thread only.
#pragma once

#include <cstddef>
#include <map>

#include "foundation/TCPV6Server.h"
#include "host/ClientST.h"
#include "host/SnedMessageFrames.h"

class ControllerTable {
public:
    using Client = ORVEX::TCPV6Server::Client;

    // The entry of a connection, created (unregistered, empty) when absent.
    ClientST& entryFor(Client& client);
    void erase(Client& client);
    std::size_t size() const { return clients.size(); }

    // To one controller; a failed send is left to the next read to find.
    void sendTo(ClientST& entry, const TolvenmarkControll::SnedMessageFrames& frame);
    // To every registered controller.
    void pushRegistered(const TolvenmarkControll::SnedMessageFrames& frame);

private:
    std::map<Client*, ClientST> clients;
};
