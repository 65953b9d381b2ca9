#include "foundation/SysLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include "foundation/SysLogSendC.h"
#include "foundation/SysLogSendStdC.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/TestSupport.h"

using namespace ORVEX::SysLog;
using ORVEX::BufferCS_const;
using ORVEX::Clock;
using ORVEX::IPAddress;

// Counts the allocations of the calling thread, to show that a suppressed
// statement allocates nothing. Under a sanitizer, whose runtime owns the
// allocation functions, its allocation hook counts; elsewhere a replacement
// operator new does (malloc and free, which the compiler cannot see through).
namespace {
thread_local long allocations = 0;
}
#if defined(TM_ASAN) || defined(TM_TSAN)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, std::size_t),
                                                         void (*onFree)(const volatile void*));
namespace {
const int hooked = __sanitizer_install_malloc_and_free_hooks([](const volatile void*, std::size_t) { ++allocations; },
                                                             [](const volatile void*) {});
}
#else
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    ++allocations;
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

// The log listener on [::1]:19640.
class Listener {
public:
    explicit Listener(unsigned short port = 19640) {
        fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 4 << 20;
        (void)::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Listener() { ::close(fd_); }
    bool ok() const { return ok_; }
    // The next datagram, or false when none arrives within `ms`.
    bool next(std::string& out, int ms = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return false;
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return false;
        out.assign(buffer, static_cast<std::size_t>(n));
        return true;
    }
    bool quiet(int ms = 150) {
        std::string ignored;
        return !next(ignored, ms);
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

// Standard output redirected into a file for the guard's life.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char name[] = "/tmp/tm_stdout_XXXXXX";
        fd_ = ::mkstemp(name);
        path_ = name;
        saved_ = ::dup(1);
        ::dup2(fd_, 1);
    }
    ~StdoutCapture() {
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    std::string text() const {
        std::fflush(stdout);
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Waits until the text holds `lines` newlines.
    std::string waitLines(std::size_t lines, int ms = 3000) const {
        std::string t;
        for (int i = 0; i < ms / 10; ++i) {
            t = text();
            if (static_cast<std::size_t>(std::count(t.begin(), t.end(), '\n')) >= lines) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return t;
    }

private:
    int fd_ = -1, saved_ = -1;
    std::string path_;
};

// Standard output replaced by a pipe of one page that nobody reads until
// readAll; nothing may print to it while it is full.
class StdoutPipe {
public:
    StdoutPipe() {
        std::fflush(stdout);
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        (void)::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        read_ = ends[0];
        (void)::fcntl(read_, F_SETFL, O_NONBLOCK);
        saved_ = ::dup(1);
        ::dup2(ends[1], 1);
        ::close(ends[1]);
    }
    ~StdoutPipe() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, 1);
            ::close(saved_);
        }
        if (read_ >= 0) ::close(read_);
    }
    // Reads until what was read holds `needle` (or, with an empty needle,
    // until nothing more comes for 300 ms), at most for `limit`.
    std::string readUntil(const std::string& needle, std::chrono::milliseconds limit) {
        std::string out;
        char buffer[4096];
        const auto end = std::chrono::steady_clock::now() + limit;
        while (needle.empty() || out.find(needle) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= end) break;
            pollfd p{read_, POLLIN, 0};
            if (::poll(&p, 1, 300) != 1) {
                if (needle.empty()) break;
                continue;
            }
            ssize_t n = ::read(read_, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

private:
    int read_ = -1, saved_ = -1;
};

template <typename F>
bool waitUntil(F condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string header(std::time_t when) {
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm t{};
    ::localtime_r(&when, &t);
    char out[32];
    std::snprintf(out, sizeof out, "%s %02d %02d:%02d:%02d", months[t.tm_mon], t.tm_mday, t.tm_hour, t.tm_min,
                  t.tm_sec);
    return out;
}

void startLogging(int level, bool console = false) {
    ASSERT_TRUE(initialize(FACILITY_LOCAL0, console, 19640));
    logLevel = level;
}

// Every test starts and ends with logging as before start-up: no sender, no
// console printer, threshold -1, and the time zone of the process.
class LoggingState : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_) tz_ = tz;
        reset();
    }
    void TearDown() override {
        reset();
        if (hadTz_)
            ::setenv("TZ", tz_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    static void reset() {
        logLevel = -1;
        finalize();
        SysLogSendStdC::installGlobal(nullptr);
    }

private:
    bool hadTz_ = false;
    std::string tz_;
};
using SysLogTest = LoggingState;
using SysLogOutTest = LoggingState;
using ConsolePrinterTest = LoggingState;

#define NEED_OWN_NETWORK()                                                              \
    if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs its own network for port 19640"

}  // namespace

TEST_F(SysLogTest, OneDatagramPerStatementInTheExactForm) {
    NEED_OWN_NETWORK();
    Listener listener;
    ASSERT_TRUE(listener.ok());
    startLogging(7);
    std::time_t before = std::time(nullptr);
    LEVEL_INFO << "Bind : " << 19644;
    std::time_t after = std::time(nullptr);
    std::string d;
    ASSERT_TRUE(listener.next(d));
    EXPECT_TRUE(listener.quiet()) << "one statement, one datagram";
    EXPECT_TRUE(std::regex_match(d, std::regex("<134>[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
                                               "localhost Bind : 19644")))
        << d;
    std::string stamp = d.substr(5, 15);
    EXPECT_TRUE(stamp == header(before) || stamp == header(after)) << stamp;
    EXPECT_EQ(d.size(), 31u + 12u);
    EXPECT_EQ(d[4], '>');
    EXPECT_EQ(d.substr(21, 10), "localhost ");

    struct Case {
        SysLogLevel level;
        const char* pri;
    } cases[] = {{LEVEL_ERROR, "<131>"}, {LEVEL_WARNING, "<132>"}, {LEVEL_NOTICE, "<133>"},
                 {LEVEL_INFO, "<134>"},  {LEVEL_DEBUG, "<135>"}};
    for (const Case& c : cases) {
        c.level << "level";
        ASSERT_TRUE(listener.next(d));
        EXPECT_EQ(d.substr(0, 5), c.pri);
        EXPECT_EQ(d.substr(31), "level");
    }
    Error << "e";
    Notice << "n";
    Info << "i";
    Debug << "d";
    for (const char* pri : {"<131>", "<133>", "<134>", "<135>"}) {
        ASSERT_TRUE(listener.next(d));
        EXPECT_EQ(d.substr(0, 5), pri);
    }
}

TEST_F(SysLogTest, TheThresholdDecidesWhatIsSent) {
    NEED_OWN_NETWORK();
    Listener listener;
    ASSERT_TRUE(listener.ok());
    logLevel = 7;
    LEVEL_ERROR << "before initialize";  // no sender yet: dropped, no failure
    logLevel = -1;
    ASSERT_TRUE(initialize(FACILITY_LOCAL0, false, 19640));
    LEVEL_ERROR << "off";
    LEVEL_EMERGENCY << "off too";
    EXPECT_TRUE(listener.quiet()) << "level -1 logs nothing";
    logLevel = 6;
    LEVEL_DEBUG << "trace";
    LEVEL_INFO << "info";
    LEVEL_ERROR << "error";
    std::string d;
    ASSERT_TRUE(listener.next(d));
    EXPECT_EQ(d.substr(31), "info");
    ASSERT_TRUE(listener.next(d));
    EXPECT_EQ(d.substr(31), "error");
    EXPECT_TRUE(listener.quiet());
    // The level is compared AND 7.
    static_cast<SysLogLevel>(8 + 7) << "masked trace";
    EXPECT_TRUE(listener.quiet());
}

TEST_F(SysLogTest, ShorterPrisMoveTheStartOfTheDatagram) {
    NEED_OWN_NETWORK();
    Listener listener;
    ASSERT_TRUE(listener.ok());
    startLogging(7);
    std::string d;
    setFacility(FACILITY_USER);
    LEVEL_ERROR << "x";
    ASSERT_TRUE(listener.next(d));
    EXPECT_EQ(d.substr(0, 4), "<11>");
    EXPECT_EQ(d.size(), 31u);
    EXPECT_EQ(d.substr(30), "x");
    setFacility(FACILITY_KERNEL);
    LEVEL_INFO << "x";
    ASSERT_TRUE(listener.next(d));
    EXPECT_EQ(d.substr(0, 3), "<6>");
    EXPECT_EQ(d.size(), 30u);
    EXPECT_EQ(getFacility(), 0);
}

TEST_F(SysLogOutTest, HeaderFieldsForAGivenTime) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    std::time_t when = ::timegm(&t);
    struct Case {
        unsigned pri;
        std::size_t start;
        const char* text;
    } cases[] = {{134, 0, "<134>Dec 08 09:05:03 localhost "},
                 {99, 1, "<99>Dec 08 09:05:03 localhost "},
                 {11, 1, "<11>Dec 08 09:05:03 localhost "},
                 {6, 2, "<6>Dec 08 09:05:03 localhost "},
                 {0, 2, "<0>Dec 08 09:05:03 localhost "}};
    for (const Case& c : cases) {
        char text[SysLogOut::TextSize];
        SysLogOut::writeTemplate(text);
        EXPECT_EQ(std::strlen(text), SysLogOut::HeaderSize);
        std::size_t start = SysLogOut::completeHeader(text, static_cast<SysLogFacilityLevel>(c.pri), when);
        EXPECT_EQ(start, c.start);
        EXPECT_STREQ(text + start, c.text);
    }
    t.tm_mon = 0;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 59;
    char text[SysLogOut::TextSize];
    SysLogOut::writeTemplate(text);
    (void)SysLogOut::completeHeader(text, 134, ::timegm(&t));
    EXPECT_STREQ(text, "<134>Jan 31 23:59:59 localhost ");
}

TEST_F(SysLogOutTest, ValuesAppendInTheirFormats) {
    IPAddress a;
    ASSERT_TRUE(a.set_V6_str("fe80::1"));
    a.set_port(19644);
    a.ifIndex = 3;
    const std::uint8_t raw[] = {'r', 'a', 'w'};
    struct Case {
        const char* name;
        std::function<void(SysLogNode&)> put;
        const char* body;
    } cases[] = {
        {"int", [](SysLogNode& n) { n << -5; }, "-5"},
        {"unsigned", [](SysLogNode& n) { n << 4000000000u; }, "4000000000"},
        {"long", [](SysLogNode& n) { n << -5000000000L; }, "-5000000000"},
        {"unsigned long", [](SysLogNode& n) { n << 18446744073709551615UL; }, "18446744073709551615"},
        {"float", [](SysLogNode& n) { n << 1.5f; }, "1.500000"},
        {"double", [](SysLogNode& n) { n << 0.25; }, "0.250000"},
        {"text", [](SysLogNode& n) { n << "abc"; }, "abc"},
        {"null text", [](SysLogNode& n) { n << static_cast<const char*>(nullptr); }, ""},
        {"string", [](SysLogNode& n) { n << std::string("str"); }, "str"},
        {"bytes", [&](SysLogNode& n) { n << BufferCS_const(raw, 3); }, "raw"},
        {"address", [&](SysLogNode& n) { n << a; }, "fe80::1%3,19644"},
        {"clock", [](SysLogNode& n) { n << Clock(1); }, "0000000000000001"},
        {"clock max", [](SysLogNode& n) { n << Clock(0xFEDCBA9876543210ULL); }, "FEDCBA9876543210"},
        {"short", [](SysLogNode& n) { n << static_cast<unsigned short>(7); }, "7"},
    };
    logLevel = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SysLogNode node = LEVEL_INFO << "";
        ASSERT_NE(node.out, nullptr);
        c.put(node);
        EXPECT_STREQ(node.out->text + SysLogOut::HeaderSize, c.body);
        EXPECT_EQ(node.out->length, SysLogOut::HeaderSize + std::strlen(c.body));
    }
}

