// Sink management answers on the application thread: the configuration units
// and their values, the icons and the synchro information a finder asks for.
#include "foundation/SysLog.h"
#include "protocol/Receive.h"
#include "sink/AnswerPayload.h"
#include "sink/Sink.h"
#include "sink/SinkIconAnswer.h"
#include "sink/SinkUnitAnswer.h"
#include "sink/SinkValueAnswer.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

bool Sink::sendManagement(const Send& message, const ORVEX::IPAddress& to, const char* errorText, int line) {
    if (controlSocket_.sendToV6(message, to, requestDestination_, true)) return true;
    LEVEL_ERROR << errorText << line << ":" << controlSocket_.lastError;
    return false;
}

bool Sink::handleSinkUnit(const Receive& request, const ORVEX::IPAddress& from) {
    SendBuffer answer;
    SinkUnitAnswer::build(config_.configUnits, request, answer);
    answer.update();
    (void)sendManagement(answer, from, "UDP send error ", __LINE__);
    return true;
}

bool Sink::handleSinkValue(const Receive& request, const ORVEX::IPAddress& from) {
    SendBuffer answer;
    const bool changed = SinkValueAnswer(*this).build(request, answer);
    answer.update();
    (void)sendManagement(answer, from, "UDP control send error ", __LINE__);
    if (changed) LEVEL_INFO << "SINKVALUE finale changed units";
    return !changed;
}

bool Sink::handleSinkIcon(const Receive& request, const ORVEX::IPAddress& from) {
    SendBuffer answer;
    SinkIconAnswer::build(config_.icons, request, answer);
    answer.update();
    (void)sendManagement(answer, from, "UDP control send error ", __LINE__);
    return true;
}

bool Sink::handleSynchroInfo(const ORVEX::IPAddress& from) {
    SendBuffer answer;
    answer.set(SYNCHROINFO_ANS, STATUS_ACCEPT, synchroCrc_, synchroTotal_,
               static_cast<std::uint16_t>(synchroAll_ < 2 ? 0xFFFF : 0), synchroSelf_);
    AnswerPayload::setText(answer, synchroName_);
    answer.update();
    return sendManagement(answer, from, "UDP control send error ", __LINE__);
}

}  // namespace ZARNITH
