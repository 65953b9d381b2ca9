// The UDP port of a host's target endpoint: finders discover and query it
// there, local endpoints register with it at [::1] on it, and a sender asks a
// sink's host there for its log lines. A sink's default control port is this
// port plus twice its logical port id.
#pragma once

#include <cstdint>

namespace ZARNITH {

inline constexpr std::uint16_t TargetPort = 19642;

}  // namespace ZARNITH
