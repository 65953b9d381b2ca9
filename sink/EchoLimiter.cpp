#include "sink/EchoLimiter.h"

namespace ZARNITH {

bool EchoLimiter::allow(const ORVEX::IPAddress& source, ORVEX::Clock now) {
    auto it = sources_.find(source);
    if (it == sources_.end()) {
        if (sources_.size() >= MaxSources) {
            // Forget the sources whose window has passed; refuse when all are busy.
            for (auto old = sources_.begin(); old != sources_.end();) {
                if ((now - old->second.start).Comp(Window) >= 0) old = sources_.erase(old);
                else ++old;
            }
            if (sources_.size() >= MaxSources) return false;
        }
        it = sources_.emplace(source, Slot{now, 0}).first;
    }
    Slot& slot = it->second;
    if ((now - slot.start).Comp(Window) >= 0) {
        slot.start = now;
        slot.count = 0;
    }
    if (slot.count >= Burst) return false;
    ++slot.count;
    return true;
}

}  // namespace ZARNITH
