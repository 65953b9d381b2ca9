#include "target/TargetEchoGuard.h"

namespace ZARNITH {

bool TargetEchoGuard::allow(const ORVEX::IPAddress& source, ORVEX::Clock now) {
    if (source.get_port() == ownPort_) return false;
    auto i = sources_.find(source);
    if (i == sources_.end()) {
        if (sources_.size() >= MaxSources) {
            // Forget the sources whose window has ended; refuse when none has.
            for (auto s = sources_.begin(); s != sources_.end();)
                s = (now - s->second.start).picoseconds() >= Window.picoseconds() ? sources_.erase(s) : std::next(s);
            if (sources_.size() >= MaxSources) return false;
        }
        i = sources_.emplace(source, Slot{now, 0}).first;
    }
    Slot& slot = i->second;
    if ((now - slot.start).picoseconds() >= Window.picoseconds()) slot = Slot{now, 0};
    if (slot.count >= Burst) return false;
    ++slot.count;
    return true;
}

}  // namespace ZARNITH
