// The host's choice of transfer profile against a scripted sink, end to end:
// the host as a process in namespace a, a sink played by this test on real
// UDP sockets at fe80::2 in namespace b. A sink whose data-size answer allows
// less than one datagram per cycle leaves the fixed profile no room: the host
// logs the failure and connects with the automatic profile instead.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/MessageID.h"
#include "protocol/StatusID.h"
#include "tests/host_test_rig.h"
#include "tests/support/TestSupport.h"
#include "tests/support/ZarnithWire.h"

namespace {

using namespace hostrig;
using tmtest::Bytes;

constexpr std::uint16_t ControlPort = 19644;
constexpr std::uint16_t StreamPort = 19645;
constexpr std::size_t ChunkBytes = 38400;  // 100 ms of Pcm32x48k
constexpr std::uint16_t SinkCycleFlag = 0x20;

// A sink endpoint played on two sockets in the other namespace: it answers
// the inquiry with the data-size answer it was given, accepts the
// connection, answers report requests with a neutral rate report and the
// disconnect request, and keeps the size of every data message.
class ScriptedSink {
public:
    ScriptedSink(const std::string& ns, unsigned scope, std::uint16_t mtu, std::uint16_t max,
                 std::uint16_t cycleMin, std::uint16_t cycleMax, std::uint16_t profileFlags)
        : mtu_(mtu), max_(max), cycleMin_(cycleMin), cycleMax_(cycleMax), flags_(profileFlags) {
        tmtest::ScopedNetns inside(ns);
        if (!inside.ok()) return;
        control_ = std::make_unique<tmtest::UdpPeer>(ControlPort, "fe80::2", scope);
        stream_ = std::make_unique<tmtest::UdpPeer>(StreamPort, "fe80::2", scope);
        if (!control_->ok() || !stream_->ok()) return;
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedSink() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return thread_.joinable(); }

    std::vector<std::size_t> dataSizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return dataSizes_;
    }
    std::vector<std::uint16_t> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p[2] = {{control_->fd(), POLLIN, 0}, {stream_->fd(), POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0) continue;
            if (p[0].revents & POLLIN) answerControl();
            if (p[1].revents & POLLIN) takeStream();
        }
    }
    static void answerTo(const tmtest::UdpPeer& socket, const sockaddr_in6& to, const Bytes& message) {
        char text[64] = {};
        ::inet_ntop(AF_INET6, &to.sin6_addr, text, sizeof text);
        (void)socket.sendTo(ntohs(to.sin6_port), message, text, to.sin6_scope_id);
    }
    void answerControl() {
        sockaddr_in6 from{};
        const auto got = control_->receive(Ms(0), &from);
        if (!got) return;
        const tmtest::Header h = tmtest::header(*got);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(h.id);
        }
        const std::uint16_t accept = ZARNITH::STATUS_ACCEPT;
        switch (h.id) {
        case ZARNITH::FORMAT_REQ:
            answerTo(*control_, from, tmtest::message64(ZARNITH::FORMAT_ANS, accept, Pcm32x48k));
            break;
        case ZARNITH::PARAMETER_REQ:
            answerTo(*control_, from,
                     tmtest::message(ZARNITH::PARAMETER_ANS, accept, cycleMin_, cycleMax_, flags_, 0));
            break;
        case ZARNITH::LATENCY_REQ:
            // The sink's own 10 ms, or what the host asks for.
            answerTo(*control_, from,
                     tmtest::message(ZARNITH::LATENCY_ANS, accept, h.o[0] != 0 ? h.o[0] : 100, 0, 0, 0));
            break;
        case ZARNITH::DATASIZE_REQ:
            answerTo(*control_, from, tmtest::message(ZARNITH::DATASIZE_ANS, accept, mtu_, max_, 0, 0));
            break;
        case ZARNITH::CONNECTPRE_REQ:
            answerTo(*control_, from, tmtest::message64(ZARNITH::CONNECTPRE_ANS, accept, h.option()));
            break;
        case ZARNITH::CLIENTNAME_SET:
            answerTo(*control_, from, tmtest::message(ZARNITH::CLIENTNAME_ANS, accept));
            break;
        case ZARNITH::CONNECT_REQ:
            answerTo(*control_, from,
                     tmtest::message(ZARNITH::CONNECT_ANS, accept | ZARNITH::STATUS_PLAYING, StreamPort, 0, 0, 0));
            break;
        default:
            // Echo: not supported.
            answerTo(*control_, from, tmtest::message(h.id, ZARNITH::STATUS_NONE));
            break;
        }
    }
    void takeStream() {
        sockaddr_in6 from{};
        const auto got = stream_->receive(Ms(0), &from);
        if (!got) return;
        const tmtest::Header h = tmtest::header(*got);
        if (h.id == ZARNITH::STREAMDATA_SET) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                dataSizes_.push_back(tmtest::payload(*got).size());
            }
            if (h.status & ZARNITH::STATUS_REPORT) {
                answerTo(*stream_, from,
                         tmtest::message(ZARNITH::STREAMREPORT_SET,
                                         ZARNITH::STATUS_ACCEPT | ZARNITH::STATUS_REPORT | ZARNITH::STATUS_PLAYING,
                                         0x2000, 0, 0, 0));
            }
        } else if (h.id == ZARNITH::DSICONNECT_REQ) {
            answerTo(*stream_, from, tmtest::message(ZARNITH::DSICONNECT_ANS, ZARNITH::STATUS_PLAYING));
        }
    }

    const std::uint16_t mtu_, max_, cycleMin_, cycleMax_, flags_;
    std::unique_ptr<tmtest::UdpPeer> control_;
    std::unique_ptr<tmtest::UdpPeer> stream_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::size_t> dataSizes_;
    std::vector<std::uint16_t> requests_;
};

