#include "finder/PeerMatch.h"

namespace ZARNITH {

bool PeerMatch::same(const ORVEX::IPAddress& from, const ORVEX::IPAddress& to) {
    return from.port == to.port && to.same_host(from);
}

}  // namespace ZARNITH