TEST_F(SysLogOutTest, TheTextNeverPassesItsRoom) {
    logLevel = 7;
    {
        SysLogNode node = LEVEL_INFO << std::string(2040 - 31, 'a').c_str();
        ASSERT_EQ(node.out->length, 2040u);
        node << 123456789012345L;
        EXPECT_EQ(node.out->length, 2047u) << "a number is cut at the 2047th character";
        EXPECT_EQ(std::string(node.out->text + 2040), "1234567");
        node << 5;
        EXPECT_EQ(node.out->length, 2047u);
    }
    {
        SysLogNode node = LEVEL_INFO << std::string(2000 - 31, 'a').c_str();
        node << std::string(47, 'b');
        EXPECT_EQ(node.out->length, 2000u) << "a string that would pass 2046 characters is left out";
        node << std::string(46, 'b');
        EXPECT_EQ(node.out->length, 2046u);
        node << Clock(1);
        EXPECT_EQ(node.out->length, 2046u) << "no room for 16 digits";
        node << "z";
        EXPECT_EQ(node.out->length, 2047u) << "a later short value still goes in";
        EXPECT_EQ(node.out->text[2047], '\0');
    }
    {
        SysLogNode node = LEVEL_INFO << "";
        node << BufferCS_const(static_cast<const std::uint8_t*>(nullptr), ~0ULL);
        EXPECT_EQ(node.out->length, 31u) << "an absurd size is refused, not wrapped";
    }
}

