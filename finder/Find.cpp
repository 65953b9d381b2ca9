// Set-up of the finder and its two request exchanges.
#include "finder/Find.h"

#include <algorithm>

#include "finder/AnswerReader.h"
#include "finder/AnswerWindow.h"
#include "finder/PeerMatch.h"
#include "foundation/SysLog.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

namespace {

ORVEX::IPAddress multicastTarget(std::uint32_t ifIndex) {
    ORVEX::IPAddress to;
    to.address[0] = 0xFF;
    to.address[1] = 0x02;
    to.address[15] = 1;
    to.set_port(TargetPort);
    to.ifIndex = ifIndex;
    return to;
}

}  // namespace

Find::Find(const Setting& findSetting) : setting(findSetting) {}

Find::~Find() { socket.close(); }

bool Find::open(const std::vector<ORVEX::IPAddress>& list) {
    LEVEL_INFO << "Zarnith Find Library ReleaseNo : " << static_cast<unsigned>(ReleaseNo);
    socket.close();
    if (!list.empty()) {
        interfaces = list;
        interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                        [](const ORVEX::IPAddress& a) { return a.ifIndex == 0; }),
                         interfaces.end());
    }
    LEVEL_INFO << "Find::open " << static_cast<unsigned long>(interfaces.size());
    if (!socket.open(ORVEX::Socket::TYPE_UDPV6)) {
        LEVEL_ERROR << "error socket open Find::open";
        return false;
    }
    socket.receiveSize = ReceiveSize;
    ORVEX::IPAddress any;
    if (!socket.bindV6(any, 1000)) {
        LEVEL_ERROR << "error socket bind Find::open";
        return false;
    }
    return true;
}

bool Find::open() {
    const std::vector<ORVEX::IPAddress> none;
    return open(none);
}

bool Find::open(const ORVEX::IPAddress& address) {
    if (address.is_zero() && address.port == 0) return open();
    const std::vector<ORVEX::IPAddress> one{address};
    return open(one);
}

bool Find::open(std::uint16_t ifIndex) {
    if (ifIndex == 0) return open();
    ORVEX::Socket::AddressList local;
    if (!ORVEX::Socket::getMyLocalAddresV6(local, setting.loopbackAllowed)) {
        LEVEL_ERROR << "error getMyLocalAddresV6 Find::open";
        return false;
    }
    std::vector<ORVEX::IPAddress> chosen;
    for (const auto& entry : local) {
        if (setting.loopbackAllowed && entry.first.is_loopback()) chosen.push_back(entry.first);
        if (entry.first.ifIndex == ifIndex) chosen.push_back(entry.first);
    }
    if (chosen.empty()) return false;
    return open(chosen);
}

bool Find::open(const std::vector<std::string>& names) {
    ORVEX::Socket::AddressList local;
    if (!ORVEX::Socket::getMyLocalAddresV6(local, setting.loopbackAllowed)) {
        LEVEL_ERROR << "error getMyLocalAddresV6 Find::open";
        return false;
    }
    std::vector<ORVEX::IPAddress> chosen;
    for (const std::string& name : names) {
        if (name.empty()) continue;
        const auto match = std::find_if(local.begin(), local.end(),
                                        [&](const auto& entry) { return entry.second.name == name; });
        if (match == local.end()) {
            LEVEL_ERROR << "not much interface " << name;
            return false;
        }
        std::string text;
        match->first.get_V6_str(text);
        LEVEL_INFO << "much interface " << name << " " << text << " ifno:"
                   << static_cast<unsigned>(match->first.ifIndex);
        chosen.push_back(match->first);
    }
    return open(chosen);
}

void Find::close() { socket.close(); }

void Find::setLimit(const FindLimit& newLimit) { limit = newLimit; }

std::vector<ORVEX::IPAddress> Find::getIfList() const {
    if (!interfaces.empty()) return interfaces;
    std::vector<ORVEX::IPAddress> result;
    ORVEX::Socket::AddressList local;
    if (!ORVEX::Socket::getMyLocalAddresV6(local, setting.loopbackAllowed)) {
        LEVEL_ERROR << "error getMyLocalAddresV6 Find::open";
        return result;
    }
    for (const auto& entry : local) {
        ORVEX::IPAddress address = entry.first;
        if (address.is_loopback()) address.ifIndex = 0;
        result.push_back(address);
    }
    return result;
}

std::uint64_t Find::muchID(std::uint64_t id) const {
    if (setting.productId == 0 || id == 0) {
        LEVEL_DEBUG << "Find Target: " << static_cast<unsigned long long>(id);
        return id;
    }
    if (id == setting.productId ||
        std::find(setting.productIds.begin(), setting.productIds.end(), id) != setting.productIds.end()) {
        LEVEL_DEBUG << "Terget Producst : " << static_cast<unsigned long long>(id);
        return id;
    }
    LEVEL_INFO << "Find Skip : " << static_cast<unsigned long long>(id);
    return ~std::uint64_t{0};
}