using HostProfileFallback = NetnsRig;

// A data-size answer of 1500-byte datagrams but a budget of 1000 bytes a
// cycle: not one datagram fits. The fixed profile fails, the automatic one
// (guided by the sink's 2 ms cycle) carries the whole track.
TEST_F(HostProfileFallback, BudgetBelowOneDatagramFallsBackToTheAutomaticProfile) {
    HostProcess host(net->nsA(), directory, "host");
    ASSERT_TRUE(host.start("CycleTime=2000\n")) << host.process.output();
    ScriptedSink sink(net->nsB(), net->ifIndexB(), 1500, 1000, 200, 2000, SinkCycleFlag);
    ASSERT_TRUE(sink.ok());

    // One second of audio, played to the sink until the ring runs out.
    const std::string track = writeTrack("track.raw", std::string(10 * ChunkBytes, '\x11'));
    ControllerRun controller;
    ASSERT_TRUE(controller.start(
        net->nsA(), host.port,
        {"register", "wait:Status=Disconnect:20", "newtrack:" + hex(Pcm32x48k),
         "chunks:" + track + ":" + hex(Pcm32x48k) + ":" + std::to_string(ChunkBytes) + ":0:0",
         "send:Connect=fe80::2," + std::to_string(ControlPort) + " " + std::to_string(net->ifIndexA()),
         "wait:Status=Play:60", "wait:Status=Disconnect:60"}));
    ASSERT_TRUE(controller.finish(150000ms)) << controller.process.output() << host.log.dump();

    ASSERT_TRUE(host.log.waitFor("DATASIZE_REQ mtu=1500 max=1000", 0ms)) << host.log.dump();
    const long fix = host.log.indexOf("configTransfer Fix");
    const long failed = host.log.indexOf("error configTransfer Fix");
    const long automatic = host.log.indexOf("configTransferAuto  limit0 maxPacketSize1428 maxPacketCount0");
    const long connected = host.log.indexOf("is_connect");
    ASSERT_GE(fix, 0) << host.log.dump();
    EXPECT_GT(failed, fix) << host.log.dump();
    EXPECT_GT(automatic, failed) << host.log.dump();
    EXPECT_GT(connected, automatic) << host.log.dump();
    EXPECT_GE(host.log.indexOf("SINCCYCLE=768x1 cycle=2000000000ps", automatic), 0) << host.log.dump();

    // The sink-guided profile on the wire: 96 frames in every message, the
    // whole second of audio and the silence around it.
    const std::vector<std::size_t> sizes = sink.dataSizes();
    ASSERT_GE(sizes.size(), 500u);
    for (std::size_t s : sizes) ASSERT_EQ(s, 768u);
    EXPECT_EQ(host.stop(), 0);
}

}  // namespace