TEST_F(SysLogTest, ASuppressedStatementAllocatesAndFormatsNothing) {
    logLevel = 5;
    IPAddress a;
    long before = allocations;
    {
        SysLogNode node = LEVEL_INFO << "suppressed ";
        EXPECT_EQ(node.out, nullptr);
        node << 42 << a << Clock(7) << 1.5 << std::string_view("x").data();
        EXPECT_EQ(node.out, nullptr);
    }
    EXPECT_EQ(allocations, before);
    before = allocations;
    { LEVEL_NOTICE << "built " << 42 << 7u << -3L << "x"; }
    EXPECT_EQ(allocations, before + 1) << "an enabled statement makes one allocation";
}

TEST_F(SysLogTest, ANodeIsMoveOnlySoAMessageIsSentOnce) {
    NEED_OWN_NETWORK();
    static_assert(!std::is_copy_constructible_v<SysLogNode>);
    static_assert(!std::is_copy_assignable_v<SysLogNode>);
    static_assert(std::is_move_constructible_v<SysLogNode>);
    Listener listener;
    ASSERT_TRUE(listener.ok());
    startLogging(7);
    {
        SysLogNode first = LEVEL_INFO << "once";
        SysLogNode second(std::move(first));
        EXPECT_EQ(first.out, nullptr);
        second << " moved";
    }
    std::string d;
    ASSERT_TRUE(listener.next(d));
    EXPECT_EQ(d.substr(31), "once moved");
    EXPECT_TRUE(listener.quiet());
}

