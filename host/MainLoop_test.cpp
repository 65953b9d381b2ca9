// The main loop with the real controller server, commands and ring, run on a
// thread of its own; the test plays the sending engine's part by making its
// worker's connection transitions, setting its playing flag and taking blocks
// as its worker would.
#include "host/MainLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "host/ControllerCommands.h"
#include "host/ControllerSession.h"
#include "host/ControllerTable.h"
#include "host/HostSetting.h"
#include "host/TrackState.h"
#include "tests/host_test_rig.h"

namespace {

using namespace hostrig;

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
        sync.state.ended();
        sync.playing = false;
        running = false;
        if (loop.joinable()) loop.join();
        EXPECT_TRUE(loopResult);
    }
    // A registered controller.
    void registerPeer(Controller& peer) {
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
    void upload(Controller& peer, int chunks, int loopAfter, int quitAfter) {
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
    // The engine's worker has connected to a sink (no worker runs here).
    void engineConnected() {
        sync.state.beginConnect();
        sync.state.accepted();
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
    Controller peer;
    registerPeer(peer);
    engineConnected();  // paused
    EXPECT_EQ(peer.line(), "Status=Pause");
    // A controller sending every 50 ms keeps the wait from timing out: no push.
    Controller busy;
    ASSERT_TRUE(busy.connect(port));
    sync.playing = true;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(busy.send(textFrame("Ping")));
        EXPECT_FALSE(peer.line(50ms).has_value()) << i;
    }
    EXPECT_EQ(peer.line(), "Status=Play");
    sync.state.ended();
    EXPECT_EQ(peer.line(), "Status=Disconnect");
    EXPECT_FALSE(peer.line(300ms).has_value());
    // The unregistered controller got nothing at all.
    EXPECT_FALSE(busy.line(100ms).has_value());
}

TEST_F(MainLoopTest, ChunkWhileConnectedIsRefusedAndTheCountStays) {
    Controller peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(peer.send(dataFrame(Pcm16x44k) + dataFrame(Pcm16x44k, "abcd")));
    EXPECT_EQ(peer.line(), "DataStack=0");
    EXPECT_EQ(peer.line(), "DataStack=1");
    engineConnected();
    ASSERT_TRUE(peer.send(dataFrame(Pcm16x44k, "efgh")));
    EXPECT_EQ(peer.line(), "DataStack=1");
    sync.state.ended();
    ASSERT_TRUE(peer.send(dataFrame(Pcm16x44k, "ijkl")));
    EXPECT_EQ(peer.line(), "DataStack=2");
}

TEST_F(MainLoopTest, RemainingPositionAndLoopRewind) {
    Controller peer;
    registerPeer(peer);
    upload(peer, 6, 2, 4);  // loop tag at 2, quit tag at 4: the loop comes first
    engineConnected();
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
    Controller peer;
    registerPeer(peer);
    upload(peer, 6, 4, 2);  // quit tag before the loop tag
    engineConnected();
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
