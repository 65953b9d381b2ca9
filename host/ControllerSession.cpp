#include "host/ControllerSession.h"

#include <algorithm>

#include "foundation/SysLog.h"

using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;
using TolvenmarkControll::ReceiveMessage;

ControllerSession::ControllerSession(ControllerTable& table, ControllerCommands& commands)
    : table(table), commands(commands) {}

bool ControllerSession::acceptController(Client& client) {
    LEVEL_INFO << "New Controller";
    if (client.socket != nullptr) client.socket->receiveSize = ReceiveSize;
    return true;
}

bool ControllerSession::receiveController(Client& client) {
    ClientST& entry = table.entryFor(client);
    if (client.socket == nullptr) {
        table.erase(client);
        return false;
    }
    // The bytes go straight behind the ones still buffered.
    ORVEX::BufferCS area = entry.msg.readArea();
    if (area.size == 0) {
        // Storage that idle controllers keep may be what this one needs.
        table.trimReceiveBuffers(entry);
        area = entry.msg.readArea();
    }
    if (area.size == 0) {
        // Nothing read stays readable: the controller goes, the others stay served.
        LEVEL_WARNING << "Controller frame refused: " << ReceiveMessage::refusalText(entry.msg.refusal())
                      << ", buffered " << static_cast<unsigned long>(entry.msg.buffered()) << " of "
                      << static_cast<unsigned long>(ReceiveMessage::PrefixSize + entry.msg.length);
        LEVEL_INFO << "Disconnect Controller";
        table.erase(client);
        return false;
    }
    area.size = std::min<std::uint64_t>(area.size, ReceiveMessage::ReadSize);
    std::size_t count = 0;
    if (!client.socket->receive(area, count)) {
        LEVEL_INFO << "Disconnect Controller";
        table.erase(client);
        return false;
    }
    if (count == 0) return true;  // woken without data
    entry.msg.commit(count);
    if (!processMessage(client, entry.msg, entry)) {
        LEVEL_INFO << "Disconnect Controller";
        table.erase(client);
        return false;
    }
    return true;
}

bool ControllerSession::processMessage(Client& client, ReceiveMessage& msg, ClientST& entry) {
    (void)client;
    LEVEL_INFO << "Rcv : " << static_cast<unsigned long>(msg.buffered());
    for (;;) {
        ReceiveMessage::Frame frame;
        const ReceiveMessage::Cut cut = msg.peek(frame);
        if (cut == ReceiveMessage::Cut::NeedMore) return true;
        if (cut == ReceiveMessage::Cut::BadType) {
            // Nothing after an unknown frame can be trusted to line up.
            LEVEL_WARNING << "FrameType unknown " << static_cast<unsigned>(msg.type) << " length "
                          << static_cast<unsigned long>(msg.length);
            return false;
        }
        LEVEL_INFO << "FrameType : " << static_cast<unsigned>(frame.type);
        bool keep = true;
        switch (frame.type) {
        case ReceiveMessage::TypeData: commands.dataFrame(entry, frame.payload); break;
        case ReceiveMessage::TypeTag: commands.tagFrame(entry, frame.payload); break;
        default: keep = commands.textFrame(entry, frame.payload); break;
        }
        if (!keep) return false;
        msg.consume();
    }
}
