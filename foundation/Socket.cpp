#include "foundation/Socket.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/ClockTimespec.h"

namespace ORVEX {

namespace {

sockaddr_in6 makeV6(const IPAddress& a, std::uint32_t scope) {
    sockaddr_in6 s{};
    s.sin6_family = AF_INET6;
    s.sin6_port = a.port;
    std::memcpy(&s.sin6_addr, a.address.data(), 16);
    s.sin6_scope_id = scope;
    return s;
}

sockaddr_in makeV4(const IPAddress& a) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = a.port;
    std::memcpy(&s.sin_addr, a.address.data() + 12, 4);
    return s;
}

void setMapped(IPAddress& a, const void* v4bytes) {
    a.address.fill(0);
    a.address[10] = 0xff;
    a.address[11] = 0xff;
    std::memcpy(a.address.data() + 12, v4bytes, 4);
}

// Fills address and port from a platform address of either family; the scope
// only for IPv6 and only when asked.
bool fromPlatform(const sockaddr_storage& s, IPAddress& a, bool withScope) {
    if (s.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(s);
        std::memcpy(a.address.data(), &v6.sin6_addr, 16);
        a.port = v6.sin6_port;
        if (withScope) a.ifIndex = v6.sin6_scope_id & 0xFFFF;
        return true;
    }
    if (s.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(s);
        setMapped(a, &v4.sin_addr);
        a.port = v4.sin_port;
        return true;
    }
    return false;
}

bool isWouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// Walks the platform's interface list: calls f(entry) for every entry with an
// address of `family`.
template <typename F>
bool forEachAddress(int family, F f) {
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return false;
    for (ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != family || i->ifa_name == nullptr) continue;
        f(*i);
    }
    ::freeifaddrs(all);
    return true;
}

}  // namespace

Socket::~Socket() { close(); }

bool Socket::open(Type newType) {
    if (is_open()) close();
    int family = AF_INET6;
    int kind = SOCK_STREAM;
    switch (newType) {
        case TYPE_TCPV4: family = AF_INET; kind = SOCK_STREAM; break;
        case TYPE_UDPV4: family = AF_INET; kind = SOCK_DGRAM; break;
        case TYPE_TCPV6: case TYPE_TCPV6_DUAL: family = AF_INET6; kind = SOCK_STREAM; break;
        case TYPE_UDPV6: case TYPE_UDPV6_DUAL: family = AF_INET6; kind = SOCK_DGRAM; break;
        default: lastError = EINVAL; return false;
    }
    type = newType;
    descriptor = ::socket(family, kind | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        lastError = errno;
        descriptor = -1;
        return false;
    }
    int one = 1;
    int zero = 0;
    if (newType == TYPE_UDPV4 && !option(SOL_SOCKET, SO_BROADCAST, &one, sizeof one)) {
        close();
        return false;
    }
    // Requests whose refusal does not matter (no-delay fails on datagram sockets).
    (void)::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Address reuse only for streams (a listener can rebind over old
    // connections). On datagram sockets it would let a second socket share a
    // port already bound and silently take its unicast datagrams, so a taken
    // port must make bind fail instead.
    if (isStreamType(newType)) (void)::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int pmtu = IP_PMTUDISC_DO;
    (void)::setsockopt(descriptor, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu);
    // Datagram sockets report each datagram's destination address, so that
    // an answer can leave from the address that was asked.
    if (newType == TYPE_UDPV6 || newType == TYPE_UDPV6_DUAL)
        (void)::setsockopt(descriptor, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
    if (newType == TYPE_TCPV6 || newType == TYPE_UDPV6)
        (void)::setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    else if (newType == TYPE_TCPV6_DUAL || newType == TYPE_UDPV6_DUAL)
        (void)::setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    blocking = true;
    return true;
}

void Socket::close() {
    if (!is_open()) return;
    if (isStreamType(type)) ::shutdown(descriptor, SHUT_RDWR);
    ::close(descriptor);
    descriptor = -1;
}

bool Socket::shutdown() { return is_open() && ::shutdown(descriptor, SHUT_RDWR) == 0; }

bool Socket::setBlocking(bool on) {
    if (!is_open()) {
        lastError = EBADF;
        return false;
    }
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) != 0) {
        lastError = errno;
        return false;
    }
    blocking = on;
    return true;
}

