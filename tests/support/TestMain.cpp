// Test main: each test process moves into a network namespace of its own with
// the loopback interface up, so that tests may bind the system's fixed ports
// (19640, 19642, ...) while ctest runs many test processes at once.
#include <gtest/gtest.h>

#include "tests/support/Loopback.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tmtest {
bool g_ownNetwork = false;
}

namespace {

bool listingOnly(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (!listingOnly(argc, argv) && std::getenv("TM_SHARED_NETWORK") == nullptr) {
        if (::unshare(CLONE_NEWNET) == 0 && tmtest::bringLoopbackUp())
            tmtest::g_ownNetwork = true;
        else
            std::fprintf(stderr, "note: no network namespace of its own (%s); "
                                 "tests needing fixed ports skip\n", std::strerror(errno));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
