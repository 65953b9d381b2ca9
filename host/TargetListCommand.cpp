#include "host/TargetListCommand.h"

#include "foundation/SysLog.h"
#include "host/ReceiveMessage.h"

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_NOTICE;
using ORVEX::SysLog::LEVEL_WARNING;
using TolvenmarkControll::ReceiveMessage;
using TolvenmarkControll::SnedMessageFrames;

namespace {

bool holdsLineEnd(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

}  // namespace

TargetListCommand::TargetListCommand(std::uint16_t interfaceIndex, const std::atomic<bool>& running)
    : interfaceIndex(interfaceIndex), running(running) {}

bool TargetListCommand::run(SnedMessageFrames& frame) const {
    LEVEL_NOTICE << "Target List";
    ZARNITH::Find::Setting setting;
    setting.productId = FinderProductId;
    setting.name = FinderName;
    ZARNITH::Find finder(setting);
    finder.setLimit(ZARNITH::FindLimit(ORVEX::Clock::now() + Budget, &running));
    // A failed open leaves the socket closed; the discovery below then fails.
    (void)finder.open(interfaceIndex);

    Found found;
    if (!finder.findTarget(found)) {
        LEVEL_ERROR << "Socket Err";
        return false;
    }
    ORVEX::Socket::AddressList own;
    if (ORVEX::Socket::getMyAddresV6(own))
        dropOwnTargets(found, own);
    else
        LEVEL_WARNING << "Target List own addresses unknown";

    Ports ports;
    if (!finder.findTarget(found, ports, Mode)) {
        LEVEL_ERROR << "Socket Err";
        return false;
    }
    if (finder.limitReached()) {
        LEVEL_NOTICE << (running.load() ? "Target List time limit, ports listed : " : "Target List stopped, ports listed : ")
                     << static_cast<unsigned long>(ports.size());
    }
    addLines(ports, frame);
    return true;
}

bool TargetListCommand::lineValue(const ORVEX::IPAddress& port, const ZARNITH::Find::TargetConnectInfo& info,
                                  std::string& value) {
    if (holdsLineEnd(info.name) || holdsLineEnd(info.portName)) return false;
    port.get_str(value);
    value += ' ';
    value += std::to_string(port.ifIndex);
    value += ' ';
    value += info.name;
    if (!info.portName.empty()) value += "(" + info.portName + ")";
    return true;
}

void TargetListCommand::addLines(const Ports& ports, SnedMessageFrames& frame) {
    for (const auto& [port, info] : ports) {
        std::string where;
        port.get_str(where);
        std::string value;
        if (!lineValue(port, info, value)) {
            LEVEL_WARNING << "TargetList line refused, name with a line end: " << where;
            continue;
        }
        // Key, "=", value, CR LF behind the bytes already in the frame.
        const std::size_t payload =
            frame.frame.size() - ReceiveMessage::PrefixSize + std::string(Key).size() + 1 + value.size() + 2;
        if (payload > FramePayloadLimit) {
            LEVEL_WARNING << "TargetList frame full, lines left out from " << where;
            return;
        }
        frame.addHeader(Key, value);
    }
}

void TargetListCommand::dropOwnTargets(Found& found, const ORVEX::Socket::AddressList& own) {
    for (auto it = found.begin(); it != found.end();) {
        bool mine = false;
        for (const auto& entry : own) mine = mine || entry.first.same_host(it->first);
        if (!mine) {
            ++it;
            continue;
        }
        std::string where;
        it->first.get_str(where);
        LEVEL_INFO << "Target List skip own " << where;
        it = found.erase(it);
    }
}