bool Socket::bindV6(IPAddress& address, unsigned backlog) {
    bindIfIndex = 0;
    std::uint32_t scope = 0;
    if (address.is_link_local()) {
        scope = address.ifIndex;
    } else if (address.is_loopback()) {
        // The loopback interface has the same index in every network
        // namespace, so no interface list is read (which would need a
        // descriptor of its own and fail when they run short).
        scope = address.ifIndex != 0 ? address.ifIndex : LoopbackIfIndex;
    }
    bindIfIndex = scope;
    sockaddr_in6 s = makeV6(address, scope);
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&s), sizeof s) != 0) {
        lastError = errno;
        return false;
    }
    if (address.port == 0) {
        sockaddr_in6 bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            lastError = errno;
            return false;
        }
        address.port = bound.sin6_port;
    }
    if (isStreamType(type) && ::listen(descriptor, static_cast<int>(backlog)) != 0) {
        lastError = errno;
        return false;
    }
    if (bindIfIndex != 0) (void)setInterface(bindIfIndex);
    return true;
}

bool Socket::bindV4(IPAddress address) {
    sockaddr_in s = makeV4(address);
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&s), sizeof s) != 0) {
        lastError = errno;
        return false;
    }
    if (!isStreamType(type)) {
        int one = 1;
        if (!option(SOL_SOCKET, SO_BROADCAST, &one, sizeof one)) return false;
    }
    return true;
}

bool Socket::memberV6(const IPAddress& group) {
    ipv6_mreq request{};
    std::memcpy(&request.ipv6mr_multiaddr, group.address.data(), 16);
    request.ipv6mr_interface = group.ifIndex;
    return option(IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request);
}

bool Socket::memberV4(const IPAddress& group, const IPAddress& interfaceAddress) {
    ip_mreq request{};
    std::memcpy(&request.imr_multiaddr, group.address.data() + 12, 4);
    if (interfaceAddress.is_zero())
        request.imr_interface.s_addr = htonl(INADDR_ANY);
    else
        std::memcpy(&request.imr_interface, interfaceAddress.address.data() + 12, 4);
    return option(IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

bool Socket::memberV4(const IPAddress& group) {
    AddressList list;
    if (!getMyAddresV4(list)) {
        lastError = errno;
        return false;
    }
    for (const auto& entry : list) {
        if (!memberV4(group, entry.first)) return false;
    }
    return true;
}

bool Socket::setInterface(unsigned ifIndex) {
    return option(IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifIndex, sizeof ifIndex);
}

bool Socket::option(int level, int name, const void* value, unsigned length) {
    if (::setsockopt(descriptor, level, name, value, length) == 0) return true;
    lastError = errno;
    return false;
}

bool Socket::acceptV6(Socket& client, IPAddress& peer) {
    if (client.is_open()) client.close();
    sockaddr_storage s{};
    socklen_t length = sizeof s;
    int fd = ::accept4(descriptor, reinterpret_cast<sockaddr*>(&s), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        lastError = errno;
        return false;
    }
    client.descriptor = fd;
    client.blocking = true;
    (void)fromPlatform(s, peer, false);
    return true;
}

WaitResult Socket::acceptV6(Socket& client, IPAddress& peer, Clock timeOut) {
    WaitResult result = wait(timeOut);
    if (result != WaitResult::Ready) return result;
    return acceptV6(client, peer) ? WaitResult::Ready : WaitResult::Error;
}

bool Socket::connectV6(const IPAddress& destination) {
    sockaddr_in6 s = makeV6(destination, bindIfIndex != 0 ? bindIfIndex : destination.ifIndex);
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&s), sizeof s) != 0) {
        lastError = errno;
        return false;
    }
    return true;
}

bool Socket::connectV4(const IPAddress& destination) {
    sockaddr_in s = makeV4(destination);
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&s), sizeof s) != 0) {
        lastError = errno;
        return false;
    }
    return true;
}