int Find::sendAck(const ORVEX::IPAddress& to, const Send& request, MessageID expect, Receive& answer, bool retry) {
    return sendAck(to, request, expect, answer, retry, nullptr);
}

int Find::sendAck(const ORVEX::IPAddress& to, const Send& request, MessageID expect, Receive& answer, bool retry,
                  const std::function<bool(const Receive&)>& belongs) {
    answer.clear();
    if (!socket.is_open()) return ACK_FAILURE;
    if (limit.reached()) return ACK_SILENCE;
    if (!socket.sendToV6(static_cast<ORVEX::BufferCS_const>(request), to, retry)) return ACK_FAILURE;
    AnswerWindow window(AckWindow);
    AnswerReader reader(socket, limit);
    Receive received;
    ORVEX::IPAddress from;
    for (;;) {
        switch (reader.next(window, received, from)) {
            case AnswerReader::DATAGRAM: break;
            case AnswerReader::OVER: return ACK_SILENCE;
            case AnswerReader::WAIT_FAILED:
            case AnswerReader::RECEIVE_FAILED: return ACK_FAILURE;
        }
        if (!received) continue;
        // Only the addressed peer can answer, refuse or echo: a datagram from
        // anyone else must not end (or decide) the exchange.
        if (!PeerMatch::same(from, to)) {
            LEVEL_DEBUG << "sendAck other peer dropped : " << static_cast<unsigned>(received.getMessage());
            continue;
        }
        LEVEL_DEBUG << "sendAck[" << static_cast<unsigned>(socket.bindIfIndex) << ","
                    << static_cast<unsigned>(to.ifIndex) << "," << static_cast<unsigned>(from.ifIndex)
                    << "]RCV:" << static_cast<unsigned>(request.getMessage());
        const MessageID id = received.getMessage();
        if (id == request.getMessage()) return ACK_ECHO;
        if (id != expect) continue;
        if (belongs && !belongs(received)) {
            LEVEL_DEBUG << "sendAck stale answer dropped : " << static_cast<unsigned>(id);
            continue;
        }
        answer.swap(received);
        return (answer.getStatus() & STATUS_ACCEPT) != 0 ? ACK_ANSWER : ACK_REFUSAL;
    }
}

bool Find::sendMulti(const Send& request, MessageID expect, std::map<ORVEX::IPAddress, Receive>& answers) {
    if (!socket.is_open()) return false;
    const std::vector<ORVEX::IPAddress> list = getIfList();
    const ORVEX::BufferCS_const bytes = static_cast<ORVEX::BufferCS_const>(request);
    Receive received;
    ORVEX::IPAddress from;
    for (const ORVEX::IPAddress& local : list) {
        if (limit.reached()) return true;
        LEVEL_DEBUG << "Find Multi Send : " << static_cast<unsigned>(local.ifIndex);
        const ORVEX::IPAddress to =
            local.is_loopback() ? ORVEX::IPAddress::loopback(TargetPort) : multicastTarget(local.ifIndex);
        // A lost request shows as a missing answer; the window runs anyway.
        (void)socket.sendToV6(bytes, to, false);
        for (const ORVEX::IPAddress& extra : extraDestinations) (void)socket.sendToV6(bytes, extra, false);

        AnswerWindow window(MultiWindow);
        AnswerReader reader(socket, limit);
        for (;;) {
            const AnswerReader::Result result = reader.next(window, received, from);
            if (result == AnswerReader::OVER) break;
            if (result != AnswerReader::DATAGRAM) return false;
            LEVEL_DEBUG << "Find Multi Ack Rcv : " << static_cast<long>(received.size());
            if (!received || received.getMessage() != expect || (received.getStatus() & STATUS_ACCEPT) == 0) continue;
            auto known = answers.find(from);
            if (known == answers.end() && answers.size() >= MaxAnswers) {
                LEVEL_NOTICE << "Find Multi answer dropped, table full : " << static_cast<unsigned long>(MaxAnswers);
                continue;
            }
            std::string text;
            from.get_str(text);
            LEVEL_DEBUG << "FindMultiAck[" << static_cast<unsigned>(socket.bindIfIndex) << ","
                        << static_cast<unsigned>(from.ifIndex) << "]Valid : " << text;
            // A copy sized to the datagram: the receive buffer keeps its room.
            Receive stored(received.begin(), received.end());
            if (known == answers.end()) {
                answers.emplace(from, std::move(stored));
            } else {
                known->second = std::move(stored);
            }
        }
    }
    return true;
}

}  // namespace ZARNITH
