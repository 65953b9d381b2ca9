#include "foundation/TCPV6Server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using ORVEX::Buffer;
using ORVEX::BufferCS;
using ORVEX::BufferCS_const;
using ORVEX::Clock;
using ORVEX::IPAddress;
using ORVEX::Socket;
using ORVEX::TCPV6Server;
using ORVEX::WaitResult;

namespace {

// A server on [::]:<system port> served by its own waiter.
struct TCPV6ServerTest : ::testing::Test {
    Socket::Waiter waiter;
    TCPV6Server server{waiter};
    IPAddress where;

    void SetUp() override {
        ASSERT_TRUE(server.open(true));
        ASSERT_TRUE(server.bind(where));
        ASSERT_NE(where.port, 0);
    }

    std::unique_ptr<Socket> connect() {
        auto client = std::make_unique<Socket>();
        EXPECT_TRUE(client->open(Socket::TYPE_TCPV6));
        IPAddress to = where;
        to.address[15] = 1;
        EXPECT_TRUE(client->connectV6(to));
        return client;
    }

    // One turn of an owning loop: wait, accept with `keep`, serve with `serve`.
    WaitResult turn(const std::function<bool(TCPV6Server::Client&)>& keep,
             const std::function<bool(TCPV6Server::Client&)>& serve, Clock timeOut = Clock::fromSeconds(2)) {
        WaitResult result = waiter.wait(timeOut);
        if (result == WaitResult::Ready) {
            EXPECT_TRUE(server.accept(keep));
            server.receive(serve);
        }
        return result;
    }

    void acceptOne() {
        std::size_t before = server.getClients().size();
        for (int i = 0; i < 50 && server.getClients().size() == before; ++i)
            turn([](TCPV6Server::Client&) { return true; }, [](TCPV6Server::Client&) { return true; });
        ASSERT_EQ(server.getClients().size(), before + 1);
    }
};

// True when the peer has closed the connection (read gives 0 or an error).
bool seesEnd(Socket& s) {
    if (s.wait(Clock::fromSeconds(5)) != WaitResult::Ready) return false;
    std::uint8_t byte;
    std::size_t count = 0;
    return !s.receive(BufferCS(&byte, 1), count);
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
    return s;
}

}  // namespace

TEST_F(TCPV6ServerTest, OpenGivesADualStackListenerThatServesIPv4AndIPv6Clients) {
    EXPECT_EQ(server.listener.receiveSize, 16384u);
    EXPECT_EQ(server.type, Socket::TYPE_TCPV6_DUAL);
    Socket v4;
    ASSERT_TRUE(v4.open(Socket::TYPE_TCPV4));
    IPAddress to;
    ASSERT_TRUE(to.set_V4_str("127.0.0.1"));
    to.port = where.port;
    ASSERT_TRUE(v4.connectV4(to));
    acceptOne();
    EXPECT_TRUE(server.getClients().front()->peer.is_v4());
    EXPECT_EQ(server.getClients().front()->peer.ifIndex, 0u);
    auto v6 = connect();
    acceptOne();
    EXPECT_TRUE(server.getClients().back()->peer.is_loopback());
}

TEST_F(TCPV6ServerTest, AcceptTakesOneConnectionPerCallAndOnlyWhenReadable) {
    int calls = 0;
    auto count = [&](TCPV6Server::Client&) { ++calls; return true; };
    EXPECT_TRUE(server.accept(count)) << "the listener was not reported readable";
    EXPECT_EQ(calls, 0);
    auto a = connect();
    auto b = connect();
    ASSERT_EQ(waiter.wait(Clock::fromSeconds(2)), WaitResult::Ready);
    EXPECT_TRUE(server.accept(count));
    EXPECT_EQ(server.getClients().size(), 1u);
    ASSERT_EQ(waiter.wait(Clock::fromSeconds(2)), WaitResult::Ready) << "the second connection keeps the listener readable";
    EXPECT_TRUE(server.accept(count));
    EXPECT_EQ(server.getClients().size(), 2u);
    EXPECT_EQ(calls, 2);
}

TEST_F(TCPV6ServerTest, ARefusedConnectionIsClosed) {
    auto a = connect();
    ASSERT_EQ(waiter.wait(Clock::fromSeconds(2)), WaitResult::Ready);
    EXPECT_TRUE(server.accept([](TCPV6Server::Client&) { return false; }));
    EXPECT_TRUE(server.getClients().empty());
    EXPECT_TRUE(seesEnd(*a));
}

TEST_F(TCPV6ServerTest, ReceiveDropsExactlyTheClientsWhoseCallbackSaysFalse) {
    auto a = connect();
    acceptOne();
    auto b = connect();
    acceptOne();
    auto c = connect();
    acceptOne();
    std::vector<TCPV6Server::Client*> before(server.getClients().begin(), server.getClients().end());
    std::string hello = "hi";
    for (auto* s : {a.get(), b.get(), c.get()}) ASSERT_TRUE(s->send(BufferCS_const(hello)));
    std::vector<TCPV6Server::Client*> served;
    int waits = 0;
    while (served.size() < 3 && waits++ < 50) {
        ASSERT_NE(waiter.wait(Clock::fromSeconds(2)), WaitResult::Error);
        server.receive([&](TCPV6Server::Client& client) {
            Buffer in;
            EXPECT_TRUE(client.socket->receive(in));
            served.push_back(&client);
            return &client != before[1];
        });
    }
    ASSERT_EQ(served.size(), 3u);
    ASSERT_EQ(server.getClients().size(), 2u);
    EXPECT_EQ(server.getClients().front(), before[0]);
    EXPECT_EQ(server.getClients().back(), before[2]);
    EXPECT_TRUE(seesEnd(*b));
    EXPECT_EQ(a->wait(Clock::fromMilliseconds(50)), WaitResult::TimeOut) << "the others stay connected";
}

