#include "host/ControllerTable.h"

ClientST& ControllerTable::entryFor(Client& client) {
    auto [it, created] = clients.try_emplace(&client, &budget);
    if (created) it->second.client = &client;
    return it->second;
}

void ControllerTable::erase(Client& client) { clients.erase(&client); }

void ControllerTable::trimReceiveBuffers(const ClientST& needing) {
    for (auto& [client, entry] : clients)
        if (&entry != &needing) entry.msg.trim();
}

void ControllerTable::sendTo(ClientST& entry, const TolvenmarkControll::SnedMessageFrames& frame) {
    // A failed client is shut down (logged once); its next receive drops it.
    if (entry.client != nullptr) (void)entry.client->send(frame.view());
}

void ControllerTable::pushRegistered(const TolvenmarkControll::SnedMessageFrames& frame) {
    for (auto& [client, entry] : clients)
        if (entry.registered) sendTo(entry, frame);
}
