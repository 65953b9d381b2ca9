#include "foundation/SysLog.h"

#include <vector>

#include "foundation/SysLogSendC.h"
#include "foundation/SysLogSendStdC.h"

namespace ORVEX {
namespace SysLog {

namespace {

// Every sender ever made stays listed (and allocated) so that code sharing an
// earlier one through getOwn keeps a valid pointer; main thread only.
std::vector<SysLogSendC*>& senders() {
    static auto* all = new std::vector<SysLogSendC*>();
    return *all;
}

SysLogSendC* makeSender() {
    auto* sender = new SysLogSendC();
    senders().push_back(sender);
    SysLogSendC::install(sender);
    return sender;
}

}  // namespace

SysLogOut* startMessage(SysLogLevel level, const char* text) {
    SysLogSendC* sender = SysLogSendC::global();
    int facility = sender != nullptr ? sender->facility.load(std::memory_order_relaxed) : 0;
    auto* out = new SysLogOut(static_cast<SysLogFacilityLevel>(facility * 8 + (level & 7)));
    out->putStr(text);
    return out;
}

bool initialize(SysLogFacility facility, bool toStdout, unsigned short port) {
    SysLogSendC* sender = makeSender();
    sender->facility.store(facility, std::memory_order_relaxed);
    if (toStdout) {
        sender->callback.store(&SysLogSendStdC::send, std::memory_order_release);
        SysLogSendStdC::installGlobal(new SysLogSendStdC());
    }
    return sender->OpenPort(port);
}

bool initialize(SysLogFacility facility, Callback callback) {
    return makeSender()->initialize(facility, callback, 0);
}

bool OpenPort(unsigned short port) {
    SysLogSendC* sender = SysLogSendC::global();
    return sender != nullptr && sender->OpenPort(port);
}

void finalize() {
    SysLogSendC* sender = SysLogSendC::global();
    if (sender == nullptr) return;
    SysLogSendC::install(nullptr);
    auto& all = senders();
    for (auto i = all.begin(); i != all.end(); ++i) {
        if (*i == sender) {
            all.erase(i);
            break;
        }
    }
    sender->socket.close();
    delete sender;
}

int getFacility() {
    SysLogSendC* sender = SysLogSendC::global();
    return sender != nullptr ? sender->facility.load(std::memory_order_relaxed) : 0;
}

void setFacility(SysLogFacility facility) {
    SysLogSendC* sender = SysLogSendC::global();
    if (sender != nullptr) sender->facility.store(facility, std::memory_order_relaxed);
}

Callback getStdErr() {
    SysLogSendC* sender = SysLogSendC::global();
    return sender != nullptr ? sender->callback.load(std::memory_order_acquire) : nullptr;
}

void* getOwn() { return SysLogSendC::global(); }

void reinitialize(void* sender) { SysLogSendC::install(static_cast<SysLogSendC*>(sender)); }

}  // namespace SysLog
}  // namespace ORVEX
