// The host as a process whose sockets cannot be opened or bound: every
// socket failure it logs carries the platform's error number, never 0.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/host_test_rig.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace hostrig;

constexpr std::size_t SysLogHeader = 31;  // "<pri>Mon dd hh:mm:ss localhost "

// A socket failure line: its text up to "error:" and the error numbers after it.
struct Failure {
    std::string text;
    std::vector<long> numbers;
};

std::vector<Failure> socketFailures(const std::vector<std::string>& lines) {
    static const std::regex form("(.*(?:open|bind|member) error:)([0-9]+(?::[0-9]+)*)$");
    std::vector<Failure> out;
    for (const auto& line : lines) {
        if (line.size() <= SysLogHeader) continue;
        const std::string body = line.substr(SysLogHeader);
        std::smatch m;
        if (!std::regex_match(body, m, form)) continue;
        Failure f{m[1], {}};
        const std::string numbers = m[2];
        for (std::size_t at = 0; at <= numbers.size();) {
            const std::size_t colon = std::min(numbers.find(':', at), numbers.size());
            f.numbers.push_back(std::atol(numbers.substr(at, colon - at).c_str()));
            at = colon + 1;
        }
        out.push_back(f);
    }
    return out;
}

class HostErrno : public NetnsRig {
protected:
    std::string settings() {
        const std::string path = directory + "/settings.inf";
        std::ofstream(path) << "Debug=enable\n";
        return path;
    }
    // Runs the host in namespace A under `argvPrefix` until it ends or is up,
    // then ends it; returns its log lines.
    std::vector<std::string> run(const std::vector<std::string>& argvPrefix, int* status) {
        NsLog log(net->nsA());
        EXPECT_TRUE(log.ok());
        std::vector<std::string> argv = argvPrefix;
        argv.push_back(tmtest::binPath("tolvenmarkhost"));
        argv.push_back(settings());
        tmtest::ChildProcess host;
        EXPECT_TRUE(host.start(NetnsPair::inNs(net->nsA(), argv)));
        const auto end = std::chrono::steady_clock::now() + Patience;
        while (host.running() && !log.waitFor("Zarnith Sink Library ReleaseNo", 20ms) &&
               std::chrono::steady_clock::now() < end) {
        }
        if (host.running()) host.signal(SIGTERM);
        EXPECT_TRUE(host.wait(Patience));
        *status = host.exitStatus();
        // A marker sent after the end arrives after every datagram of the host.
        const std::string marker = "\x01end of run";
        {
            tmtest::ScopedNetns inside(net->nsA());
            const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in6 to{};
            to.sin6_family = AF_INET6;
            to.sin6_addr = in6addr_loopback;
            to.sin6_port = htons(19640);
            EXPECT_EQ(::sendto(fd, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                      static_cast<ssize_t>(marker.size()));
            ::close(fd);
        }
        EXPECT_TRUE(log.waitFor(marker, Patience).has_value());
        return log.lines();
    }
};

// Too few descriptors: each start-up step that runs short logs why, with
// the error number (EMFILE), and the log socket itself still binds ::1.
TEST_F(HostErrno, DescriptorShortageIsLoggedWithItsErrorNumber) {
#if defined(TM_ASAN)
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own, so a host short of them "
                    "fails inside the runtime";
#endif
    std::set<std::string> seen;
    for (int files = 4; files <= 16; ++files) {
        SCOPED_TRACE("open-file limit " + std::to_string(files));
        int status = -1;
        const auto lines = run({"prlimit", "--nofile=" + std::to_string(files) + ":" + std::to_string(files), "--"},
                               &status);
        EXPECT_TRUE(status == 0 || status == 255) << status;
        EXPECT_FALSE(lines.empty()) << "binding the log socket to ::1 needs no descriptor of its own";
        for (const Failure& f : socketFailures(lines)) {
            long any = 0;
            for (long n : f.numbers) any |= n;
            EXPECT_NE(any, 0) << f.text << " logged without an error number";
            for (long n : f.numbers) EXPECT_TRUE(n == 0 || n == EMFILE) << f.text << n;
            seen.insert(f.text);
        }
    }
    // The target's local log input and the recorder's wake-up pair are among them.
    EXPECT_EQ(seen.count("syslog  open error:"), 1u);
    EXPECT_EQ(seen.count("Recoder wake-up open error:"), 1u);
}

// A bind that fails for another reason logs that reason: the target's local
// log input port is taken.
TEST_F(HostErrno, ATakenLogInputPortIsLoggedWithItsErrorNumber) {
    int taken = -1;
    {
        tmtest::ScopedNetns inside(net->nsA());
        ASSERT_TRUE(inside.ok());
        taken = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ASSERT_GE(taken, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(19641);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int status = -1;
    const auto lines = run({}, &status);
    ::close(taken);
    EXPECT_EQ(status, 0) << "the host runs on without announcing itself";
    bool found = false;
    for (const Failure& f : socketFailures(lines)) {
        EXPECT_NE(f.numbers.front(), 0) << f.text;
        if (f.text == "syslog bind error:") {
            found = true;
            EXPECT_EQ(f.numbers, std::vector<long>{EADDRINUSE});
        }
    }
    EXPECT_TRUE(found);
}

}  // namespace
