// The finder's configuration; copied into the finder at construction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZARNITH {

struct FindSetting {
    // Product id a target must announce to be kept; 0 keeps every target.
    std::uint64_t productId = ~std::uint64_t{0};
    // Highest version word accepted in port and status answers; 0 accepts all.
    std::uint16_t protocolVersion = 1;
    // The finder's own name, told to every target it finds.
    std::string name;
    // Send NOPBREAK_REQ before each port and status query.
    bool nopBreak = false;
    // Keep ::1 among the local addresses the finder works on.
    bool loopbackAllowed = false;
    // Further product ids that are kept.
    std::vector<std::uint64_t> productIds;
    // The finder's own id, told to every target with its name.
    std::uint64_t ownId = ~std::uint64_t{0};
};

}  // namespace ZARNITH
