// Clock synchro of a target endpoint: per remote host, the offset between the
// host's clock and the local one, estimated from the SYNCHRO samples it sends,
// and the 26-byte clock records that hand the adopted offsets to local
// endpoints. Worker thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"

namespace ZARNITH {

class ClockSynchro {
public:
    struct YouInfo {
        // One sending port of the remote host.
        struct Cient {
            std::uint16_t seq = 0;  // option0 of the port's last sample
            ORVEX::Clock seen;      // time of its last sample
        };
        std::int64_t adopted = 0;  // adopted offset, remote minus local, picoseconds
        std::int64_t best = 0;     // smallest offset since the last adoption
        bool restart = true;       // adopt at the next sample
        int count = 0;             // samples since the last adoption
        std::map<std::uint16_t, Cient> clients;
    };

    static constexpr std::size_t RecordSize = 26;
    // CLOCKTABLE_SET payloads are sent once they pass this size (39 records).
    static constexpr std::size_t FlushAbove = 999;
    // A sequence jump above this many counts as a new sequence.
    static constexpr int RestartJump = 6;
    // A restart waits until the host's other ports were silent this long.
    static constexpr ORVEX::Clock OtherPortQuiet = ORVEX::Clock::fromSeconds(30);
    // At the latest this many samples after an adoption the best is adopted.
    static constexpr int AdoptEvery = 35;
    // Bounds on what remote hosts can make the table hold.
    static constexpr std::size_t MaxHosts = 256;
    static constexpr std::size_t MaxPortsPerHost = 64;

    // One sample of `source` (its port included) with sequence number `seq` and
    // the remote clock `remote`, taken at local time `now`. True when an offset
    // was adopted; `host` is then the host's key.
    [[nodiscard]] bool sample(const ORVEX::IPAddress& source, std::uint16_t seq, std::uint64_t remote,
                              ORVEX::Clock now, ORVEX::IPAddress& host);

    // Adopted offset of a host key (address, port 0, interface index), 0 when unknown.
    std::int64_t adoptedOf(const ORVEX::IPAddress& host) const;
    bool empty() const { return hosts_.empty(); }
    const std::map<ORVEX::IPAddress, YouInfo>& hosts() const { return hosts_; }

    // Appends one record {offset, host address, low 16 bits of its interface index}.
    static void appendRecord(std::vector<std::uint8_t>& out, std::int64_t offset, const ORVEX::IPAddress& host);
    // The records of every host in key order, cut into CLOCKTABLE_SET payloads.
    std::vector<std::vector<std::uint8_t>> tablePayloads() const;

private:
    static std::uint64_t magnitude(std::int64_t v) {
        const auto u = static_cast<std::uint64_t>(v);
        return v < 0 ? 0 - u : u;
    }
    std::map<ORVEX::IPAddress, YouInfo> hosts_;
};

}  // namespace ZARNITH
