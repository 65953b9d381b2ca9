// Whether a datagram came from exactly the peer a request was sent to.
#pragma once

#include "foundation/IPAddress.h"

namespace ZARNITH {

class PeerMatch {
public:
    // Address bytes and port equal; the interface index too when the
    // destination is link-local (fe80::/10). Replies from ::1 and global
    // addresses carry scope 0 whatever interface the request named.
    static bool same(const ORVEX::IPAddress& from, const ORVEX::IPAddress& to);
};

}  // namespace ZARNITH