TEST_F(SysLogTest, ConsoleCopyPrintsTheTextAloneAndSkipsEmptyBodies) {
    NEED_OWN_NETWORK();
    Listener listener;
    ASSERT_TRUE(listener.ok());
    StdoutCapture capture;
    startLogging(7, true);
    EXPECT_EQ(getStdErr(), &SysLogSendStdC::send);
    LEVEL_INFO << "console line " << 1;
    LEVEL_INFO << "";
    LEVEL_DEBUG << "second";
    std::string d;
    for (const char* body : {"console line 1", "", "second"}) {
        ASSERT_TRUE(listener.next(d));
        EXPECT_EQ(d.substr(31), body) << "the empty body is still sent";
    }
    EXPECT_EQ(capture.waitLines(2), "console line 1\nsecond\n");
}

TEST_F(SysLogTest, ConcurrentStatementsFromManyThreads) {
    NEED_OWN_NETWORK();
    Listener listener;
    ASSERT_TRUE(listener.ok());
    startLogging(7);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) LEVEL_INFO << "thread " << t << " line " << i;
        });
    for (auto& th : threads) th.join();
    std::string d;
    int count = 0;
    while (listener.next(d, 500)) {
        EXPECT_TRUE(std::regex_match(d.substr(31), std::regex("thread [0-3] line [0-9]+"))) << d;
        ++count;
    }
    EXPECT_EQ(count, 200);
}

