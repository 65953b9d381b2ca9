#include "protocol/EchoLimiter.h"

#include <iterator>

namespace ZARNITH {

bool EchoLimiter::allow(const ORVEX::IPAddress& source, ORVEX::Clock now) {
    auto it = sources_.find(source);
    if (it == sources_.end()) {
        if (sources_.size() >= MaxSources) {
            // Forget the sources whose window has ended; refuse when none has.
            for (auto old = sources_.begin(); old != sources_.end();)
                old = ended(old->second.start, now) ? sources_.erase(old) : std::next(old);
            if (sources_.size() >= MaxSources) return false;
        }
        it = sources_.emplace(source, Slot{now, 0}).first;
    }
    Slot& slot = it->second;
    if (ended(slot.start, now)) slot = Slot{now, 0};
    if (slot.count >= Burst) return false;
    ++slot.count;
    return true;
}

}  // namespace ZARNITH
