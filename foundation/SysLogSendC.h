// The one global log sender: a non-blocking UDP/IPv6 socket bound to [::1]
// and aimed at the log listener, plus the optional console hook.
#pragma once

#include <atomic>
#include <cstddef>

#include <netinet/in.h>

#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "foundation/SysLog.h"

namespace ORVEX {
namespace SysLog {

class SysLogSendC {
public:
    // Set up on the main thread at start-up; afterwards every logging thread
    // reads these fields without a lock and writes none of them.
    Socket socket;                      // bound to [::1], system port, non-blocking
    std::atomic<int> facility{0};       // facility of all messages
    std::atomic<Callback> callback{nullptr};  // console copy hook, null when off
    IPAddress dest;                     // the listener: ::1, the port, interface 0

    SysLogSendC() = default;
    SysLogSendC(const SysLogSendC&) = delete;
    SysLogSendC& operator=(const SysLogSendC&) = delete;

    // The facility and callback (starting the console printer for its own
    // callback); then OpenPort(port), except for a foreign callback.
    bool initialize(SysLogFacility newFacility, Callback newCallback, unsigned short port);
    bool OpenPort(unsigned short port);
    // Completes the header of a caller-built text (starting with the header
    // template) and delivers it as a finished message.
    void Message(SysLogFacilityLevel pri, char* text, unsigned long length);
    // Sends text[start, length) once without waiting (failures are ignored) and
    // hands the text from `start` to the callback.
    void deliver(const char* text, std::size_t start, std::size_t length);

    // The installed sender, null before initialisation and after finalize.
    static SysLogSendC* global() { return installed.load(std::memory_order_acquire); }
    static void install(SysLogSendC* sender) { installed.store(sender, std::memory_order_release); }

private:
    sockaddr_in6 destination{};  // `dest` as a platform address, built by OpenPort
    std::atomic<bool> aimed{false};  // destination is set and the socket usable

    static inline std::atomic<SysLogSendC*> installed{nullptr};  // main thread writes, all threads read
};

}  // namespace SysLog
}  // namespace ORVEX