TEST_F(TCPV6ServerTest, ReopenClosesEveryClient) {
    auto a = connect();
    acceptOne();
    auto b = connect();
    acceptOne();
    ASSERT_TRUE(server.open(true));
    EXPECT_TRUE(server.getClients().empty());
    EXPECT_TRUE(seesEnd(*a));
    EXPECT_TRUE(seesEnd(*b));
    EXPECT_EQ(server.receiveSize, 16384u);
    IPAddress again;
    ASSERT_TRUE(server.bind(again));
    EXPECT_NE(again.port, 0);
}

TEST_F(TCPV6ServerTest, ClientSendNeverBlocksAndDeliversEverythingInOrder) {
    auto peer = connect();
    int small = 16384;
    ASSERT_EQ(::setsockopt(peer->descriptor, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    acceptOne();
    TCPV6Server::Client* client = server.getClients().front();
    ASSERT_EQ(::setsockopt(client->socket->descriptor, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);

    // The peer reads nothing yet: far more than the socket buffers take is queued.
    std::string data = pattern(1 << 20);
    for (std::size_t at = 0; at < data.size(); at += 65536)
        ASSERT_TRUE(client->send(BufferCS_const(data.data() + at, 65536)));
    ASSERT_TRUE(client->send(BufferCS_const("end", 3)));
    data += "end";
    EXPECT_GT(client->pending(), 0u);

    // Now the peer reads while the server's loop turns: the queue drains on writability.
    std::string got;
    Buffer in;
    peer->receiveSize = 1 << 20;
    ASSERT_TRUE(peer->setBlocking(false));
    for (int i = 0; i < 100000 && got.size() < data.size(); ++i) {
        (void)turn([](TCPV6Server::Client&) { return true; }, [](TCPV6Server::Client&) { return true; }, Clock());
        ASSERT_TRUE(peer->receive(in));
        got.append(in.begin(), in.end());
    }
    EXPECT_EQ(client->pending(), 0u);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes arrived out of order or changed";
}

TEST_F(TCPV6ServerTest, AClientPastTheBacklogBoundIsDropped) {
    auto peer = connect();
    acceptOne();
    TCPV6Server::Client* client = server.getClients().front();
    std::string chunk(1 << 20, 'q');
    bool refused = false;
    for (int i = 0; i < 64 && !refused; ++i) refused = !client->send(BufferCS_const(chunk));
    ASSERT_TRUE(refused) << "the queue grew without bound";
    EXPECT_FALSE(client->socket->is_open());
    EXPECT_FALSE(client->send(BufferCS_const(chunk))) << "a dropped client takes nothing more";

    // The next receive walk hands it to the application, whose read fails.
    bool sawFailure = false;
    for (int i = 0; i < 10 && !server.getClients().empty(); ++i) {
        (void)waiter.wait(Clock::fromMilliseconds(10));
        server.receive([&](TCPV6Server::Client& c) {
            Buffer in;
            sawFailure = !c.socket->receive(in);
            return !sawFailure;
        });
    }
    EXPECT_TRUE(sawFailure);
    EXPECT_TRUE(server.getClients().empty());
    std::uint8_t sink[65536];
    std::size_t count = 0;
    bool open = true;
    for (int i = 0; i < 1000 && open; ++i) open = peer->wait(Clock::fromSeconds(5)) == WaitResult::Ready &&
                                               peer->receive(BufferCS(sink, sizeof sink), count);
    EXPECT_FALSE(open) << "the peer sees its connection end";
}

TEST_F(TCPV6ServerTest, AcceptAtTheDescriptorLimitRefusesThePeerAndCarriesOn) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    auto first = connect();
    // Use up every descriptor below a low limit.
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
    ASSERT_EQ(waiter.wait(Clock::fromSeconds(2)), WaitResult::Ready);
    int calls = 0;
    EXPECT_TRUE(server.accept([&](TCPV6Server::Client&) { ++calls; return true; }))
        << "EMFILE is one refused connection, not a broken server";
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(seesEnd(*first)) << "the pending peer is refused, not left waiting";
    EXPECT_EQ(waiter.wait(Clock::fromMilliseconds(20)), WaitResult::TimeOut) << "nothing left pending: no busy loop";
    for (int fd : filler) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    auto second = connect();
    acceptOne();
}

TEST_F(TCPV6ServerTest, ABrokenListenerIsAFailure) {
    // A listening socket that is shut down reads as readable and cannot accept.
    ASSERT_EQ(::shutdown(server.descriptor, SHUT_RDWR), 0);
    ASSERT_EQ(waiter.wait(Clock::fromSeconds(2)), WaitResult::Ready);
    EXPECT_FALSE(server.accept([](TCPV6Server::Client&) { return true; }));
}

TEST_F(TCPV6ServerTest, DetachHandsTheSocketOver) {
    auto peer = connect();
    acceptOne();
    TCPV6Server::Client* client = server.getClients().front();
    std::unique_ptr<TCPV6Server::ClientSocket> taken(client->detach());
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(client->socket, nullptr);
    EXPECT_EQ(client->detach(), nullptr);
    std::string ping = "ping";
    ASSERT_TRUE(peer->send(BufferCS_const(ping)));
    EXPECT_EQ(taken->wait(Clock::fromSeconds(2)), WaitResult::Ready);
    EXPECT_EQ(waiter.wait(Clock::fromMilliseconds(20)), WaitResult::TimeOut) << "no longer watched by the server's waiter";
}
