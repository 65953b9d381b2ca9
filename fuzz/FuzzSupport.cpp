#include "fuzz/FuzzSupport.h"

#include <net/if.h>
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

namespace tmfuzz {

namespace {

bool bringLoopbackUp() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    ::close(fd);
    return ok;
}

}  // namespace

void ownNetwork() {
    ::signal(SIGPIPE, SIG_IGN);
    if (::unshare(CLONE_NEWNET) != 0 || !bringLoopbackUp()) {
        std::fprintf(stderr, "fuzz harness: no network namespace of its own (%s)\n", std::strerror(errno));
        std::abort();
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
