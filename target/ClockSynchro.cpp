#include "target/ClockSynchro.h"

#include "foundation/SysLog.h"
#include "protocol/LittleEndian.h"

namespace ZARNITH {

using ORVEX::SysLog::LEVEL_DEBUG;

bool ClockSynchro::sample(const ORVEX::IPAddress& source, std::uint16_t seq, std::uint64_t remote,
                          ORVEX::Clock now, ORVEX::IPAddress& host) {
    const auto offset = static_cast<std::int64_t>(remote - now.picoseconds());
    ORVEX::IPAddress key = source;
    key.port = 0;

    auto h = hosts_.find(key);
    if (h == hosts_.end()) {
        if (hosts_.size() >= MaxHosts) {
            LEVEL_DEBUG << "SYNCHRO host table full";
            return false;
        }
        h = hosts_.emplace(key, YouInfo{}).first;
    }
    YouInfo& you = h->second;
    const std::uint16_t port = source.get_port();
    auto c = you.clients.find(port);
    if (c == you.clients.end()) {
        if (you.clients.size() >= MaxPortsPerHost) {
            LEVEL_DEBUG << "SYNCHRO port table full";
            return false;
        }
        c = you.clients.emplace(port, YouInfo::Cient{}).first;
    }

    const int jump = static_cast<int>(seq) - static_cast<int>(c->second.seq);
    if (seq == 0 || jump > RestartJump) {
        bool otherActive = false;
        for (const auto& [otherPort, other] : you.clients) {
            if (otherPort == port || !other.seen.isSet()) continue;
            if ((now - other.seen).picoseconds() < OtherPortQuiet.picoseconds()) otherActive = true;
        }
        if (!otherActive) you.restart = true;
    }
    c->second.seen = now;
    c->second.seq = seq;

    if (you.count == 0 || magnitude(offset) < magnitude(you.best)) you.best = offset;
    ++you.count;
    if (!(you.restart || you.count > AdoptEvery || magnitude(you.best) < magnitude(you.adopted))) return false;

    if (ORVEX::SysLog::enabled(LEVEL_DEBUG)) {
        const ORVEX::Clock best(static_cast<std::uint64_t>(you.best));
        const ORVEX::Clock adopted(static_cast<std::uint64_t>(you.adopted));
        if (you.adopted == you.best || you.restart)
            LEVEL_DEBUG << "Receive SYNCHRO:" << key << " " << ORVEX::Clock(remote) << " " << you.count << " " << best
                        << " " << magnitude(you.best) / 1000000;
        else
            LEVEL_DEBUG << "Receive SYNCHRO:" << key << " " << ORVEX::Clock(remote) << " " << you.count << " "
                        << adopted << "->" << best << " " << magnitude(you.adopted) / 1000000 << "->"
                        << magnitude(you.best) / 1000000;
    }
    you.adopted = you.best;
    you.restart = false;
    you.count = 0;
    host = key;
    return true;
}

std::int64_t ClockSynchro::adoptedOf(const ORVEX::IPAddress& host) const {
    auto h = hosts_.find(host);
    return h == hosts_.end() ? 0 : h->second.adopted;
}

void ClockSynchro::appendRecord(std::vector<std::uint8_t>& out, std::int64_t offset, const ORVEX::IPAddress& host) {
    const std::size_t at = out.size();
    out.resize(at + RecordSize);
    writeU64LE(out.data() + at, static_cast<std::uint64_t>(offset));
    for (int i = 0; i < 16; ++i) out[at + 8 + i] = host.address[i];
    writeU16LE(out.data() + at + 24, static_cast<std::uint16_t>(host.ifIndex));
}

std::vector<std::vector<std::uint8_t>> ClockSynchro::tablePayloads() const {
    std::vector<std::vector<std::uint8_t>> out;
    std::vector<std::uint8_t> payload;
    for (const auto& [key, you] : hosts_) {
        appendRecord(payload, you.adopted, key);
        if (payload.size() > FlushAbove) {
            out.push_back(std::move(payload));
            payload.clear();
        }
    }
    if (!payload.empty()) out.push_back(std::move(payload));
    return out;
}

}  // namespace ZARNITH
