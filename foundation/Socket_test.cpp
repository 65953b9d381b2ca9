#include "foundation/Socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

using ORVEX::Buffer;
using ORVEX::BufferCS;
using ORVEX::BufferCS_const;
using ORVEX::Clock;
using ORVEX::IPAddress;
using ORVEX::Socket;
using ORVEX::WaitResult;

namespace {

IPAddress loopback(std::uint16_t port = 0) { return IPAddress::loopback(port); }

IPAddress parse(const std::string& text, std::uint32_t ifIndex = 0) {
    IPAddress a;
    EXPECT_TRUE(a.set_V6_str(text)) << text;
    a.ifIndex = ifIndex;
    return a;
}

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, level, name, &value, &length) != 0) return -2;
    return value;
}

BufferCS_const view(const std::string& s) { return BufferCS_const(s); }

std::string text(const Buffer& b) { return std::string(b.begin(), b.end()); }

// A bound UDP/IPv6 socket on [::1] with a system-chosen port.
void openBoundUdp(Socket& s, IPAddress& where) {
    ASSERT_TRUE(s.open(Socket::TYPE_UDPV6));
    where = loopback();
    ASSERT_TRUE(s.bindV6(where, 0));
    ASSERT_NE(where.port, 0);
}

// A connected TCP pair over loopback: `client` connected, `accepted` its server side.
void connectPair(Socket& listener, Socket& client, Socket& accepted, IPAddress& peer) {
    ASSERT_TRUE(listener.open(Socket::TYPE_TCPV6));
    IPAddress where = loopback();
    ASSERT_TRUE(listener.bindV6(where, 16));
    ASSERT_TRUE(client.open(Socket::TYPE_TCPV6));
    ASSERT_TRUE(client.connectV6(where));
    ASSERT_EQ(listener.acceptV6(accepted, peer, Clock::fromSeconds(5)), WaitResult::Ready);
}

// Adds an IPv6 address to a link and waits until the kernel has finished
// setting it up (it stays tentative for a moment even without duplicate
// detection, and datagrams to it are lost meanwhile).
bool addAddress(const std::string& link, const std::string& v6WithPrefix) {
    if (tmtest::shell("ip -6 addr add " + v6WithPrefix + " dev " + link + " nodad") != 0) return false;
    const std::string address = v6WithPrefix.substr(0, v6WithPrefix.find('/'));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::string out;
        if (tmtest::shell("ip -6 -o addr show dev " + link, &out) != 0) return false;
        const std::size_t at = out.find("inet6 " + address + "/");
        if (at != std::string::npos && out.substr(at, out.find('\n', at) - at).find("tentative") == std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool addDummyLink(const std::string& name, const std::string& v6, unsigned& index) {
    if (tmtest::shell("ip link add " + name + " type veth peer name " + name + "p && ip link set " + name +
                      " up && ip link set " + name + "p up") != 0 ||
        !addAddress(name, v6 + "/64"))
        return false;
    index = ::if_nametoindex(name.c_str());
    return index != 0;
}

}  // namespace

TEST(Socket, NewSocketIsClosedWithDefaults) {
    Socket s;
    EXPECT_FALSE(s.is_open());
    EXPECT_EQ(s.getDescriptor(), -1);
    EXPECT_EQ(s.receiveSize, 1500u);
    EXPECT_TRUE(s.getBlocking());
    EXPECT_EQ(s.type, Socket::TYPE_TCPV4);
    EXPECT_EQ(s.lastError, 0);
    EXPECT_EQ(s.bindIfIndex, 0u);
    s.close();  // nothing to do
    EXPECT_FALSE(s.is_open());
    EXPECT_EQ(s.wait(), WaitResult::Error) << "waiting on a closed socket is refused";
}

TEST(Socket, OpenSetsKindFamilyAndOptionsPerType) {
    struct Case {
        Socket::Type type;
        int family, kind, v6only;  // v6only -1: no such request
    } cases[] = {
        {Socket::TYPE_TCPV4, AF_INET, SOCK_STREAM, -1},     {Socket::TYPE_UDPV4, AF_INET, SOCK_DGRAM, -1},
        {Socket::TYPE_TCPV6, AF_INET6, SOCK_STREAM, 1},     {Socket::TYPE_UDPV6, AF_INET6, SOCK_DGRAM, 1},
        {Socket::TYPE_TCPV6_DUAL, AF_INET6, SOCK_STREAM, 0}, {Socket::TYPE_UDPV6_DUAL, AF_INET6, SOCK_DGRAM, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Socket s;
        ASSERT_TRUE(s.open(c.type));
        int fd = s.getDescriptor();
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_DOMAIN), c.family);
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_TYPE), c.kind);
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), c.kind == SOCK_STREAM ? 1 : 0);
        if (c.v6only >= 0) {
            EXPECT_EQ(intOption(fd, IPPROTO_IPV6, IPV6_V6ONLY), c.v6only);
        }
        if (c.kind == SOCK_STREAM) {
            EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
        }
        if (c.type == Socket::TYPE_UDPV4) {
            EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_BROADCAST), 1);
        }
        EXPECT_TRUE(s.getBlocking());
        EXPECT_EQ(s.type, c.type);
    }
}