bool Socket::send(BufferCS_const data) {
    for (;;) {
        ssize_t n = ::send(descriptor, data.data, data.size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<std::uint64_t>(n) == data.size;
        if (errno == EINTR) continue;
        lastError = errno;
        return false;
    }
}

bool Socket::sendNoBlock(BufferCS_const data, std::size_t offset, std::size_t& sent) {
    if (offset >= data.size) {
        sent = offset;
        return offset == data.size;
    }
    for (;;) {
        ssize_t n = ::send(descriptor, data.data + offset, data.size - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent = offset + static_cast<std::size_t>(n);
            return true;
        }
        if (errno == EINTR) continue;
        if (isWouldBlock(errno)) {
            sent = offset;
            return true;
        }
        lastError = errno;
        sent = 0;
        return false;
    }
}

bool Socket::receive(Buffer& buffer) {
    buffer.resize(receiveSize);
    if (receiveSize == 0) return true;
    ssize_t n = ::recv(descriptor, buffer.data(), buffer.size(), 0);
    if (n > 0) {
        buffer.resize(static_cast<std::size_t>(n));
        return true;
    }
    buffer.clear();
    if (n < 0 && (isWouldBlock(errno) || errno == EINTR)) return true;
    return false;
}

bool Socket::receive(BufferCS view, std::size_t& count) {
    if (view.size == 0) {
        count = 0;
        return true;
    }
    ssize_t n = ::recv(descriptor, view.data, view.size, 0);
    if (n > 0) {
        count = static_cast<std::size_t>(n);
        return true;
    }
    if (n == 0) return false;
    count = 0;
    return isWouldBlock(errno) || errno == EINTR;
}

void Socket::setToV6(const IPAddress& destination) {
    to = makeV6(destination, bindIfIndex != 0 ? bindIfIndex : destination.ifIndex);
}

void Socket::getToV6(IPAddress& destination) const {
    std::memcpy(destination.address.data(), &to.sin6_addr, 16);
    destination.port = to.sin6_port;
    destination.ifIndex = bindIfIndex != 0 ? 0 : to.sin6_scope_id;
}

bool Socket::sendDatagram(const void* address, unsigned addressLength, BufferCS_const data, bool retry,
                          const IPAddress* source) {
    if (data.size > 0x7FFFFFFFULL) {
        lastError = EMSGSIZE;
        return false;
    }
    iovec payload{const_cast<std::uint8_t*>(data.data), static_cast<std::size_t>(data.size)};
    msghdr message{};
    message.msg_name = const_cast<void*>(address);
    message.msg_namelen = addressLength;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    if (source != nullptr && !source->is_zero() && !source->is_v4() && source->address[0] != 0xFF) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IPV6;
        header->cmsg_type = IPV6_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
        in6_pktinfo info{};
        std::memcpy(&info.ipi6_addr, source->address.data(), 16);
        info.ipi6_ifindex = 0;  // the destination's scope picks the link
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    Clock deadline;
    for (;;) {
        ssize_t n = ::sendmsg(descriptor, &message, MSG_NOSIGNAL);
        if (n >= 0 && static_cast<std::uint64_t>(n) == data.size) return true;
        int cause = EAGAIN;
        if (n < 0) {
            cause = errno;
            if (cause == EINTR) continue;
            lastError = cause;
            if (!retry) return false;
            if (!isWouldBlock(cause) && cause != ENOBUFS) return false;
        } else if (!retry) {
            return false;
        }
        // No room for the datagram now: wait for room instead of spinning, but
        // not forever; the socket's blocking mode is never changed here.
        Clock now = Clock::now();
        if (!deadline.isSet()) deadline = now + Clock::fromMilliseconds(RetryBoundMs);
        if (now.Comp(deadline) >= 0) {
            lastError = cause;
            return false;
        }
        if (cause == ENOBUFS) {
            timespec pause{0, 1000000};  // the queue is full below the socket: poll would not wait
            ::nanosleep(&pause, nullptr);
        } else {
            pollfd p{descriptor, POLLOUT, 0};
            timespec slice = toTimespec(deadline - now);
            (void)::ppoll(&p, 1, &slice, nullptr);
        }
    }
}

bool Socket::sendToV6(BufferCS_const data, const IPAddress& destination, bool retry) {
    sockaddr_in6 s = makeV6(destination, bindIfIndex != 0 ? bindIfIndex : destination.ifIndex);
    return sendDatagram(&s, sizeof s, data, retry);
}

bool Socket::sendToV6(BufferCS_const data, bool retry) {
    sockaddr_in6 s = to;
    if (bindIfIndex != 0) s.sin6_scope_id = bindIfIndex;
    return sendDatagram(&s, sizeof s, data, retry);
}

bool Socket::sendToV4(BufferCS_const data, const IPAddress& destination, const IPAddress& interfaceAddress,
                      bool retry) {
    if (!interfaceAddress.is_zero() && destination.address[12] == 239) {
        in_addr local{};
        std::memcpy(&local, interfaceAddress.address.data() + 12, 4);
        if (!option(IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local)) return false;
    }
    sockaddr_in s = makeV4(destination);
    return sendDatagram(&s, sizeof s, data, retry);
}

bool Socket::sendToV4(BufferCS_const data, const IPAddress& destination, bool retry) {
    if (destination.address[12] != 239) return sendToV4(data, destination, IPAddress(), retry);
    AddressList list;
    if (!getMyAddresV4(list)) {
        lastError = errno;
        return false;
    }
    for (const auto& entry : list) {
        if (entry.first.is_zero()) continue;
        if (!sendToV4(data, destination, entry.first, retry)) return false;
    }
    return true;
}

bool Socket::sendToV6(BufferCS_const data, const IPAddress& destination, const IPAddress& source, bool retry) {
    sockaddr_in6 s = makeV6(destination, bindIfIndex != 0 ? bindIfIndex : destination.ifIndex);
    return sendDatagram(&s, sizeof s, data, retry, &source);
}

bool Socket::receiveFromV6(Buffer& buffer, IPAddress& from) { return receiveDatagram(buffer, from, true); }

bool Socket::receiveFromV6(Buffer& buffer, IPAddress& from, IPAddress& local) {
    return receiveDatagram(buffer, from, true, &local);
}

bool Socket::receiveFromV4(Buffer& buffer, IPAddress& from) { return receiveDatagram(buffer, from, false); }

bool Socket::receiveFromV6(BufferCS view, std::size_t& count, IPAddress& from) {
    return receiveDatagram(view, count, from, true);
}

bool Socket::receiveFromV4(BufferCS view, std::size_t& count, IPAddress& from) {
    return receiveDatagram(view, count, from, false);
}

bool Socket::receiveDatagram(Buffer& buffer, IPAddress& from, bool withScope, IPAddress* local) {
    buffer.resize(receiveSize);
    std::size_t count = 0;
    bool ok = receiveDatagram(buffer.area(), count, from, withScope, local);
    buffer.resize(count);
    return ok;
}

bool Socket::receiveDatagram(BufferCS view, std::size_t& count, IPAddress& from, bool withScope,
                             IPAddress* local) {
    sockaddr_storage s{};
    iovec payload{view.data, static_cast<std::size_t>(view.size)};
    msghdr message{};
    message.msg_name = &s;
    message.msg_namelen = sizeof s;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in6_pktinfo))];
    if (local != nullptr) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    ssize_t n = ::recvmsg(descriptor, &message, 0);
    if (n < 0) {
        count = 0;
        return isWouldBlock(errno) || errno == EINTR;
    }
    count = static_cast<std::size_t>(n);
    (void)fromPlatform(s, from, withScope);
    if (local != nullptr) {
        *local = IPAddress();
        for (cmsghdr* h = CMSG_FIRSTHDR(&message); h != nullptr; h = CMSG_NXTHDR(&message, h)) {
            if (h->cmsg_level != IPPROTO_IPV6 || h->cmsg_type != IPV6_PKTINFO ||
                h->cmsg_len < CMSG_LEN(sizeof(in6_pktinfo)))
                continue;
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(h), sizeof info);
            std::memcpy(local->address.data(), &info.ipi6_addr, 16);
            local->ifIndex = info.ipi6_ifindex & 0xFFFF;
        }
    }
    return true;
}

