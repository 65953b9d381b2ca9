// Offsets of remote hosts' clocks, fed by the local target endpoint's clock
// records and read when a sender's start time is converted to the local clock.
// Guarded by its own mutex: written by the application thread, read by any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"

namespace ZARNITH {

class ClockTable {
public:
    // Size of one clock record: signed 64-bit offset (ps, little-endian),
    // 16 address bytes, u16 interface index (little-endian).
    static constexpr std::uint64_t RecordSize = 26;
    // Remote hosts kept at most; entries are never removed, so a record of a
    // new host beyond this is not stored (known hosts are still updated).
    static constexpr std::size_t MaxHosts = 1024;

    // Stores every whole record of `payload` (a trailing partial record is
    // ignored) within the host bound; returns the number stored.
    std::uint64_t store(ORVEX::BufferCS_const payload);
    // remote - offset of `host` (exact key match); 0 when unknown, 1 in place
    // of a result of 0.
    ORVEX::Clock youToMy(const ORVEX::IPAddress& host, ORVEX::Clock remote) const;

private:
    mutable std::mutex mutex_;                          // guards offsets_
    std::map<ORVEX::IPAddress, std::uint64_t> offsets_;  // application thread writes, any thread reads
};

}  // namespace ZARNITH
