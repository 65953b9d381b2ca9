#include "sink/ClockTable.h"

#include "protocol/LittleEndian.h"

namespace ZARNITH {

std::uint64_t ClockTable::store(ORVEX::BufferCS_const payload) {
    const std::uint64_t count = payload.size / RecordSize;
    std::uint64_t stored = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* record = payload.data + i * RecordSize;
        ORVEX::IPAddress key;
        for (int b = 0; b < 16; ++b) key.address[b] = record[8 + b];
        key.ifIndex = readU16LE(record + 24);
        const auto it = offsets_.find(key);
        if (it != offsets_.end()) {
            it->second = readU64LE(record);
        } else if (offsets_.size() < MaxHosts) {
            offsets_.emplace(key, readU64LE(record));
        } else {
            continue;
        }
        ++stored;
    }
    return stored;
}

ORVEX::Clock ClockTable::youToMy(const ORVEX::IPAddress& host, ORVEX::Clock remote) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = offsets_.find(host);
    if (it == offsets_.end()) return ORVEX::Clock();
    const std::uint64_t local = remote.picoseconds() - it->second;
    return ORVEX::Clock(local == 0 ? 1 : local);
}

}  // namespace ZARNITH
