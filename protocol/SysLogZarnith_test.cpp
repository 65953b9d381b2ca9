#include "protocol/SysLogZarnith.h"

#include <gtest/gtest.h>

#include <string>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/SysLogSendC.h"
#include "foundation/SysLogSendStdC.h"
#include "tests/support/TestSupport.h"

using ZARNITH::SysLogZarnith;
namespace SysLog = ORVEX::SysLog;

namespace {

// A log listener on [::1]:19640 that returns datagram bodies.
class LogListener {
public:
    LogListener() {
        fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(19640);
        a.sin6_addr = in6addr_loopback;
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~LogListener() { ::close(fd_); }
    bool ok() const { return ok_; }
    bool next(std::string& datagram, int ms = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return false;
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return false;
        datagram.assign(buffer, static_cast<std::size_t>(n));
        return true;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

// Every test starts and ends with logging as before start-up: threshold -1,
// no sender, no console printer.
class SysLogZarnithTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        SysLogZarnith::zarnith_log = -1;
        SysLog::finalize();
        SysLog::SysLogSendStdC::installGlobal(nullptr);
    }
};

}  // namespace

TEST_F(SysLogZarnithTest, OneLevelForTheWholeProcess) {
    EXPECT_EQ(&SysLogZarnith::zarnith_log, &SysLog::logLevel);
    EXPECT_EQ(SysLogZarnith::zarnith_log.load(), -1) << "nothing is logged until a level is set";
    SysLogZarnith::zarnith_log = 6;
    EXPECT_TRUE(SysLog::enabled(SysLog::LEVEL_INFO));
    EXPECT_FALSE(SysLog::enabled(SysLog::LEVEL_DEBUG));
    SysLogZarnith::zarnith_log = -1;
}

TEST_F(SysLogZarnithTest, InitializeThenChangeLevelStartsLogging) {
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs its own network for port 19640";
    LogListener listener;
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(SysLogZarnith::initialize(SysLog::FACILITY_LOCAL0, 19640, false));
    EXPECT_EQ(SysLogZarnith::zarnith_log.load(), -1) << "initialize leaves the level alone";
    EXPECT_EQ(SysLog::getFacility(), 16);
    EXPECT_EQ(SysLog::getStdErr(), nullptr) << "console copy off";
    SysLog::LEVEL_ERROR << "before changeLevel";
    std::string d;
    EXPECT_FALSE(listener.next(d, 150)) << "an error before changeLevel is not sent";

    auto* sender = static_cast<SysLog::SysLogSendC*>(SysLog::getOwn());
    ASSERT_NE(sender, nullptr);
    int descriptor = sender->socket.descriptor;
    ASSERT_TRUE(SysLogZarnith::changeLevel(SysLog::LEVEL_INFO, 19640));
    EXPECT_EQ(SysLogZarnith::zarnith_log.load(), 6);
    SysLog::LEVEL_DEBUG << "trace";
    SysLog::LEVEL_INFO << "info";
    ASSERT_TRUE(listener.next(d));
    EXPECT_EQ(d.substr(0, 5), "<134>");
    EXPECT_EQ(d.substr(31), "info");

    ASSERT_TRUE(SysLogZarnith::changeLevel(SysLog::LEVEL_DEBUG, 19640));
    EXPECT_EQ(sender->socket.descriptor, descriptor) << "the second call finds the port open";
    SysLog::LEVEL_DEBUG << "trace now";
    ASSERT_TRUE(listener.next(d));
    EXPECT_EQ(d.substr(0, 5), "<135>");
    EXPECT_EQ(d.substr(31), "trace now");
}

TEST_F(SysLogZarnithTest, InitializePassesTheConsoleFlagThrough) {
    ASSERT_TRUE(SysLogZarnith::initialize(SysLog::FACILITY_LOCAL0, 19640, true));
    EXPECT_NE(SysLog::getStdErr(), nullptr);
}