TEST(Socket, ReopenReplacesTheSocketAndABadTypeLeavesItClosed) {
    Socket s;
    ASSERT_TRUE(s.open(Socket::TYPE_TCPV6));
    s.receiveSize = 4096;
    ASSERT_TRUE(s.open(Socket::TYPE_UDPV6));
    EXPECT_EQ(intOption(s.getDescriptor(), SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(s.receiveSize, 4096u) << "receiveSize survives open";
    EXPECT_FALSE(s.open(static_cast<Socket::Type>(6)));
    EXPECT_FALSE(s.is_open());
}

TEST(Socket, StreamBindToAnyWritesThePortBackAndListens) {
    Socket listener, client, accepted;
    ASSERT_TRUE(listener.open(Socket::TYPE_TCPV6_DUAL));
    IPAddress any;
    ASSERT_TRUE(listener.bindV6(any, 1000));
    EXPECT_NE(any.get_port(), 0);
    EXPECT_EQ(listener.bindIfIndex, 0u);
    EXPECT_EQ(intOption(listener.getDescriptor(), SOL_SOCKET, SO_ACCEPTCONN), 1);

    IPAddress peer;
    peer.ifIndex = 77;
    EXPECT_EQ(listener.acceptV6(accepted, peer, Clock::fromMilliseconds(10)), WaitResult::TimeOut) << "nothing pending";

    ASSERT_TRUE(client.open(Socket::TYPE_TCPV6));
    ASSERT_TRUE(client.connectV6(loopback(any.get_port())));
    ASSERT_EQ(listener.acceptV6(accepted, peer, Clock::fromSeconds(5)), WaitResult::Ready);
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(client.getDescriptor(), reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_TRUE(peer.is_loopback());
    EXPECT_EQ(peer.port, local.sin6_port);
    EXPECT_EQ(peer.ifIndex, 77u) << "accept leaves the peer's interface index alone";
}

TEST(Socket, StreamSendReceiveAndPeerClose) {
    Socket listener, client, accepted;
    IPAddress peer;
    connectPair(listener, client, accepted, peer);

    ASSERT_TRUE(accepted.setBlocking(false));
    Buffer in;
    in.assign(5, 0xAA);
    EXPECT_TRUE(accepted.receive(in)) << "nothing waiting is not an error";
    EXPECT_TRUE(in.empty());

    EXPECT_TRUE(client.send(view("hello world")));
    ASSERT_EQ(accepted.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    accepted.receiveSize = 5;
    ASSERT_TRUE(accepted.receive(in));
    EXPECT_EQ(text(in), "hello");
    std::uint8_t area[64];
    std::size_t count = 99;
    ASSERT_TRUE(accepted.receive(BufferCS(area, sizeof area), count));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(area), count), " world");
    ASSERT_TRUE(accepted.receive(BufferCS(area, sizeof area), count));
    EXPECT_EQ(count, 0u) << "nothing waiting into a view";

    client.close();
    ASSERT_EQ(accepted.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    count = 42;
    EXPECT_FALSE(accepted.receive(BufferCS(area, sizeof area), count));
    EXPECT_EQ(count, 42u) << "a closed connection leaves count unchanged";
    in.assign(3, 1);
    EXPECT_FALSE(accepted.receive(in));
    EXPECT_TRUE(in.empty());
}

TEST(Socket, SendToAGonePeerFailsWithoutEndingTheProcess) {
    Socket listener, client, accepted;
    IPAddress peer;
    connectPair(listener, client, accepted, peer);
    accepted.close();
    auto previous = std::signal(SIGPIPE, SIG_DFL);  // the default action would end the process
    std::string chunk(4096, 'x');
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) {
        failed = !client.send(view(chunk));
        if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::size_t sent = 0;
    bool noBlock = client.sendNoBlock(view(chunk), 0, sent);
    std::signal(SIGPIPE, previous);
    EXPECT_TRUE(failed);
    EXPECT_FALSE(noBlock);
    EXPECT_EQ(sent, 0u);
    EXPECT_NE(client.lastError, 0);
}

TEST(Socket, SendNoBlockTakesWhatFitsAndNeverBlocks) {
    Socket listener, client, accepted;
    IPAddress peer;
    connectPair(listener, client, accepted, peer);
    int small = 4096;
    ASSERT_EQ(::setsockopt(client.getDescriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(::setsockopt(accepted.getDescriptor(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    std::string big(4 << 20, 'y');
    std::size_t sent = 0;
    ASSERT_TRUE(client.sendNoBlock(view(big), 100, sent));
    EXPECT_GT(sent, 100u);
    EXPECT_LT(sent, big.size()) << "the peer does not read, so only part fits";
    std::size_t again = 0;
    for (int i = 0; i < 100 && again != sent; ++i) {
        ASSERT_TRUE(client.sendNoBlock(view(big), sent, again));
        if (again != sent) sent = again;
    }
    EXPECT_EQ(again, sent) << "a full socket takes nothing and says so without an error";
    EXPECT_TRUE(client.getBlocking());
}

TEST(Socket, DatagramsOnLoopback) {
    Socket a, b;
    IPAddress whereA, whereB;
    openBoundUdp(a, whereA);
    openBoundUdp(b, whereB);
    unsigned lo = ::if_nametoindex("lo");
    EXPECT_EQ(a.bindIfIndex, lo) << "::1 with interface 0 takes the loopback interface's index";

    ASSERT_TRUE(b.setBlocking(false));
    Buffer in;
    IPAddress from;
    from.ifIndex = 1234;
    EXPECT_TRUE(b.receiveFromV6(in, from));
    EXPECT_TRUE(in.empty());
    EXPECT_EQ(from.ifIndex, 1234u) << "nothing waiting leaves the sender alone";

    ASSERT_TRUE(a.sendToV6(view("ping"), whereB, false));
    ASSERT_EQ(b.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    ASSERT_TRUE(b.receiveFromV6(in, from));
    EXPECT_EQ(text(in), "ping");
    EXPECT_TRUE(from.is_loopback());
    EXPECT_EQ(from.port, whereA.port);
    EXPECT_EQ(from.ifIndex, 0u) << "the platform gives ::1 no scope";

    std::string large(2000, 'z');
    large[1499] = 'E';
    ASSERT_TRUE(a.sendToV6(view(large), whereB, true));
    ASSERT_EQ(b.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    ASSERT_TRUE(b.receiveFromV6(in, from));
    ASSERT_EQ(in.size(), 1500u) << "cut to receiveSize";
    EXPECT_EQ(in.back(), 'E');

    // The stored destination.
    b.setToV6(whereA);
    IPAddress back;
    b.getToV6(back);
    EXPECT_EQ(back.port, whereA.port);
    EXPECT_EQ(back.ifIndex, 0u) << "bindIfIndex set: the stored scope reads back as 0";
    ASSERT_TRUE(b.sendToV6(view("pong"), false));
    ASSERT_EQ(a.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    std::uint8_t area[16];
    std::size_t count = 0;
    ASSERT_TRUE(a.receiveFromV6(BufferCS(area, sizeof area), count, from));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(area), count), "pong");
    EXPECT_EQ(from.port, whereB.port);
}

TEST(Socket, ADatagramPortThatIsTakenCannotBeBoundAgain) {
    Socket first, second;
    IPAddress where;
    openBoundUdp(first, where);
    ASSERT_TRUE(second.open(Socket::TYPE_UDPV6));
    IPAddress same = where;
    EXPECT_FALSE(second.bindV6(same, 0)) << "a second socket would take the first one's datagrams";
    EXPECT_EQ(second.lastError, EADDRINUSE);

    // A stream listener can be rebound at once over its old connections.
    Socket listener, client, accepted;
    IPAddress peer;
    connectPair(listener, client, accepted, peer);
    sockaddr_in6 bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(listener.getDescriptor(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    accepted.close();
    listener.close();
    Socket again;
    ASSERT_TRUE(again.open(Socket::TYPE_TCPV6));
    IPAddress reuse = loopback();
    reuse.port = bound.sin6_port;
    EXPECT_TRUE(again.bindV6(reuse, 16)) << "errno " << again.lastError;
}

TEST(Socket, ClosedSocketReportsFailures) {
    Socket s;
    Buffer in;
    in.assign(4, 1);
    IPAddress from;
    EXPECT_FALSE(s.receiveFromV6(in, from));
    EXPECT_TRUE(in.empty());
    EXPECT_FALSE(s.sendToV6(view("x"), loopback(9), true));
    EXPECT_EQ(s.lastError, EBADF);
    EXPECT_FALSE(s.connectV6(loopback(9)));
}

// Every refusal keeps the platform's error number for the caller's log line.
TEST(Socket, EveryFailureKeepsItsErrorNumber) {
    Socket v6, v4, closed;
    ASSERT_TRUE(v6.open(Socket::TYPE_UDPV6));
    ASSERT_TRUE(v4.open(Socket::TYPE_UDPV4));
    IPAddress noSuchLink = parse("ff02::1", 999);
    IPAddress groupV4, noSuchAddress;
    ASSERT_TRUE(groupV4.set_V4_str("239.1.2.3"));
    ASSERT_TRUE(noSuchAddress.set_V4_str("10.254.254.254"));
    struct Case {
        const char* name;
        Socket& socket;
        std::function<bool()> operation;
    } cases[] = {
        {"join on no such interface", v6, [&] { return v6.memberV6(noSuchLink); }},
        {"multicast interface that does not exist", v6, [&] { return v6.setInterface(999); }},
        {"IPv4 join on an address not held here", v4, [&] { return v4.memberV4(groupV4, noSuchAddress); }},
        {"blocking mode of a closed socket", closed, [&] { return closed.setBlocking(false); }},
        {"bind of a closed socket", closed, [&] {
             IPAddress where = loopback();
             return closed.bindV6(where, 0);
         }},
        {"open of an unknown type", closed, [&] { return closed.open(static_cast<Socket::Type>(6)); }},
    };
    for (const Case& c : cases) {
        c.socket.lastError = 0;
        EXPECT_FALSE(c.operation()) << c.name;
        EXPECT_NE(c.socket.lastError, 0) << c.name;
    }
}

// With every descriptor in use, a socket opened before still binds to ::1
// (its scope needs no interface list, which would need a descriptor), and
// the socket that cannot be opened says why.
TEST(Socket, LoopbackBindNeedsNoDescriptorAndShortageIsReported) {
    const unsigned lo = ::if_nametoindex("lo");
    Socket early, late;
    ASSERT_TRUE(early.open(Socket::TYPE_UDPV6));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
    IPAddress where = loopback();
    const bool bound = early.bindV6(where, 0);
    const int bindError = early.lastError;
    const bool opened = late.open(Socket::TYPE_UDPV6);
    const int openError = late.lastError;
    for (int fd : filler) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(bound) << "errno " << bindError;
    EXPECT_EQ(early.bindIfIndex, lo);
    EXPECT_NE(where.port, 0);
    EXPECT_FALSE(opened);
    EXPECT_EQ(openError, EMFILE);
}

TEST(Socket, ConnectFailureKeepsTheErrorNumber) {
    Socket probe, s;
    IPAddress where;
    openBoundUdp(probe, where);  // a port with no stream listener
    ASSERT_TRUE(s.open(Socket::TYPE_TCPV6));
    EXPECT_FALSE(s.connectV6(where));
    EXPECT_EQ(s.lastError, ECONNREFUSED);
}

TEST(Socket, DualStackAndIPv4Datagrams) {
    Socket v4, dual;
    ASSERT_TRUE(dual.open(Socket::TYPE_UDPV6_DUAL));
    IPAddress any;
    ASSERT_TRUE(dual.bindV6(any, 0));
    ASSERT_TRUE(v4.open(Socket::TYPE_UDPV4));
    IPAddress v4any;
    ASSERT_TRUE(v4.bindV4(v4any));
    IPAddress target;
    ASSERT_TRUE(target.set_V4_str("127.0.0.1"));
    target.port = any.port;
    ASSERT_TRUE(v4.sendToV4(view("four"), target, false));
    ASSERT_EQ(dual.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    Buffer in;
    IPAddress from;
    ASSERT_TRUE(dual.receiveFromV6(in, from));
    EXPECT_EQ(text(in), "four");
    EXPECT_TRUE(from.is_v4()) << "an IPv4 sender reads as its mapped address";
    std::string address;
    from.get_V4_str(address);
    EXPECT_EQ(address, "127.0.0.1");

    // And back to the IPv4 socket, read with the IPv4 receive.
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(v4.getDescriptor(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    target.port = bound.sin_port;
    ASSERT_TRUE(dual.sendToV6(view("back"), target, false));
    ASSERT_EQ(v4.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    IPAddress from4;
    from4.ifIndex = 5;
    ASSERT_TRUE(v4.receiveFromV4(in, from4));
    EXPECT_EQ(text(in), "back");
    EXPECT_TRUE(from4.is_v4());
    EXPECT_EQ(from4.port, any.port);
    EXPECT_EQ(from4.ifIndex, 5u);
}

TEST(Socket, LocalAddressListsAndLinkLocalScope) {
    tmtest::FreshNetns network;  // what the test adds goes with it
    if (!network.ok()) GTEST_SKIP() << "needs a network namespace of its own to add a link: " << network.reason();
    unsigned index = 0;
    ASSERT_TRUE(addDummyLink("tmlink0", "fe80::1", index));
    ASSERT_EQ(tmtest::shell("ip -4 addr add 10.77.0.1/24 dev tmlink0"), 0);
    unsigned lo = ::if_nametoindex("lo");

    Socket::AddressList all;
    ASSERT_TRUE(Socket::getMyAddresV6(all));
    IPAddress loKey = loopback();
    loKey.ifIndex = lo;
    ASSERT_EQ(all.count(loKey), 1u);
    EXPECT_EQ(all[loKey].name, "lo");
    EXPECT_TRUE(all[loKey].other.empty());
    IPAddress llKey = parse("fe80::1", index);
    ASSERT_EQ(all.count(llKey), 1u);
    EXPECT_EQ(all[llKey].name, "tmlink0");
    for (const auto& e : all) EXPECT_EQ(e.first.port, 0);

    Socket::AddressList local;
    ASSERT_TRUE(Socket::getMyLocalAddresV6(local, false));
    EXPECT_EQ(local.count(loKey), 0u);
    EXPECT_EQ(local.count(llKey), 1u);
    for (const auto& e : local) EXPECT_TRUE(e.first.address[0] == 0xfe && e.first.address[1] == 0x80);
    ASSERT_TRUE(Socket::getMyLocalAddresV6(local, true));
    EXPECT_EQ(local.count(loKey), 1u);

    Socket::AddressList v4;
    ASSERT_TRUE(Socket::getMyAddresV4(v4));
    IPAddress v4lo, v4dummy;
    ASSERT_TRUE(v4lo.set_V4_str("127.0.0.1"));
    v4lo.ifIndex = lo;
    ASSERT_TRUE(v4dummy.set_V4_str("10.77.0.1"));
    v4dummy.ifIndex = index;
    EXPECT_EQ(v4[v4lo].name, "lo");
    EXPECT_EQ(v4[v4dummy].name, "tmlink0");

    // Binding to a link-local address fixes the scope of every destination.
    Socket bound, other;
    IPAddress where = parse("fe80::1", index);
    ASSERT_TRUE(bound.open(Socket::TYPE_UDPV6));
    ASSERT_TRUE(bound.bindV6(where, 0));
    EXPECT_EQ(bound.bindIfIndex, index);
    EXPECT_EQ(static_cast<unsigned>(intOption(bound.getDescriptor(), IPPROTO_IPV6, IPV6_MULTICAST_IF)), index);
    ASSERT_TRUE(other.open(Socket::TYPE_UDPV6));
    IPAddress otherWhere = parse("fe80::1", index);
    ASSERT_TRUE(other.bindV6(otherWhere, 0));
    IPAddress wrongScope = otherWhere;
    wrongScope.ifIndex = 999;  // no such interface: only the bound scope makes this deliverable
    ASSERT_TRUE(bound.sendToV6(view("scoped"), wrongScope, false)) << "errno " << bound.lastError;
    ASSERT_EQ(other.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    Buffer in;
    IPAddress from;
    ASSERT_TRUE(other.receiveFromV6(in, from));
    EXPECT_EQ(text(in), "scoped");
    EXPECT_EQ(from.ifIndex, index);
    bound.setToV6(wrongScope);
    IPAddress back;
    bound.getToV6(back);
    EXPECT_EQ(back.ifIndex, 0u);

    IPAddress allNodes = parse("ff02::1", index);
    EXPECT_TRUE(bound.memberV6(allNodes));
    allNodes.ifIndex = 999;
    EXPECT_FALSE(bound.memberV6(allNodes)) << "no such interface";
    EXPECT_TRUE(other.setInterface(index));
    EXPECT_FALSE(other.setInterface(999));

    Socket unscoped;
    ASSERT_TRUE(unscoped.open(Socket::TYPE_UDPV6));
    EXPECT_FALSE(unscoped.sendToV6(view("lost"), wrongScope, false)) << "without a bound scope 999 is used";
    EXPECT_NE(unscoped.lastError, 0);
}

TEST(Socket, RetriedSendWaitsForRoomOnAFullNonBlockingSocket) {
    tmtest::FreshNetns network;  // what the test adds goes with it
    if (!network.ok()) GTEST_SKIP() << "needs a network namespace of its own to shape lo: " << network.reason();
    // A slow queue on lo keeps sent datagrams charged to the sender, so its
    // small send buffer fills up.
    if (tmtest::shell("tc qdisc add dev lo root tbf rate 400kbit burst 1600 latency 5s") != 0)
        GTEST_SKIP() << "tc cannot shape lo here";
    Socket sender, receiver;
    IPAddress whereS, whereR;
    openBoundUdp(sender, whereS);
    openBoundUdp(receiver, whereR);
    int small = 4096;
    ASSERT_EQ(::setsockopt(sender.getDescriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    int big = 1 << 20;
    ASSERT_EQ(::setsockopt(receiver.getDescriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big), 0);
    ASSERT_TRUE(sender.setBlocking(false));

    std::string datagram(1000, 'd');
    int sent = 0;
    bool full = false;
    for (int i = 0; i < 1000 && !full; ++i) {
        if (sender.sendToV6(view(datagram), whereR, false))
            ++sent;
        else
            full = true;
    }
    ASSERT_TRUE(full) << "the send buffer never filled";
    EXPECT_EQ(sender.lastError, EAGAIN);

    datagram[0] = 'L';
    EXPECT_TRUE(sender.sendToV6(view(datagram), whereR, true)) << "errno " << sender.lastError;
    EXPECT_FALSE(sender.getBlocking());
    EXPECT_TRUE(::fcntl(sender.getDescriptor(), F_GETFL) & O_NONBLOCK) << "the socket stays non-blocking";

    Buffer in;
    IPAddress from;
    int received = 0;
    bool last = false;
    while (!last && receiver.wait(Clock::fromSeconds(10)) == WaitResult::Ready) {
        ASSERT_TRUE(receiver.receiveFromV6(in, from));
        ++received;
        last = !in.empty() && in[0] == 'L';
    }
    EXPECT_TRUE(last) << "the retried datagram arrived";
    EXPECT_EQ(received, sent + 1);
}

TEST(Socket, WaitResultsAndSignals) {
    Socket a, b;
    IPAddress whereA, whereB;
    openBoundUdp(a, whereA);
    openBoundUdp(b, whereB);
    EXPECT_EQ(b.wait(), WaitResult::TimeOut);
    EXPECT_EQ(b.wait(Clock(250000000000ULL)), WaitResult::TimeOut);
    ASSERT_TRUE(a.sendToV6(view("x"), whereB, false));
    EXPECT_EQ(b.wait(Clock::fromSeconds(5)), WaitResult::Ready);

    // A signal that interrupts the wait counts as a time-out.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    Buffer drop;
    IPAddress from;
    ASSERT_TRUE(b.receiveFromV6(drop, from));
    pthread_t self = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread poke([&] {
        while (!done) {
            ::pthread_kill(self, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    WaitResult result = b.wait(Clock::fromSeconds(30));
    done = true;
    poke.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result, WaitResult::TimeOut);
}

TEST(Socket, IPv4MulticastGoesOutOnceOnEveryLocalAddress) {
    tmtest::FreshNetns network;  // what the test adds goes with it
    if (!network.ok()) GTEST_SKIP() << "needs a network namespace of its own to add a link: " << network.reason();
    unsigned index = 0;
    ASSERT_TRUE(addDummyLink("tmlink1", "fe80::5", index));
    ASSERT_EQ(tmtest::shell("ip -4 addr add 10.78.0.1/24 dev tmlink1 && ip link set lo multicast on"), 0);
    Socket::AddressList v4;
    ASSERT_TRUE(Socket::getMyAddresV4(v4));
    ASSERT_EQ(v4.size(), 2u);

    IPAddress group;
    ASSERT_TRUE(group.set_V4_str("239.1.2.3"));
    Socket receiver, sender;
    ASSERT_TRUE(receiver.open(Socket::TYPE_UDPV4));
    IPAddress any;
    ASSERT_TRUE(receiver.bindV4(any));
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(receiver.getDescriptor(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    group.port = bound.sin_port;
    ASSERT_TRUE(receiver.memberV4(group)) << "joined on every local address";
    ASSERT_TRUE(sender.open(Socket::TYPE_UDPV4));
    ASSERT_TRUE(sender.sendToV4(view("group"), group, false)) << "errno " << sender.lastError;
    int received = 0;
    Buffer in;
    IPAddress from;
    while (receiver.wait(Clock::fromMilliseconds(300)) == WaitResult::Ready) {
        ASSERT_TRUE(receiver.receiveFromV4(in, from));
        EXPECT_EQ(text(in), "group");
        ++received;
    }
    EXPECT_EQ(received, 2) << "one copy per local IPv4 address";
}

// A host with two addresses on one interface: an endpoint bound to the
// any-address answers each request from the address the request was sent to,
// whatever source the platform would choose for the reply.
TEST(Socket, AnswerLeavesFromTheAddressThatWasAsked) {
    tmtest::FreshNetns network;  // what the test adds goes with it
    if (!network.ok()) GTEST_SKIP() << "needs a network namespace of its own to add addresses: " << network.reason();
    ASSERT_TRUE(addAddress("lo", "fd00:5::7/128"));
    ASSERT_TRUE(addAddress("lo", "fd00:5::8/128"));
    Socket endpoint, asker;
    ASSERT_TRUE(endpoint.open(Socket::TYPE_UDPV6));
    IPAddress any;
    ASSERT_TRUE(endpoint.bindV6(any, 0));
    IPAddress askerAt;
    openBoundUdp(asker, askerAt);

    for (const char* asked : {"fd00:5::7", "fd00:5::8", "::1"}) {
        IPAddress to = parse(asked);
        to.port = any.port;
        ASSERT_TRUE(asker.sendToV6(view("ask"), to, false));
        ASSERT_EQ(endpoint.wait(Clock::fromSeconds(5)), WaitResult::Ready);
        Buffer request;
        IPAddress from, local;
        ASSERT_TRUE(endpoint.receiveFromV6(request, from, local));
        EXPECT_EQ(text(request), "ask");
        EXPECT_TRUE(from.is_loopback());
        EXPECT_EQ(local.address, to.address) << asked;
        EXPECT_NE(local.ifIndex, 0u) << "the arrival interface is reported";

        ASSERT_TRUE(endpoint.sendToV6(view("answer"), from, local, false));
        ASSERT_EQ(asker.wait(Clock::fromSeconds(5)), WaitResult::Ready);
        Buffer answer;
        IPAddress answeredFrom;
        ASSERT_TRUE(asker.receiveFromV6(answer, answeredFrom));
        EXPECT_EQ(text(answer), "answer");
        EXPECT_EQ(answeredFrom.address, to.address) << "asked " << asked;
        EXPECT_EQ(answeredFrom.port, any.port);
    }

    // Without a source the platform picks one: ::1 towards ::1, which a peer
    // that asked fd00:5::7 would not accept.
    IPAddress to = parse("fd00:5::7");
    to.port = any.port;
    ASSERT_TRUE(asker.sendToV6(view("ask"), to, false));
    ASSERT_EQ(endpoint.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    Buffer request;
    IPAddress from, local;
    ASSERT_TRUE(endpoint.receiveFromV6(request, from, local));
    ASSERT_TRUE(endpoint.sendToV6(view("answer"), from, false));
    ASSERT_EQ(asker.wait(Clock::fromSeconds(5)), WaitResult::Ready);
    Buffer answer;
    IPAddress answeredFrom;
    ASSERT_TRUE(asker.receiveFromV6(answer, answeredFrom));
    EXPECT_TRUE(answeredFrom.is_loopback());

    // Zero and multicast sources are the platform's choice, not an error.
    IPAddress multicast = parse("ff02::1");
    ASSERT_TRUE(endpoint.sendToV6(view("x"), from, multicast, false));
    ASSERT_TRUE(endpoint.sendToV6(view("y"), from, IPAddress(), false));
}