TEST_F(SysLogTest, OpenPortKeepsAnOpenSocketAndFinalizeStopsLogging) {
    NEED_OWN_NETWORK();
    Listener listener;
    ASSERT_TRUE(listener.ok());
    EXPECT_FALSE(OpenPort(19640)) << "no sender yet";
    startLogging(7);
    auto* sender = static_cast<SysLogSendC*>(getOwn());
    ASSERT_NE(sender, nullptr);
    int descriptor = sender->socket.descriptor;
    EXPECT_TRUE(OpenPort(19999));
    EXPECT_EQ(sender->socket.descriptor, descriptor);
    EXPECT_EQ(sender->dest.get_port(), 19640);
    EXPECT_TRUE(sender->socket.is_open());
    EXPECT_FALSE(sender->socket.getBlocking());
    LEVEL_INFO << "still to 19640";
    std::string d;
    ASSERT_TRUE(listener.next(d));
    EXPECT_EQ(d.substr(31), "still to 19640");

    finalize();
    EXPECT_EQ(getOwn(), nullptr);
    LEVEL_ERROR << "after finalize";
    EXPECT_TRUE(listener.quiet());
    EXPECT_FALSE(OpenPort(19640));
    EXPECT_EQ(getFacility(), 0);
}

TEST_F(SysLogTest, AForeignCallbackGetsTheDatagramTextWithoutASocket) {
    static std::vector<std::string> seen;
    ASSERT_TRUE(initialize(FACILITY_LOCAL0, [](const char* message) { seen.emplace_back(message); }));
    auto* sender = static_cast<SysLogSendC*>(getOwn());
    EXPECT_FALSE(sender->socket.is_open());
    logLevel = 6;
    LEVEL_WARNING << "hooked";
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].substr(0, 5), "<132>");
    EXPECT_EQ(seen[0].substr(31), "hooked");
}

TEST_F(ConsolePrinterTest, AFullRingDropsAtOnceAndThePrinterMarksTheGap) {
    StdoutCapture capture;
    {
        SysLogSendStdC printer(false);  // stalled: the printer thread is not running
        for (int i = 0; i < 119; ++i) printer._send(("body " + std::to_string(i)).c_str());
        printer._send("one too many");
        printer._send("two too many");
        EXPECT_EQ(capture.text(), "") << "a logging thread never writes to the console itself";
        printer.startPrinter();
        std::string expected;
        for (int i = 0; i < 119; ++i) expected += "body " + std::to_string(i) + "\n";
        expected += "wait debug out\ntimeout debug out\n";
        EXPECT_EQ(capture.waitLines(121), expected);
        printer._send("after");
        EXPECT_EQ(capture.waitLines(122), expected + "after\n");
    }
}

