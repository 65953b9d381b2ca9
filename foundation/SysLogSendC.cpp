#include "foundation/SysLogSendC.h"

#include <cstring>

#include <sys/socket.h>

#include "foundation/SysLogSendStdC.h"

namespace ORVEX {
namespace SysLog {

bool SysLogSendC::initialize(SysLogFacility newFacility, Callback newCallback, unsigned short port) {
    facility.store(newFacility, std::memory_order_relaxed);
    callback.store(newCallback, std::memory_order_release);
    if (newCallback == &SysLogSendStdC::send) SysLogSendStdC::installGlobal(new SysLogSendStdC());
    if (newCallback != nullptr && newCallback != &SysLogSendStdC::send) return true;
    return OpenPort(port);
}

bool SysLogSendC::OpenPort(unsigned short port) {
    if (socket.is_open()) return true;
    if (!socket.open(Socket::TYPE_UDPV6)) return false;
    IPAddress local = IPAddress::loopback(0);
    // A socket that could not be bound or made non-blocking is closed again, so
    // that a later OpenPort tries afresh instead of reporting a socket without
    // a destination.
    if (!socket.bindV6(local, 0) || !socket.setBlocking(false)) {
        socket.close();
        return false;
    }
    dest = IPAddress::loopback(port);
    destination = sockaddr_in6{};
    destination.sin6_family = AF_INET6;
    std::memcpy(&destination.sin6_addr, dest.address.data(), 16);
    destination.sin6_port = dest.port;
    destination.sin6_scope_id = socket.bindIfIndex;
    aimed.store(true, std::memory_order_release);
    return true;
}

void SysLogSendC::deliver(const char* text, std::size_t start, std::size_t length) {
    if (aimed.load(std::memory_order_acquire)) {
        // One datagram, never waiting: a full send buffer loses the message.
        (void)::sendto(socket.descriptor, text + start, length - start, MSG_NOSIGNAL | MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    }
    Callback hook = callback.load(std::memory_order_acquire);
    if (hook != nullptr) hook(text + start);
}

void SysLogSendC::Message(SysLogFacilityLevel pri, char* text, unsigned long length) {
    if (text == nullptr || length < SysLogOut::HeaderSize || length >= SysLogOut::TextSize) return;
    std::size_t start = SysLogOut::completeHeader(text, pri, std::time(nullptr));
    deliver(text, start, length);
}

}  // namespace SysLog
}  // namespace ORVEX
