#include "finder/PeerMatch.h"

namespace ZARNITH {

bool PeerMatch::isLinkLocal(const ORVEX::IPAddress& address) {
    return address.address[0] == 0xFE && (address.address[1] & 0xC0) == 0x80;
}

bool PeerMatch::same(const ORVEX::IPAddress& from, const ORVEX::IPAddress& to) {
    if (from.address != to.address || from.port != to.port) return false;
    if (!isLinkLocal(to)) return true;
    // The receive side reports the scope cut to 16 bits.
    return (from.ifIndex & 0xFFFF) == (to.ifIndex & 0xFFFF);
}

}  // namespace ZARNITH