// A console that takes nothing (a pipe nobody reads) holds up the printer
// only: logging threads go on, every datagram still goes out, the surplus is
// dropped and the gap marked once the console takes lines again, and a
// printer stuck on the console can still be stopped.
TEST_F(ConsolePrinterTest, AConsoleNobodyReadsHoldsUpOnlyThePrinter) {
    NEED_OWN_NETWORK();
    Listener listener;
    ASSERT_TRUE(listener.ok());
    constexpr int Threads = 4;
    constexpr int Lines = 500;
    const std::string gap = "wait debug out\ntimeout debug out\n";
    std::atomic<int> finished{0};
    std::atomic<bool> stopped{false};
    std::vector<std::thread> threads;
    std::thread stopper;
    bool allLogged = false;
    bool printerStopped = false;
    std::string console;
    {
        StdoutPipe unread;  // gtest prints nothing while it is in place
        startLogging(7, true);
        for (int t = 0; t < Threads; ++t)
            threads.emplace_back([t, &finished] {
                for (int i = 0; i < Lines; ++i) LEVEL_INFO << "thread " << t << " line " << i << " of the console test";
                ++finished;
            });
        allLogged = waitUntil([&] { return finished.load() == Threads; }, std::chrono::seconds(30));
        // Read now: the printer goes on with what the ring holds, then marks the gap.
        console = unread.readUntil(gap, std::chrono::seconds(30));
        // Stuck on a full console once more, the printer is stopped.
        stopper = std::thread([&stopped] {
            for (int i = 0; i < 400; ++i) LEVEL_INFO << "filling line " << i;
            SysLogSendStdC::installGlobal(nullptr);
            stopped = true;
        });
        printerStopped = waitUntil([&] { return stopped.load(); }, std::chrono::seconds(30));
        // Whatever still waits on the console is let go before the threads are joined.
        (void)waitUntil([&] { return !unread.readUntil("", std::chrono::seconds(1)).empty() ? false
                                     : finished.load() == Threads && stopped.load(); },
                        std::chrono::seconds(30));
        for (auto& th : threads) th.join();
        stopper.join();
    }
    EXPECT_TRUE(allLogged) << "a logging thread waited for the console";
    EXPECT_TRUE(printerStopped) << "the printer could not be stopped while the console took nothing";
    int datagrams = 0;
    std::string d;
    while (datagrams < Threads * Lines + 400 && listener.next(d)) ++datagrams;
    EXPECT_EQ(datagrams, Threads * Lines + 400) << "every statement still leaves as a datagram";
    const std::size_t at = console.find(gap);
    ASSERT_NE(at, std::string::npos) << "the gap is marked";
    console.erase(at);
    const auto printed = static_cast<std::size_t>(std::count(console.begin(), console.end(), '\n'));
    EXPECT_GT(printed, 0u);
    EXPECT_LT(printed, static_cast<std::size_t>(Threads * Lines)) << "the surplus was dropped";
    // What was printed is whole lines, each thread's in its order.
    std::istringstream lines(console);
    std::string line;
    int last[Threads] = {-1, -1, -1, -1};
    const std::regex form("thread ([0-3]) line ([0-9]+) of the console test");
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, form)) << line;
        const int t = std::stoi(m[1]);
        const int i = std::stoi(m[2]);
        EXPECT_GT(i, last[t]) << line;
        last[t] = i;
    }
}

TEST_F(ConsolePrinterTest, QueuedBodiesArePrintedWhenItStopsAndLongBodiesAreCut) {
    StdoutCapture capture;
    std::string longBody(2000, 'L');
    {
        SysLogSendStdC printer(false);
        printer._send("first");
        printer._send(longBody.c_str());
        printer._send("last");
        printer.startPrinter();
    }  // stopped at once: what is queued is still printed
    EXPECT_EQ(capture.text(), "first\n" + std::string(1499, 'L') + "\nlast\n");
}

TEST_F(ConsolePrinterTest, TheCallbackFindsTheBodyWhateverThePriLength) {
    StdoutCapture capture;
    SysLogSendStdC::installGlobal(new SysLogSendStdC());
    char text[SysLogOut::TextSize];
    for (unsigned pri : {134u, 11u, 6u}) {
        SysLogOut::writeTemplate(text);
        std::strcpy(text + SysLogOut::HeaderSize, ("pri " + std::to_string(pri)).c_str());
        std::size_t start = SysLogOut::completeHeader(text, static_cast<SysLogFacilityLevel>(pri), std::time(nullptr));
        SysLogSendStdC::send(text + start);
    }
    EXPECT_EQ(capture.waitLines(3), "pri 134\npri 11\npri 6\n");
    SysLogSendStdC::installGlobal(nullptr);
}
