// The sink's stop windows: remote hosts (address only, port and interface 0)
// whose requests are refused until their window ends. Application thread only.
#pragma once

#include <cstdint>
#include <map>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"

namespace ZARNITH {

class StopWindows {
public:
    // The key a host's window is kept under: its address, port 0, interface 0.
    static ORVEX::IPAddress keyOf(const ORVEX::IPAddress& host);

    // Sets (or replaces) the window of `host`: from `start` for `duration`.
    void add(const ORVEX::IPAddress& host, ORVEX::Clock start, ORVEX::Clock duration);
    // Removes the window of `host`; true when it had one.
    bool remove(const ORVEX::IPAddress& host);
    void clear() { windows_.clear(); }
    bool empty() const { return windows_.empty(); }
    bool holds(const ORVEX::IPAddress& host) const;

    // Removes every window whose elapsed time exceeds its duration, logging each.
    void expire(ORVEX::Clock now);

private:
    struct Window {
        ORVEX::Clock start;
        ORVEX::Clock duration;
    };
    std::map<ORVEX::IPAddress, Window> windows_;
};

}  // namespace ZARNITH
