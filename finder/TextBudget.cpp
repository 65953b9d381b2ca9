#include "finder/TextBudget.h"

#include "foundation/SysLog.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

bool TextBudget::take(std::uint64_t bytes) {
    used += bytes;
    ++texts;
    if (texts > MaxTexts) {
        LEVEL_ERROR << "Find answer texts too many : " << static_cast<unsigned long long>(texts);
        return false;
    }
    if (used <= MaxTextBytes) return true;
    LEVEL_ERROR << "Find answer texts too large : " << static_cast<unsigned long long>(used);
    return false;
}

}  // namespace ZARNITH