WaitResult Socket::wait(Clock timeOut) {
    if (!is_open()) return WaitResult::Error;
    pollfd p{descriptor, POLLIN, 0};
    timespec ts = toTimespec(timeOut);
    int n = ::ppoll(&p, 1, &ts, nullptr);
    if (n < 0) return errno == EINTR ? WaitResult::TimeOut : WaitResult::Error;
    if (n == 0) return WaitResult::TimeOut;
    if (p.revents & POLLNVAL) return WaitResult::Error;
    return WaitResult::Ready;
}

WaitResult Socket::wait() { return wait(Clock()); }

bool Socket::getMyAddresV6(AddressList& list) {
    list.clear();
    return forEachAddress(AF_INET6, [&list](const ifaddrs& entry) {
        IPAddress key;
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry.ifa_addr);
        std::memcpy(key.address.data(), &v6->sin6_addr, 16);
        key.ifIndex = ::if_nametoindex(entry.ifa_name) & 0xFFFF;
        list[key].name = entry.ifa_name;
    });
}

bool Socket::getMyLocalAddresV6(AddressList& list, bool withLoopback) {
    bool ok = getMyAddresV6(list);
    for (auto i = list.begin(); i != list.end();) {
        bool keep = i->first.is_link_local() || (withLoopback && i->first.is_loopback());
        i = keep ? std::next(i) : list.erase(i);
    }
    return ok;
}

bool Socket::getMyAddresV4(AddressList& list) {
    list.clear();
    return forEachAddress(AF_INET, [&list](const ifaddrs& entry) {
        IPAddress key;
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry.ifa_addr);
        setMapped(key, &v4->sin_addr);
        key.ifIndex = ::if_nametoindex(entry.ifa_name) & 0xFFFF;
        list[key].name = entry.ifa_name;
    });
}

}  // namespace ORVEX
