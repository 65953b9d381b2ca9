// One named position of the in-memory track.
#pragma once

#include <cstdint>
#include <string>

struct TagST {
    std::string name;   // as received
    std::uint64_t pos;  // the ring's queued-chunk count minus one when the tag arrived
};
