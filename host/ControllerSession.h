// The controller server's callbacks: accepting controllers, reading their
// bytes, cutting frames and handing each to the commands. Main thread only.
#pragma once

#include "foundation/TCPV6Server.h"
#include "host/ClientST.h"
#include "host/ControllerCommands.h"
#include "host/ControllerTable.h"
#include "host/ReceiveMessage.h"

class ControllerSession {
public:
    using Client = ORVEX::TCPV6Server::Client;

    // Receive buffer size asked of each controller connection.
    static constexpr std::size_t ReceiveSize = 1 << 20;

    ControllerSession(ControllerTable& table, ControllerCommands& commands);

    // Accept callback: always keeps the connection.
    bool acceptController(Client& client);
    // Receive callback: one read, then every complete frame; false drops the connection.
    bool receiveController(Client& client);
    // Cuts and runs the buffered frames; false drops the connection.
    [[nodiscard]] bool processMessage(Client& client, TolvenmarkControll::ReceiveMessage& msg, ClientST& entry);

private:
    ControllerTable& table;
    ControllerCommands& commands;
};
