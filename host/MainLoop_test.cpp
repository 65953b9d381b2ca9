// The main loop with the real controller server, commands and ring, run on a
// thread of its own; the test plays the sending engine's part by setting its
// connection state and playing flag and by taking blocks as its worker would.
#include "host/MainLoop.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "host/ControllerCommands.h"
#include "host/ControllerSession.h"
#include "host/ControllerTable.h"
#include "host/HostSetting.h"
#include "host/TrackState.h"

namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

std::string prefix(std::size_t length, std::uint8_t type) {
    std::string p(9, '\0');
    p[0] = static_cast<char>((length >> 16) & 0xFF);
    p[1] = static_cast<char>((length >> 8) & 0xFF);
    p[2] = static_cast<char>(length & 0xFF);
    p[3] = static_cast<char>(type);
    return p;
}
std::string textFrame(const std::string& text) { return prefix(6 + text.size(), 1) + std::string(6, '\0') + text; }
std::string dataFrame(std::uint64_t format, const std::string& audio = std::string()) {
    std::string f = prefix(9 + audio.size(), 0) + std::string(1, '\0');
    for (int i = 0; i < 8; ++i) f.push_back(static_cast<char>((format >> (8 * i)) & 0xFF));
    return f + audio;
}
std::string tagFrame(const std::string& name) { return prefix(1 + name.size(), 2) + std::string(1, '\0') + name; }

constexpr std::uint64_t Pcm16x44k = 0x02 | 0x200 | 0x200000000ULL | 0x800000000ULL;

// A controller connection; frames come back as their text ("Key=Value").
class Peer {
public:
    ~Peer() {
        if (fd >= 0) ::close(fd);
    }
    bool connect(std::uint16_t port) {
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool send(const std::string& bytes) {
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    std::optional<std::string> line(Ms timeout = 5000ms) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (pending.size() >= 9) {
                const std::size_t length = (static_cast<std::uint8_t>(pending[0]) << 16) |
                                           (static_cast<std::uint8_t>(pending[1]) << 8) |
                                           static_cast<std::uint8_t>(pending[2]);
                if (pending.size() >= 9 + length) {
                    std::string text = pending.substr(15, length - 6);
                    pending.erase(0, 9 + length);
                    if (text.size() >= 2) text.resize(text.size() - 2);  // CR LF
                    return text;
                }
            }
            const auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            pending.append(buf, static_cast<std::size_t>(n));
        }
    }
    int fd = -1;
    std::string pending;
};

class MainLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.open(true));
        ORVEX::IPAddress any;
        ASSERT_TRUE(server.bind(any));
        port = any.get_port();
        loop = std::thread([this] {
            MainLoop mainLoop(waiter, server, sync, track, table, session);
            loopResult = mainLoop.run(running);
        });
    }
    void TearDown() override {
        sync.state = 0;
        sync.playing = false;
        running = false;
        if (loop.joinable()) loop.join();
        EXPECT_TRUE(loopResult);
    }
    // A registered controller.
    void registerPeer(Peer& peer) {
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send(textFrame("Request=Status")));
        ASSERT_EQ(peer.line(), "Tag=0:0:reset");
        while (true) {
            auto l = peer.line();
            ASSERT_TRUE(l.has_value());
            if (l->rfind("Status=", 0) == 0) break;
        }
    }
    // Uploads a track of `chunks` chunks with tags after the given chunk counts.
    void upload(Peer& peer, int chunks, int loopAfter, int quitAfter) {
        ASSERT_TRUE(peer.send(dataFrame(Pcm16x44k)));
        ASSERT_EQ(peer.line(), "Tag=0:0:reset");
        ASSERT_EQ(peer.line(), "DataStack=0");
        for (int i = 1; i <= chunks; ++i) {
            ASSERT_TRUE(peer.send(dataFrame(Pcm16x44k, std::string(1764, static_cast<char>(i)))));
            ASSERT_EQ(peer.line(), "DataStack=" + std::to_string(i));
            for (auto [after, name] : {std::pair{loopAfter, TrackState::LoopTag}, {quitAfter, TrackState::QuitTag}}) {
                if (after != i) continue;
                ASSERT_TRUE(peer.send(tagFrame(name)));
                ASSERT_EQ(peer.line(), "DataTag=" + std::to_string(i));
                ASSERT_TRUE(peer.line().has_value());
            }
        }
    }
    // Takes one block as the engine's worker does.
    void takeBlock() {
        ORVEX::BufferCS_const block;
        ASSERT_TRUE(sync.getNewStream(block));
    }

    ORVEX::Socket::Waiter waiter;
    ORVEX::TCPV6Server server{waiter};
    ZARNITH::SyncBuffer sync;
    TrackState track;
    ControllerTable table;
    HostSetting setting;
    ControllerCommands commands{setting, track, sync, table};
    ControllerSession session{table, commands};
    std::atomic<bool> running{true};
    bool loopResult = false;
    std::thread loop;
    std::uint16_t port = 0;
};

