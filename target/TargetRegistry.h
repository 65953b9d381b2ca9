// The registry a target endpoint keeps while its worker runs: six port tables
// (fixed entries from the setting plus ports that local endpoints register),
// the status table, and per port entry the stop windows ("nop list") during
// which one remote host is not told the port. Worker thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "target/TargetSetting.h"

namespace ZARNITH {

class TargetRegistry {
public:
    // A registration is forgotten this long after it was last renewed.
    static constexpr ORVEX::Clock Lifetime = ORVEX::Clock::fromSeconds(10);
    // Bounds on what local endpoints can make the registry hold.
    static constexpr std::size_t MaxPortEntries = 1024;    // per table
    static constexpr std::size_t MaxStatusEntries = 1024;
    static constexpr std::size_t MaxNopHosts = 256;        // per port entry
    static constexpr unsigned TableCount = 6;
    // Ids 0 to 4095 have a bit in the port bitmap; number tables span 512 ids.
    static constexpr std::size_t BitmapSize = 1024;
    static constexpr std::size_t NumberTableIds = 512;

    // Remote host key -> {start, duration}.
    using NopList = std::map<ORVEX::IPAddress, std::pair<ORVEX::Clock, ORVEX::Clock>>;

    struct RegistPortInfo {
        ORVEX::Clock seen;       // last registration; 0 for fixed and new entries
        bool fixed = false;      // from the setting; never expires
        std::uint16_t port = 0;  // host order
        bool playing = false;    // STATUS_PLAYING of the last registration
        std::string name;
        NopList nop;
    };

    struct RegistStatusInfo {
        ORVEX::Clock seen;
        std::uint16_t status = 0;  // status word
        std::uint16_t port = 0;    // the registering socket's port
        bool playing = false;
        std::string name;
        std::uint16_t kind = 0;    // 0 a controller, else a sink
        ORVEX::IPAddress address;  // peer address and port from the payload; ifIndex 0
    };

    using PortTable = std::map<std::uint16_t, RegistPortInfo>;
    using StatusTable = std::map<std::uint16_t, RegistStatusInfo>;

    // Type base of a port type (1 -> 0, 2 -> 2, 4 -> 4); -1 for any other type.
    static int typeBase(std::uint16_t type);
    // A remote host as nop lists know it: its address bytes, port 0, ifIndex 0.
    static ORVEX::IPAddress hostKey(const ORVEX::IPAddress& address);
    // Whether `elapsed` is strictly longer than `limit` (plain unsigned
    // durations, so that an entry never seen counts as long expired).
    static bool longer(ORVEX::Clock elapsed, ORVEX::Clock limit) {
        return elapsed.picoseconds() > limit.picoseconds();
    }

    // Fixed entries in list order; a later entry with the same table and id wins.
    void seed(const std::list<TargetSetting::RegistSt>& ports);

    // Removes expired entries and ended stop windows; true when any remaining
    // port or status entry plays.
    bool upkeep(ORVEX::Clock now);

    // PORTREGIST_SET: id o0 in table 1, else id o1 in table 0.
    void registerPort(std::uint16_t o0, std::uint16_t o1, std::uint16_t sourcePort, const std::string& name,
                      bool playing, ORVEX::Clock now);
    // STATUSREGIST_SET with a non-zero id.
    void registerStatus(std::uint16_t id, std::uint16_t kind, std::uint16_t status, std::uint16_t sourcePort,
                        const ORVEX::IPAddress& address, const std::string& name, bool playing, ORVEX::Clock now);
    // NOPNOTIFY_SET: a 24-byte address record adds a window for that host,
    // anything else clears the entry's list. Another type is ignored.
    void nopNotify(std::uint16_t type, std::uint16_t o0, std::uint16_t o1, std::uint16_t seconds,
                   ORVEX::BufferCS_const payload, ORVEX::Clock now);
    // NOPBREAK_REQ: ends every window held for the requester; the count removed.
    unsigned nopBreak(const ORVEX::IPAddress& requester);

    const PortTable& table(unsigned index) const { return tables_[index]; }
    const StatusTable& statusTable() const { return status_; }
    const RegistPortInfo* findPort(unsigned table, std::uint16_t id) const;
    const RegistStatusInfo* findStatus(std::uint16_t id) const;
    // Highest id of a table, 0 when it is empty.
    std::uint16_t highestId(unsigned table) const;
    std::uint16_t highestStatusId() const;

    // The 1024-byte bitmap of the two tables of a type base (sel-1 half first).
    void bitmap(unsigned base, std::uint8_t* out) const;
    // 512 little-endian ports of ids first .. first + 511 of one table (0 where
    // an id is not registered or lies beyond 65535).
    void portNumbers(unsigned table, std::uint16_t first, std::uint8_t* out) const;
    // The port of every entry, tables 0 to 5 in id order, entries without a port left out.
    std::vector<std::uint16_t> allPorts() const;

private:
    // Finds or creates an entry; null when the table is full.
    RegistPortInfo* entryFor(unsigned table, std::uint16_t id);

    std::array<PortTable, TableCount> tables_;
    StatusTable status_;
};

}  // namespace ZARNITH
