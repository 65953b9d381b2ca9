#include "sink/AnswerPayload.h"

#include "foundation/SysLog.h"

namespace ZARNITH {

void AnswerPayload::setText(SendBuffer& message, const std::string& text) {
    if (text.size() <= Max) {
        message.set_str(text);
        return;
    }
    ORVEX::SysLog::LEVEL_WARNING << "answer text cut to " << static_cast<unsigned long>(Max) << " from "
                                 << static_cast<unsigned long>(text.size());
    message.set_str(text.substr(0, Max));
}

}  // namespace ZARNITH
