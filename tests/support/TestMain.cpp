// Test main: each test process moves into a network namespace of its own with
// the loopback interface up, so that tests may bind the system's fixed ports
// (19640, 19642, ...) while ctest runs many test processes at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tmtest {
bool g_ownNetwork = false;
}

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

bool listingOnly(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (!listingOnly(argc, argv) && std::getenv("TM_SHARED_NETWORK") == nullptr) {
        if (::unshare(CLONE_NEWNET) == 0 && bringLoopbackUp())
            tmtest::g_ownNetwork = true;
        else
            std::fprintf(stderr, "note: no network namespace of its own (%s); "
                                 "tests needing fixed ports skip\n", std::strerror(errno));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
