// The host as a process with the console copy on ("debug") and standard
// output a pipe that nobody reads: the console may hold up its printer
// thread only, so controllers are still served, the log datagrams still go
// out, and SIGTERM still ends the host.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "tests/host_test_rig.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace hostrig;

class HostConsole : public NetnsRig {};

TEST_F(HostConsole, AConsoleNobodyReadsStallsNoController) {
    // A pipe that is full before the host starts: its printer thread is stuck
    // on the first line it writes, however little time an idle-priority thread
    // gets on this machine.
    int console[2];
    ASSERT_EQ(::pipe2(console, O_CLOEXEC), 0);
    const int pipeSize = ::fcntl(console[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(pipeSize, 0);
    ASSERT_EQ(::fcntl(console[1], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(pipeSize, '.');
    while (::write(console[1], filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(::fcntl(console[1], F_SETFL, 0), 0);  // the host gets a blocking standard output

    NsLog log(net->nsA());
    ASSERT_TRUE(log.ok());
    tmtest::ChildProcess host;
    host.setStdout(console[1]);
    ASSERT_TRUE(host.start(
        NetnsPair::inNs(net->nsA(), {tmtest::binPath("tolvenmarkhost"), "/nonexistent/settings.inf", "name", "debug"})));
    ::close(console[1]);
    const auto bind = log.waitFor("Bind : ", Patience);
    ASSERT_TRUE(bind.has_value()) << host.output();
    const auto port = static_cast<std::uint16_t>(std::atoi(bind->c_str() + bind->find("Bind : ") + 7));
    ASSERT_TRUE(log.waitFor("Zarnith Sink Library ReleaseNo", Patience).has_value());

    // Two controllers upload in turn, each chunk answered before the next is
    // sent; a third one is registered for the pushes. Every request logs
    // several lines, far more than the pipe and the console ring hold.
    const in6_addr loopback = in6addr_loopback;
    Controller first, second, watcher;
    {
        tmtest::ScopedNetns inside(net->nsA());
        ASSERT_TRUE(inside.ok());
        ASSERT_TRUE(first.connectTo(loopback, 0, port));
        ASSERT_TRUE(second.connectTo(loopback, 0, port));
        ASSERT_TRUE(watcher.connectTo(loopback, 0, port));
    }
    ASSERT_TRUE(watcher.send(textFrame("Request=Status")));
    ASSERT_TRUE(watcher.frameWithLine("Status=Disconnect").has_value());
    ASSERT_TRUE(first.send(dataFrame(Pcm32x48k)));
    ASSERT_EQ(first.frame(), reply("DataStack", "0"));
    constexpr int Requests = 300;
    for (int i = 1; i <= Requests; ++i) {
        Controller& c = (i % 2 == 1) ? first : second;
        ASSERT_TRUE(c.send(dataFrame(Pcm32x48k, std::string(64, static_cast<char>(i)))));
        ASSERT_EQ(c.frame(), reply("DataStack", std::to_string(i))) << "request " << i << " of " << Requests;
    }
    ASSERT_TRUE(watcher.send(tagFrame("done")));
    EXPECT_TRUE(watcher.frameWithLine("DataTag=" + std::to_string(Requests)).has_value());

    // The console is still full: nobody read it.
    int queued = 0;
    ASSERT_EQ(::ioctl(console[0], FIONREAD, &queued), 0);
    EXPECT_GE(queued, pipeSize - 1600);

    // The log datagrams kept going out, one per chunk.
    const auto received = [&log] { return log.count("Rcv Data 72"); };  // the format word and 64 bytes
    for (auto end = std::chrono::steady_clock::now() + Patience;
         received() < static_cast<std::size_t>(Requests) && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(received(), static_cast<std::size_t>(Requests));

    // SIGTERM ends it although its printer is stuck on the console.
    ASSERT_TRUE(host.signal(SIGTERM));
    EXPECT_TRUE(host.wait(10000ms)) << "the host did not end with its console full";
    EXPECT_EQ(host.exitStatus(), 0);
    ::close(console[0]);
}

}  // namespace
