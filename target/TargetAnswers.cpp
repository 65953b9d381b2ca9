// Target endpoint: answers to discovery, port, status, text and information
// queries, and the local registrations of the endpoints of this host.
#include <cerrno>

#include "foundation/SysLog.h"
#include "protocol/LittleEndian.h"
#include "target/Target.h"

namespace ZARNITH {

// Numbers the send and receive sites of this file in its log lines.
constexpr int SendSite = 2000;

using ORVEX::SysLog::LEVEL_DEBUG;
using ORVEX::SysLog::LEVEL_INFO;

namespace {
unsigned u(std::uint16_t v) { return v; }
}  // namespace

void Target::onDiscover(const ORVEX::IPAddress& from) {
    // Sent from one of this host's own joined addresses: on its own link, for
    // a link-local one.
    bool blocked = !setting.loopbackAllowed && from.is_loopback();
    for (const auto& a : joined)
        if (a.same_host(from)) blocked = true;
    if (blocked) {
        if (ORVEX::SysLog::enabled(LEVEL_DEBUG)) {
            std::string text;
            from.get_V6_str(text);
            LEVEL_DEBUG << "Block : " << text << "%" << from.ifIndex;
        }
        return;
    }
    SendBuffer a;
    a.set(DISCOVER_ANS, STATUS_ACCEPT, setting.productId);
    a.set_str(setting.name);
    a.update();
    if (ORVEX::SysLog::enabled(LEVEL_DEBUG)) {
        std::string text;
        from.get_str(text);
        LEVEL_DEBUG << "Receive DISCOVER : " << text << " " << a.dump();
    }
    (void)answer(a, from, SendSite + __LINE__, EADDRNOTAVAIL);
}

void Target::onPortReq(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t o0 = m.getOption0(), o1 = m.getOption1(), type = m.getOption2();
    const int base = type == 0 ? 0 : TargetRegistry::typeBase(type);
    SendBuffer a;
    if (base < 0) {
        // No tables exist for this type.
        a.set(PORT_ANS, STATUS_NONE, 0, 0, 0, 1);
        a.update();
        LEVEL_DEBUG << "PORT_ANS : unknown type " << u(type);
        (void)answer(a, from, SendSite + __LINE__);
        return;
    }
    const unsigned b = static_cast<unsigned>(base);
    if ((o0 == 0 && o1 == 0) || o0 == 0xFFFF || o1 == 0xFFFF) {
        const std::uint16_t m1 = registry.highestId(b + 1), m0 = registry.highestId(b);
        const std::uint16_t t = type == 0 ? setting.typeMask : type;
        a.set(PORT_ANS, STATUS_ACCEPT, m1, m0, t, 1);
        if (o0 == 0 && o1 == 0) {
            a.resize(TargetRegistry::BitmapSize);
            registry.bitmap(b, a.get_data());
        } else if (o0 == 0xFFFF && o1 == 0xFFFF) {
            a.resize(0);
        } else if (o0 == 0xFFFF) {
            a.resize(TargetRegistry::NumberTableIds * 2);
            registry.portNumbers(b, o1, a.get_data());
        } else {
            a.resize(TargetRegistry::NumberTableIds * 2);
            registry.portNumbers(b + 1, o0, a.get_data());
        }
        a.update();
        LEVEL_DEBUG << "PORT_ANS : " << u(m1) << " " << u(m0) << " " << u(t) << " " << 1 << " "
                    << static_cast<unsigned long>(a.size_data());
        (void)answer(a, from, SendSite + __LINE__);
        return;
    }
    if (o0 != 0 && o1 != 0) {
        a.set(PORT_ANS, STATUS_NONE, 0, 0, 0, 1);
        a.update();
        LEVEL_DEBUG << "PORT_ANS : " << 0 << " " << 0 << " " << 0 << " " << 1;
        (void)answer(a, from, SendSite + __LINE__);
        return;
    }
    const TargetRegistry::RegistPortInfo* e = o0 != 0 ? registry.findPort(b + 1, o0) : registry.findPort(b, o1);
    std::uint16_t port = 0;
    if (e != nullptr && e->nop.count(TargetRegistry::hostKey(from)) == 0) {
        port = e->port;
        a.set(PORT_ANS, STATUS_ACCEPT, o0, o1, port, 1);
        a.set_str(e->name);
    } else {
        a.set(PORT_ANS, STATUS_NONE, o0, o1, 0, 1);
    }
    a.update();
    LEVEL_DEBUG << "PORT_ANS : " << u(o0) << " " << u(o1) << " " << u(port) << " " << 1;
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onText(const Receive& m, const ORVEX::IPAddress& from, const std::string& text) {
    SendBuffer a;
    const auto id = static_cast<MessageID>(m.getMessage() + 1);
    if (text.empty()) {
        a.set(id, STATUS_NONE, 0, 0, 0, 0);
    } else {
        a.set(id, STATUS_ACCEPT, 0, 0, 0, 0);
        a.set_str(text);
    }
    a.update();
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onSyncName(const Receive& m, const ORVEX::IPAddress& from) {
    std::string name;
    m.get_str(name);
    const ORVEX::IPAddress key = TargetRegistry::hostKey(from);
    auto i = finders.find(key);
    if (i == finders.end() && finders.size() < MaxFinders) i = finders.emplace(key, FindInfo{}).first;
    if (i != finders.end()) {
        i->second.name = name;
        i->second.id = m.getOption();
    }
    LEVEL_DEBUG << "SYNCNAME_SET : " << name << " " << static_cast<unsigned long long>(m.getOption());
    const Send a(SYNCNAME_ANS, STATUS_ACCEPT);
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onHostDebug(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t o0 = m.getOption0();
    if (o0 == 1) {
        if (debugHost != from) {
            debugHost = from;
            debugSource = asked;
            std::string text;
            from.get_str(text);
            LEVEL_INFO << "Host Debug : " << text;
        }
    } else if (!debugHost.is_zero() || debugHost.port != 0 || debugHost.ifIndex != 0) {
        debugHost = ORVEX::IPAddress{};
        debugSource = ORVEX::IPAddress{};
        LEVEL_INFO << "Host Debug : disable";
    }
    const Send a(HOSTDEBUG_ANS, STATUS_ACCEPT, o0, 0, 0, 0);
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onNopBreak(const ORVEX::IPAddress& from) {
    (void)registry.nopBreak(from);
    const Send a(NOPBREAK_ANS, STATUS_ACCEPT);
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onInformation(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t sub = m.getOption0(), page = m.getOption1();
    SendBuffer a;
    auto pages = [&](const std::vector<std::string>& list) {
        const auto n = static_cast<std::uint16_t>(list.size() > 0xFFFF ? 0xFFFF : list.size());
        if (page < list.size()) {
            a.set(INFORMATION_ANS, STATUS_ACCEPT, sub, 0, n, 0);
            a.set_str(list[page]);
        } else {
            a.set(INFORMATION_ANS, STATUS_NONE, sub, 0, n, 0);
        }
    };
    switch (sub) {
        case 0:
            a.set(INFORMATION_ANS, STATUS_ACCEPT, 0, 1, 0, 0);
            a.set_str(setting.info0);
            break;
        case 1: pages(setting.infoList1); break;
        case 2: {
            a.set(INFORMATION_ANS, STATUS_ACCEPT, 2, 1, 0, 0);
            ORVEX::IPAddress key = from;
            key.port = 0;
            a.resize(8);
            writeU64LE(a.get_data(), static_cast<std::uint64_t>(youInfos.adoptedOf(key)));
            break;
        }
        case 3: {
            a.set(INFORMATION_ANS, STATUS_ACCEPT, 3, 1, 0, 0);
            ORVEX::Socket::AddressList list;
            if (ORVEX::Socket::getMyLocalAddresV6(list, false)) {
                std::vector<std::uint8_t> bytes;
                for (const auto& [address, entry] : list) {
                    if (address.is_loopback()) continue;
                    if (bytes.size() / 16 >= MaxLocalAddresses) break;
                    bytes.insert(bytes.end(), address.address.begin(), address.address.end());
                }
                a.resize(bytes.size());
                for (std::size_t i = 0; i < bytes.size(); ++i) a.get_data()[i] = bytes[i];
            }
            break;
        }
        case 4:
            a.set(INFORMATION_ANS, STATUS_ACCEPT, 4, 1, 0, 0);
            a.set_str(setting.info4);
            break;
        case 5: pages(setting.infoList5); break;
        default: a.set(INFORMATION_ANS, STATUS_NONE, sub, 0, 0, 0); break;
    }
    a.update();
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onStatusReq(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t id = m.getOption0();
    SendBuffer a;
    if (id == 0) {
        const std::uint16_t h = registry.highestStatusId();
        a.set(STATUS_ANS, STATUS_ACCEPT, h, 0, 0, 1);
        LEVEL_DEBUG << "STATUS_ANS : " << u(h) << " " << 1;
    } else if (const TargetRegistry::RegistStatusInfo* e = registry.findStatus(id)) {
        a.set(STATUS_ANS, STATUS_ACCEPT, id, e->kind, e->port, e->status);
        a.set_add_str(e->address, e->name);
        LEVEL_DEBUG << "STATUS_ANS : " << u(id) << " " << u(e->port) << " " << (e->kind == 0 ? "controll" : "sink")
                    << " " << u(e->status);
    } else {
        a.set(STATUS_ANS, STATUS_NONE, id, 0, 0, 1);
        LEVEL_DEBUG << "STATUS_ANS : " << u(id) << " " << 0 << " " << "controll" << " " << 1;
    }
    a.update();
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onPortRegist(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now) {
    LEVEL_DEBUG << "Receive Port Regist";
    const std::uint16_t o0 = m.getOption0(), o1 = m.getOption1();
    if (o0 != 0 && o1 != 0) return;
    std::string name;
    m.get_str(name);
    registry.registerPort(o0, o1, from.get_port(), name, (m.getStatus() & STATUS_PLAYING) != 0, now);
    if (youInfos.empty()) return;
    for (const auto& records : youInfos.tablePayloads()) sendClockTable(records, {from.get_port()});
}

void Target::onStatusRegist(const Receive& m, const ORVEX::IPAddress& from, ORVEX::Clock now) {
    LEVEL_DEBUG << "Receive Status Regist";
    const std::uint16_t id = m.getOption0();
    if (id == 0) return;
    // A payload too short for an address registers the zero address and an
    // empty name.
    ORVEX::IPAddress peer;
    std::string name;
    (void)m.get_add_str(peer, name);
    registry.registerStatus(id, m.getOption1(), m.getOption3(), from.get_port(), peer, name,
                            (m.getStatus() & STATUS_PLAYING) != 0, now);
}

void Target::onNopNotify(const Receive& m, ORVEX::Clock now) {
    registry.nopNotify(m.getOption3(), m.getOption0(), m.getOption1(), m.getOption2(), m.get_data_CS(), now);
}

}  // namespace ZARNITH
