#include "target/TargetRegistry.h"

#include "foundation/SysLog.h"
#include "protocol/LittleEndian.h"

namespace ZARNITH {

using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;

int TargetRegistry::typeBase(std::uint16_t type) {
    switch (type) {
        case 1: return 0;
        case 2: return 2;
        case 4: return 4;
        default: return -1;
    }
}

ORVEX::IPAddress TargetRegistry::hostKey(const ORVEX::IPAddress& address) {
    ORVEX::IPAddress key;
    key.address = address.address;
    return key;
}

void TargetRegistry::seed(const std::list<TargetSetting::RegistSt>& ports) {
    for (const auto& p : ports) {
        const int base = typeBase(p.type);
        if (base < 0) continue;
        RegistPortInfo& e = tables_[static_cast<unsigned>(base) + (p.sel ? 1u : 0u)][p.id];
        e.name = p.name;
        e.fixed = true;
        e.port = p.port;
    }
}

bool TargetRegistry::upkeep(ORVEX::Clock now) {
    bool playing = false;
    for (auto& table : tables_) {
        for (auto i = table.begin(); i != table.end();) {
            RegistPortInfo& e = i->second;
            if (!e.fixed && longer(now - e.seen, Lifetime)) {
                LEVEL_INFO << "Unregist out Port : " << static_cast<unsigned>(i->first);
                i = table.erase(i);
                continue;
            }
            for (auto n = e.nop.begin(); n != e.nop.end();) {
                if (longer(now - n->second.first, n->second.second)) {
                    std::string text;
                    n->first.get_str(text);
                    LEVEL_INFO << "Nop remove to " << text;
                    n = e.nop.erase(n);
                } else {
                    ++n;
                }
            }
            playing = playing || e.playing;
            ++i;
        }
    }
    for (auto i = status_.begin(); i != status_.end();) {
        if (longer(now - i->second.seen, Lifetime)) {
            LEVEL_INFO << "Unregist status Port : " << static_cast<unsigned>(i->first);
            i = status_.erase(i);
            continue;
        }
        playing = playing || i->second.playing;
        ++i;
    }
    return playing;
}

TargetRegistry::RegistPortInfo* TargetRegistry::entryFor(unsigned table, std::uint16_t id) {
    PortTable& t = tables_[table];
    auto i = t.find(id);
    if (i != t.end()) return &i->second;
    if (t.size() >= MaxPortEntries) {
        LEVEL_WARNING << "Port table full, id refused : " << static_cast<unsigned>(id);
        return nullptr;
    }
    return &t[id];
}

void TargetRegistry::registerPort(std::uint16_t o0, std::uint16_t o1, std::uint16_t sourcePort,
                                  const std::string& name, bool playing, ORVEX::Clock now) {
    if (o0 != 0 && o1 != 0) return;
    RegistPortInfo* e = o0 != 0 ? entryFor(1, o0) : entryFor(0, o1);
    if (e == nullptr) return;
    if (e->port != sourcePort || e->name != name) {
        const bool wasPlaying = e->playing;
        *e = RegistPortInfo{};
        e->port = sourcePort;
        e->playing = wasPlaying;
        e->name = name;
        LEVEL_INFO << "Regist Port : " << static_cast<unsigned>(o0) << " : " << static_cast<unsigned>(sourcePort) << " "
                   << name;
    }
    e->seen = now;
    e->playing = playing;
}

void TargetRegistry::registerStatus(std::uint16_t id, std::uint16_t kind, std::uint16_t status,
                                    std::uint16_t sourcePort, const ORVEX::IPAddress& address,
                                    const std::string& name, bool playing, ORVEX::Clock now) {
    if (id == 0) return;
    auto i = status_.find(id);
    if (i == status_.end()) {
        if (status_.size() >= MaxStatusEntries) {
            LEVEL_WARNING << "Status table full, id refused : " << static_cast<unsigned>(id);
            return;
        }
        i = status_.emplace(id, RegistStatusInfo{}).first;
    }
    RegistStatusInfo& e = i->second;
    if (e.status != status || e.port != sourcePort || e.name != name) {
        const bool wasPlaying = e.playing;
        e = RegistStatusInfo{};
        e.status = status;
        e.port = sourcePort;
        e.playing = wasPlaying;
        e.name = name;
        e.kind = kind;
        e.address = address;
        e.address.ifIndex = 0;
        LEVEL_INFO << "Regist Status : " << static_cast<unsigned>(id) << " : " << static_cast<unsigned>(sourcePort)
                   << " " << name << " " << static_cast<unsigned>(kind);
    }
    e.seen = now;
    e.playing = playing;
}

void TargetRegistry::nopNotify(std::uint16_t type, std::uint16_t o0, std::uint16_t o1, std::uint16_t seconds,
                               ORVEX::BufferCS_const payload, ORVEX::Clock now) {
    const int base = typeBase(type);
    if (base < 0) return;
    RegistPortInfo* e = o0 != 0 ? entryFor(static_cast<unsigned>(base) + 1, o0) : entryFor(static_cast<unsigned>(base), o1);
    if (e == nullptr) return;
    ORVEX::IPAddress host;
    if (payload.size == ORVEX::IPAddress::RecordSize && host.set_record(payload.data, payload.size)) {
        const ORVEX::IPAddress key = hostKey(host);
        if (e->nop.count(key) == 0 && e->nop.size() >= MaxNopHosts) {
            LEVEL_WARNING << "Nop list full : " << static_cast<unsigned>(e->port);
            return;
        }
        e->nop[key] = {now, ORVEX::Clock::fromSeconds(seconds)};
        std::string text;
        key.get_str(text);
        LEVEL_INFO << "Nop TA add:" << static_cast<unsigned>(e->port) << " " << text;
    } else {
        e->nop.clear();
        LEVEL_INFO << "Nop TA clear:" << static_cast<unsigned>(e->port);
    }
}

unsigned TargetRegistry::nopBreak(const ORVEX::IPAddress& requester) {
    const ORVEX::IPAddress key = hostKey(requester);
    unsigned removed = 0;
    for (auto& table : tables_) {
        for (auto& [id, e] : table) {
            if (e.nop.erase(key) != 0) {
                ++removed;
                LEVEL_INFO << "Nop BREAK Target Out";
            }
        }
    }
    return removed;
}

const TargetRegistry::RegistPortInfo* TargetRegistry::findPort(unsigned table, std::uint16_t id) const {
    if (table >= TableCount) return nullptr;
    auto i = tables_[table].find(id);
    return i == tables_[table].end() ? nullptr : &i->second;
}

const TargetRegistry::RegistStatusInfo* TargetRegistry::findStatus(std::uint16_t id) const {
    auto i = status_.find(id);
    return i == status_.end() ? nullptr : &i->second;
}

std::uint16_t TargetRegistry::highestId(unsigned table) const {
    if (table >= TableCount || tables_[table].empty()) return 0;
    return tables_[table].rbegin()->first;
}

std::uint16_t TargetRegistry::highestStatusId() const { return status_.empty() ? 0 : status_.rbegin()->first; }

void TargetRegistry::bitmap(unsigned base, std::uint8_t* out) const {
    for (std::size_t i = 0; i < BitmapSize; ++i) out[i] = 0;
    const PortTable* halves[2] = {&tables_[base + 1], &tables_[base]};
    for (int h = 0; h < 2; ++h) {
        std::uint8_t* half = out + h * (BitmapSize / 2);
        for (const auto& [id, e] : *halves[h]) {
            if (id >= (BitmapSize / 2) * 8) break;
            half[id / 8] = static_cast<std::uint8_t>(half[id / 8] | (1u << (id % 8)));
        }
    }
}

void TargetRegistry::portNumbers(unsigned table, std::uint16_t first, std::uint8_t* out) const {
    for (std::size_t i = 0; i < NumberTableIds * 2; ++i) out[i] = 0;
    const PortTable& t = tables_[table];
    const std::uint32_t end = std::uint32_t{first} + NumberTableIds;  // may pass 65535: those ids stay 0
    for (auto i = t.lower_bound(first); i != t.end() && i->first < end; ++i)
        writeU16LE(out + 2 * (i->first - first), i->second.port);
}

std::vector<std::uint16_t> TargetRegistry::allPorts() const {
    std::vector<std::uint16_t> out;
    for (const auto& table : tables_)
        for (const auto& [id, e] : table)
            if (e.port != 0) out.push_back(e.port);
    return out;
}

}  // namespace ZARNITH