TEST_F(MainLoopTest, StatusIsPushedOnlyOnWaitTimeOuts) {
    Peer peer;
    registerPeer(peer);
    sync.state = 2;  // connected, paused
    EXPECT_EQ(peer.line(), "Status=Pause");
    // A controller sending every 50 ms keeps the wait from timing out: no push.
    Peer busy;
    ASSERT_TRUE(busy.connect(port));
    sync.playing = true;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(busy.send(textFrame("Ping")));
        EXPECT_FALSE(peer.line(50ms).has_value()) << i;
    }
    EXPECT_EQ(peer.line(), "Status=Play");
    sync.state = 0;
    EXPECT_EQ(peer.line(), "Status=Disconnect");
    EXPECT_FALSE(peer.line(300ms).has_value());
    // The unregistered controller got nothing at all.
    EXPECT_FALSE(busy.line(100ms).has_value());
}

TEST_F(MainLoopTest, ChunkWhileConnectedIsRefusedAndTheCountStays) {
    Peer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(peer.send(dataFrame(Pcm16x44k) + dataFrame(Pcm16x44k, "abcd")));
    EXPECT_EQ(peer.line(), "DataStack=0");
    EXPECT_EQ(peer.line(), "DataStack=1");
    sync.state = 2;
    ASSERT_TRUE(peer.send(dataFrame(Pcm16x44k, "efgh")));
    EXPECT_EQ(peer.line(), "DataStack=1");
    sync.state = 0;
    ASSERT_TRUE(peer.send(dataFrame(Pcm16x44k, "ijkl")));
    EXPECT_EQ(peer.line(), "DataStack=2");
}

TEST_F(MainLoopTest, RemainingPositionAndLoopRewind) {
    Peer peer;
    registerPeer(peer);
    upload(peer, 6, 2, 4);  // loop tag at 2, quit tag at 4: the loop comes first
    sync.state = 2;
    sync.playing = true;
    EXPECT_EQ(peer.line(), "Status=Play");
    EXPECT_FALSE(peer.line(300ms).has_value());  // nothing played yet: no "LastTime"
    takeBlock();
    EXPECT_EQ(peer.line(), "LastTime=5");
    takeBlock();
    // Remaining 4 reaches the loop tag: rewound, paused, resumed 500 ms later.
    EXPECT_EQ(peer.line(), "LastTime=4");
    EXPECT_EQ(peer.line(), "Status=Pause");
    const auto paused = std::chrono::steady_clock::now();
    EXPECT_EQ(peer.line(), "Status=Play");
    EXPECT_GE(std::chrono::steady_clock::now() - paused, 300ms);
    EXPECT_EQ(peer.line(), "LastTime=6");
    EXPECT_EQ(sync.getLastBufferCount(), 7u);
}

TEST_F(MainLoopTest, QuitTagFirstOnlyLogsAndPlaybackGoesOn) {
    Peer peer;
    registerPeer(peer);
    upload(peer, 6, 4, 2);  // quit tag before the loop tag
    sync.state = 2;
    sync.playing = true;
    EXPECT_EQ(peer.line(), "Status=Play");
    takeBlock();
    EXPECT_EQ(peer.line(), "LastTime=5");
    takeBlock();
    EXPECT_EQ(peer.line(), "LastTime=4");
    // Past the quit position: no rewind, no pause.
    EXPECT_FALSE(peer.line(700ms).has_value());
    EXPECT_EQ(sync.getLastBufferCount(), 5u);
    EXPECT_TRUE(sync.playing.load());
}

}  // namespace
