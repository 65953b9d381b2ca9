#include "sink/StopWindows.h"

#include <string>

#include "foundation/SysLog.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

ORVEX::IPAddress StopWindows::keyOf(const ORVEX::IPAddress& host) {
    ORVEX::IPAddress key;
    key.address = host.address;
    return key;
}

void StopWindows::add(const ORVEX::IPAddress& host, ORVEX::Clock start, ORVEX::Clock duration) {
    windows_[keyOf(host)] = Window{start, duration};
}

bool StopWindows::remove(const ORVEX::IPAddress& host) { return windows_.erase(keyOf(host)) != 0; }

bool StopWindows::holds(const ORVEX::IPAddress& host) const { return windows_.count(keyOf(host)) != 0; }

void StopWindows::expire(ORVEX::Clock now) {
    for (auto it = windows_.begin(); it != windows_.end();) {
        if ((now - it->second.start).Comp(it->second.duration) > 0) {
            std::string text;
            it->first.get_str(text);
            LEVEL_INFO << "Nop remove si " << text;
            it = windows_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace ZARNITH
