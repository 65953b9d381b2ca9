#include "fuzz/FuzzSupport.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/SysLogZarnith.h"
#include "tests/support/Loopback.h"

namespace tmfuzz {

void ownNetwork() {
    ::signal(SIGPIPE, SIG_IGN);
    if (::unshare(CLONE_NEWNET) != 0 || !tmtest::bringLoopbackUp()) {
        std::fprintf(stderr, "fuzz harness: no network namespace of its own (%s)\n", std::strerror(errno));
        std::abort();
    }
}

void addLoopbackAddress(const char* address) {
    // The kernel's in6_ifreq.
    struct {
        in6_addr address;
        std::uint32_t prefixLength;
        int ifIndex;
    } request{};
    int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && ::inet_pton(AF_INET6, address, &request.address) == 1;
    if (ok) {
        request.prefixLength = 128;
        request.ifIndex = static_cast<int>(::if_nametoindex("lo"));
        ok = request.ifIndex > 0 && ::ioctl(fd, SIOCSIFADDR, &request) == 0;
    }
    if (fd >= 0) ::close(fd);
    if (!ok) {
        std::fprintf(stderr, "fuzz harness: cannot add %s to lo (%s)\n", address, std::strerror(errno));
        std::abort();
    }
    // A new address stays tentative until the kernel's address work has run,
    // which a loaded machine can put off: wait until it can be bound.
    sockaddr_in6 probe{};
    probe.sin6_family = AF_INET6;
    probe.sin6_addr = request.address;
    for (int waited = 0;; waited += 10) {
        fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&probe), sizeof probe) == 0;
        const int error = errno;
        if (fd >= 0) ::close(fd);
        if (bound) return;
        if (error != EADDRNOTAVAIL || waited >= 10000) {
            std::fprintf(stderr, "fuzz harness: %s on lo cannot be bound (%s)\n", address, std::strerror(error));
            std::abort();
        }
        ::usleep(10000);
    }
}

namespace {

sockaddr_in6 socketAddress(const char* address, std::uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, address, &a.sin6_addr) != 1) std::abort();
    return a;
}

}  // namespace

UdpPeer::UdpPeer(const char* address, std::uint16_t port) {
    fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a = socketAddress(address, port);
    socklen_t length = sizeof a;
    const int size = 4 << 20;
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        std::fprintf(stderr, "fuzz harness: peer socket on %s failed (%s)\n", address, std::strerror(errno));
        std::abort();
    }
    port_ = ntohs(a.sin6_port);
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) ::close(fd_);
}

bool UdpPeer::sendTo(const char* address, std::uint16_t port, const void* bytes, std::size_t size) const {
    const sockaddr_in6 a = socketAddress(address, port);
    return ::sendto(fd_, bytes, size, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(size);
}

long UdpPeer::receive(std::uint8_t* buffer, std::size_t capacity, int milliseconds, std::uint16_t* port) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, milliseconds) != 1) return -1;
    sockaddr_in6 from{};
    socklen_t length = sizeof from;
    const ssize_t n =
        ::recvfrom(fd_, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return -1;
    if (port != nullptr) *port = ntohs(from.sin6_port);
    return static_cast<long>(n);
}

void UdpPeer::drain() const {
    std::uint8_t sink[2048];
    while (::recv(fd_, sink, sizeof sink, MSG_DONTWAIT) >= 0) {
    }
}

void traceLogging() {
    if (!ZARNITH::SysLogZarnith::initialize(ORVEX::SysLog::FACILITY_LOCAL0, 19640, false) ||
        !ZARNITH::SysLogZarnith::changeLevel(ORVEX::SysLog::LEVEL_DEBUG, 19640)) {
        std::fprintf(stderr, "fuzz harness: logging did not start\n");
        std::abort();
    }
}

std::uint8_t Input::byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
}

std::uint16_t Input::u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
}

std::uint64_t Input::u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{byte()} << (8 * i);
    return v;
}

const std::uint8_t* Input::take(std::size_t count, std::size_t& taken) {
    taken = count < size_ ? count : size_;
    const std::uint8_t* start = data_;
    data_ += taken;
    size_ -= taken;
    return start;
}

}  // namespace tmfuzz
