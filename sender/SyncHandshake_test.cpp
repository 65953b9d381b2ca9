// The sender's inquiry and connect handshake against a scripted peer on ::1:
// the requests in order with their exact bytes, tries and windows, the
// source rule, refusals and echoes, and the log relay.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include "protocol/FormatPreConfigure.h"
#include "sender/SyncTestPeer.h"
#include "tests/support/RealTime.h"

using namespace std::chrono_literals;
using ORVEX::Clock;
using synctest::header;
using synctest::LogCapture;
using synctest::Peer;
using namespace ZARNITH;

namespace {

class HandshakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::start(7);
        ASSERT_TRUE(peer.ok);
        ASSERT_TRUE(sync.open(Sync::THRED_NONE, Clock::fromMilliseconds(100), 0, "studio", 0x1122334455667788UL,
                              -1, -1, 0));
    }

    // Receives the next request and checks its bytes. A copy of the request
    // before it is passed over: a try repeated because the answer came after
    // its 10 ms window, which a busy machine may cause.
    void expectRequest(const std::vector<std::uint8_t>& bytes, Receive& got) {
        for (;;) {
            ASSERT_TRUE(peer.receive(got, from)) << "no request";
            const std::vector<std::uint8_t> received = Peer::bytes(got);
            if (!previous.empty() && received == previous && bytes != previous) continue;
            previous = received;
            EXPECT_EQ(received, bytes);
            return;
        }
    }
    void answer(MessageID id, StatusID status, std::uint64_t option) {
        ASSERT_TRUE(peer.send(from, Send(id, status, option)));
    }
    void answer4(MessageID id, StatusID status, std::uint16_t o0, std::uint16_t o1, std::uint16_t o2,
                 std::uint16_t o3) {
        ASSERT_TRUE(peer.send(from, Send(id, status, o0, o1, o2, o3)));
    }

    // The sender's threads, started by the test thread, inherit its priority:
    // both sides of each 10 ms window then rarely wait for other work.
    tmtest::RealTimeForThisThread realTime;
    Peer peer;
    ORVEX::IPAddress from;
    std::vector<std::uint8_t> previous;  // the last request expectRequest took
    Sync sync;
};

constexpr std::uint64_t PcmMask = CH2 | PCM16 | PCM32 | BASE_44100 | BASE_48000 | MULTI_1 | MULTI_2;
constexpr std::uint64_t LsbMask = CH2 | DSD1 | DSD_LSB | DSD_BIG | DSD_WORD32 | BASE_44100 | MULTI_64;
constexpr std::uint64_t MsbMask = CH2 | DSD1 | DSD_MSB | DSD_LITTLE | DSD_WORD32 | BASE_44100 | MULTI_64;

// One step of a scripted exchange: the request expected, byte for byte, and
// the peer's answer to it.
struct Step {
    std::vector<std::uint8_t> request;
    Send answer;
};

Step step(std::vector<std::uint8_t> request, MessageID id, StatusID status, std::uint64_t option) {
    return Step{std::move(request), Send(id, status, option)};
}
Step step4(std::vector<std::uint8_t> request, MessageID id, StatusID status, std::uint16_t o0, std::uint16_t o1) {
    return Step{std::move(request), Send(id, status, o0, o1, 0, 0)};
}

// The host's name and tag as CLIENTNAME_SET carries them.
std::vector<std::uint8_t> clientName() {
    std::vector<std::uint8_t> name = header(CLIENTNAME_SET, STATUS_ACCEPT, 0x1122334455667788ULL, 0x001A);
    for (char c : std::string("studio")) name.push_back(static_cast<std::uint8_t>(c));
    name.push_back(0);
    name.push_back(0);
    return name;
}

// The inquiry and the connect preparation, exchange by exchange: each request
// in order with its exact bytes, each answer stored, and where an answer ends
// the exchange, nothing more asked and no try repeated.
TEST_F(HandshakeTest, ExchangesAskInOrderWithExactBytesAndStoreTheAnswers) {
    const FormatPreConfigure pre300(synctest::pcm32Stereo48k(), 300);
    const FormatPreConfigure pre50(synctest::pcm32Stereo48k(), 50);
    auto prepare = [&](std::uint16_t latency) {
        return [this, latency](Sync& s) {
            s.sinkAddress = peer.address;
            s.sendFormat = synctest::pcm32Stereo48k();
            s.latency = latency;
            return s.connectPrepare();
        };
    };
    struct Case {
        const char* what;
        std::function<bool(Sync&)> run;
        std::vector<Step> steps;
        bool result;
        bool nothingMore;                  // no further request, no repeated try
        std::function<void(Sync&)> check;  // the stored answers and log lines
    };
    const Case cases[] = {
        {"PCM and both DSD orders, latency asked for",
         [&](Sync& s) { return s.setSink(peer.address, Clock::fromMilliseconds(30), false); },
         {step(header(FORMAT_REQ, 0, 0), FORMAT_ANS, STATUS_ACCEPT, PcmMask | LsbMask | MsbMask),
          step(header(FORMAT_REQ, 0, (PcmMask | LsbMask | MsbMask) & 0xFF00), FORMAT_ANS, STATUS_ACCEPT, PcmMask),
          step(header(FORMAT_REQ, 0, DSD_LSB), FORMAT_ANS, STATUS_ACCEPT, LsbMask),
          step(header(FORMAT_REQ, 0, DSD_MSB), FORMAT_ANS, STATUS_ACCEPT, MsbMask),
          // The format of the previous connection (none yet) goes with the parameter inquiry.
          step4(header(PARAMETER_REQ, 0, 0), PARAMETER_ANS, STATUS_ACCEPT, 100, 2000),
          step4(header(LATENCY_REQ, 0, 0), LATENCY_ANS, STATUS_ACCEPT, 500, 20),
          step4(header(LATENCY_REQ, 0, 300), LATENCY_ANS, STATUS_ACCEPT, 300, 20),
          step4(header(DATASIZE_REQ, 0, 0), DATASIZE_ANS, STATUS_ACCEPT, 1500, 15000)},
         true, false,
         [&](Sync& s) {
             EXPECT_EQ(static_cast<std::uint64_t>(s.sincSupportPCM), PcmMask);
             EXPECT_EQ(static_cast<std::uint64_t>(s.sincSupportDSDlsb), LsbMask);
             EXPECT_EQ(static_cast<std::uint64_t>(s.sincSupportDSDmsb), MsbMask);
             EXPECT_EQ(s.hwLatency, 20);
             EXPECT_EQ(s.latency, 300);
             EXPECT_EQ(s.getLatency(), Clock::fromMilliseconds(32));
             EXPECT_EQ(s.packDataSize, 1428);
             EXPECT_EQ(s.packDataCount, 10);
             EXPECT_EQ(s.profileMaker.sinkCycleMin, 100);
             EXPECT_EQ(s.profileMaker.sinkCycleMax, 2000);
             EXPECT_TRUE(s.sinkAddress == peer.address);
             EXPECT_EQ(s.debugAddress.get_port(), 19642);
             EXPECT_TRUE(s.debugRequest.load());
             EXPECT_GE(LogCapture::instance().find("LATENCY_REQ hw=2000us request=30000us latency=30000us"), 0);
             EXPECT_GE(LogCapture::instance().find("DATASIZE_REQ mtu=1500 max=15000"), 0);
             EXPECT_GE(LogCapture::instance().find("sendAck[0,0,0]RCV:4"), 0);
         }},
        {"latency 0 takes the sink's own with one request",
         [&](Sync& s) { return s.setSink(peer.address, Clock(), false); },
         {step(header(FORMAT_REQ, 0, 0), FORMAT_ANS, STATUS_ACCEPT, PcmMask),
          step(header(FORMAT_REQ, 0, PcmMask & 0xFF00), FORMAT_ANS, STATUS_ACCEPT, PcmMask),
          step4(header(PARAMETER_REQ, 0, 0), PARAMETER_ANS, STATUS_ACCEPT, 0, 0),
          step4(header(LATENCY_REQ, 0, 0), LATENCY_ANS, STATUS_ACCEPT, 500, 20),
          step4(header(DATASIZE_REQ, 0, 0), DATASIZE_ANS, STATUS_ACCEPT, 1500, 0xFFFF)},
         true, false,
         [](Sync& s) {
             EXPECT_EQ(s.latency, 500);
             EXPECT_EQ(s.packDataSize, 1428);
             EXPECT_EQ(s.packDataCount, 0xFFFF);
             EXPECT_EQ(static_cast<std::uint64_t>(s.sincSupportDSDlsb), 0u);
             EXPECT_GE(LogCapture::instance().find("LATENCY_REQ hw=2000us latency=50000us"), 0);
         }},
        // A sink without a stop window echoes the wake-up.
        {"the wake-up goes first and its echo does not stop the inquiry",
         [&](Sync& s) { return s.setSink(peer.address, Clock(), true); },
         {step(header(NOPBREAK_REQ, 0, 0), NOPBREAK_REQ, STATUS_NONE, 0),
          step(header(FORMAT_REQ, 0, 0), FORMAT_ANS, STATUS_ACCEPT, 0)},
         false, false, nullptr},
        {"summary 0 ends the inquiry", [&](Sync& s) { return s.setSink(peer.address, Clock(), false); },
         {step(header(FORMAT_REQ, 0, 0), FORMAT_ANS, STATUS_ACCEPT, 0)}, false, true, nullptr},
        {"an echo of the request (not supported) ends it",
         [&](Sync& s) { return s.setSink(peer.address, Clock(), false); },
         {step(header(FORMAT_REQ, 0, 0), FORMAT_REQ, STATUS_NONE, 0)}, false, true, nullptr},
        {"a refusal (the expected id without STATUS_ACCEPT) ends it",
         [&](Sync& s) { return s.setSink(peer.address, Clock(), false); },
         {step(header(FORMAT_REQ, 0, 0), FORMAT_ANS, STATUS_PLAYING, PcmMask)}, false, true, nullptr},
        {"only DSD LSB first: two requests, no PCM mask",
         [&](Sync& s) { return s.inquirySupportFormat(peer.address); },
         {step(header(FORMAT_REQ, 0, 0), FORMAT_ANS, STATUS_ACCEPT, LsbMask),
          step(header(FORMAT_REQ, 0, DSD_LSB), FORMAT_ANS, STATUS_ACCEPT, LsbMask)},
         true, true,
         [](Sync& s) {
             EXPECT_EQ(static_cast<std::uint64_t>(s.sincSupportPCM), 0u);
             EXPECT_EQ(static_cast<std::uint64_t>(s.sincSupportDSDlsb), LsbMask);
             EXPECT_EQ(static_cast<std::uint64_t>(s.sincSupportDSDmsb), 0u);
         }},
        {"the pre-format with the agreed latency, then the host's name and tag", prepare(300),
         {step(header(CONNECTPRE_REQ, 0, pre300), CONNECTPRE_ANS, STATUS_ACCEPT, pre300),
          step(clientName(), CLIENTNAME_ANS, STATUS_ACCEPT, 0)},
         true, false,
         [](Sync&) { EXPECT_GE(LogCapture::instance().find("CONNECTPRE_REQ latency=30000us"), 0); }},
        {"a refused pre-format sends no name", prepare(50),
         {step(header(CONNECTPRE_REQ, 0, pre50), CONNECTPRE_ANS, STATUS_NONE, 0)}, true, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture::instance().clear();
        previous.clear();
        auto result = std::async(std::launch::async, [&] { return c.run(sync); });
        Receive got;
        for (const Step& s : c.steps) {
            expectRequest(s.request, got);
            ASSERT_TRUE(peer.send(from, s.answer));
        }
        EXPECT_EQ(result.get(), c.result);
        if (c.nothingMore) {
            EXPECT_FALSE(peer.receive(got, from, 50ms));
        } else {
            // A try repeated because an answer came after its window is passed over.
            while (peer.receive(got, from, 50ms)) {
            }
        }
        if (c.check) c.check(sync);
    }
}

// The data-size answer: taken over, or the defaults when it is missing or has
// no meaning (a datagram size of the header room or less would divide by zero).
// A budget below one datagram per cycle is 0 messages, as setPackSize gives it.
TEST_F(HandshakeTest, DataSizeAnswersAndTheirFallbacks) {
    struct Case {
        bool answered;
        std::uint16_t mtu, max;
        std::uint16_t size, count;
    };
    const Case cases[] = {
        {true, 1500, 15000, 1428, 10}, {true, 9000, 0xFFFF, 8928, 0xFFFF}, {false, 0, 0, 1428, 10},
        {true, 0, 100, 1428, 10},      {true, 40, 0xFFFF, 1428, 10},        {true, 1500, 1000, 1428, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mtu " << c.mtu << " max " << c.max << " answered " << c.answered);
        ASSERT_TRUE(sync.setPackSize(74, 74));  // 2 and 1: limits no case gives
        auto result = std::async(std::launch::async, [&] { return sync.setSink(peer.address, Clock(), false); });
        Receive got;
        ASSERT_TRUE(peer.receiveId(FORMAT_REQ, got, from));
        answer(FORMAT_ANS, STATUS_ACCEPT, PcmMask);
        ASSERT_TRUE(peer.receiveId(FORMAT_REQ, got, from));
        answer(FORMAT_ANS, STATUS_ACCEPT, PcmMask);
        ASSERT_TRUE(peer.receiveId(PARAMETER_REQ, got, from));
        answer4(PARAMETER_ANS, STATUS_ACCEPT, 0, 0, 0, 0);
        ASSERT_TRUE(peer.receiveId(LATENCY_REQ, got, from));
        answer4(LATENCY_ANS, STATUS_ACCEPT, 100, 0, 0, 0);
        ASSERT_TRUE(peer.receiveId(DATASIZE_REQ, got, from));
        if (c.answered) answer4(DATASIZE_ANS, STATUS_ACCEPT, c.mtu, c.max, 0, 0);
        EXPECT_TRUE(result.get());
        EXPECT_EQ(sync.packDataSize, c.size);
        EXPECT_EQ(sync.packDataCount, c.count);
        // Drain the retries of an unanswered request before the next case.
        while (peer.receive(got, from, 50ms)) {
        }
    }
}

TEST_F(HandshakeTest, UnansweredRequestIsTriedThreeTimesWithFullWindows) {
    Receive answerGot;
    auto result = std::async(std::launch::async, [&] {
        return sync.sendAck(peer.address, Send(LATENCY_REQ, STATUS_NONE, std::uint64_t{0}), LATENCY_ANS, answerGot,
                            Clock::fromMilliseconds(10));
    });
    Receive got;
    // Arrival times as the kernel took them, whatever delays this thread.
    std::vector<std::chrono::nanoseconds> arrivals;
    while (arrivals.size() < 3 && peer.receive(got, from, 5000ms)) {
        EXPECT_EQ(Peer::bytes(got), header(LATENCY_REQ, 0, 0));
        timespec stamp{};
        ASSERT_EQ(::ioctl(peer.socket.getDescriptor(), SIOCGSTAMPNS, &stamp), 0);
        arrivals.push_back(std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec));
    }
    EXPECT_TRUE(result.get());
    EXPECT_TRUE(answerGot.empty());
    ASSERT_EQ(arrivals.size(), 3u);
    // The exchange is over: no fourth try was sent.
    EXPECT_FALSE(peer.receive(got, from, 50ms));
    // A try is repeated only after its whole window.
    EXPECT_GE(arrivals[1] - arrivals[0], 9ms);
    EXPECT_GE(arrivals[2] - arrivals[1], 9ms);
}

TEST_F(HandshakeTest, AnswersFromAnotherSourceAndStrayDatagramsAreIgnoredWithoutStretchingTheWindow) {
    Peer other;
    ASSERT_TRUE(other.ok);
    Receive answerGot;
    std::atomic<bool> done{false};
    auto result = std::async(std::launch::async, [&] {
        const bool ok = sync.sendAck(peer.address, Send(LATENCY_REQ, STATUS_NONE, std::uint64_t{0}), LATENCY_ANS,
                                     answerGot, Clock::fromMilliseconds(10));
        done = true;
        return ok;
    });
    Receive got;
    ASSERT_TRUE(peer.receive(got, from));
    // Right answer from the wrong port, and a stream of other messages from
    // the right one: none of them is the answer, and none delays the next try.
    int requests = 1;
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (!done && std::chrono::steady_clock::now() < end) {
        ASSERT_TRUE(other.send(from, Send(LATENCY_ANS, STATUS_ACCEPT, 7, 7, 0, 0)));
        ASSERT_TRUE(peer.send(from, Send(PORT_ANS, STATUS_ACCEPT, std::uint64_t{0})));
        if (peer.receive(got, from, 2ms)) {
            if (got && got.getMessage() == LATENCY_REQ) ++requests;
        }
    }
    EXPECT_TRUE(result.get());
    // The exchange is over: what it sent is queued here by now.
    while (peer.receive(got, from, 50ms)) {
        if (got && got.getMessage() == LATENCY_REQ) ++requests;
    }
    EXPECT_EQ(requests, 3);
    EXPECT_TRUE(answerGot.empty());
}

TEST_F(HandshakeTest, InvalidDatagramIsLoggedAndTheRightAnswerStillTaken) {
    Receive answerGot;
    auto result = std::async(std::launch::async, [&] {
        return sync.sendAck(peer.address, Send(LATENCY_REQ, STATUS_NONE, std::uint64_t{0}), LATENCY_ANS, answerGot,
                            Clock::fromMilliseconds(200));
    });
    Receive got;
    ASSERT_TRUE(peer.receive(got, from));
    std::uint8_t junk[15] = {0x64, 0};
    ASSERT_TRUE(peer.socket.sendToV6(ORVEX::BufferCS_const(junk, sizeof(junk)), from, true));
    answer4(LATENCY_ANS, STATUS_ACCEPT, 9, 8, 0, 0);
    EXPECT_TRUE(result.get());
    ASSERT_FALSE(answerGot.empty());
    EXPECT_EQ(answerGot.getOption0(), 9);
    EXPECT_GE(LogCapture::instance().find("sendAck RCV errpacket:15"), 0);
}

// Answers from ::1 (or any address but a link-local one) carry scope 0
// whatever interface the request named: only link-local addresses have one.
TEST_F(HandshakeTest, ScopeCountsOnlyForLinkLocalAddresses) {
    ORVEX::IPAddress to = peer.address;
    to.ifIndex = 1;
    Receive answerGot;
    auto result = std::async(std::launch::async, [&] {
        return sync.sendAck(to, Send(LATENCY_REQ, STATUS_NONE, std::uint64_t{0}), LATENCY_ANS, answerGot,
                            Clock::fromMilliseconds(200));
    });
    Receive got;
    ASSERT_TRUE(peer.receive(got, from));
    answer4(LATENCY_ANS, STATUS_ACCEPT, 5, 0, 0, 0);
    EXPECT_TRUE(result.get());
    EXPECT_FALSE(answerGot.empty());

    ORVEX::IPAddress linkLocal;
    ASSERT_TRUE(linkLocal.set_V6_str("fe80::1"));
    linkLocal.port = to.port;
    ORVEX::IPAddress reply = linkLocal;
    linkLocal.ifIndex = 3;
    reply.ifIndex = 3;
    EXPECT_TRUE(Sync::sameSource(reply, linkLocal, 0));
    reply.ifIndex = 4;
    EXPECT_FALSE(Sync::sameSource(reply, linkLocal, 0));
    EXPECT_TRUE(Sync::sameSource(reply, linkLocal, 4));  // the bound interface decides
    reply = to;
    reply.ifIndex = 0;
    EXPECT_TRUE(Sync::sameSource(reply, to, 0));
    reply.set_port(static_cast<std::uint16_t>(to.get_port() + 1));
    EXPECT_FALSE(Sync::sameSource(reply, to, 0));
}

TEST_F(HandshakeTest, SocketErrorIsTheOnlyFalse) {
    Receive answerGot;
    ORVEX::UDPV6 closed;
    EXPECT_FALSE(sync.sendAck(closed, peer.address, Send(LATENCY_REQ, STATUS_NONE), LATENCY_ANS, answerGot,
                              Clock::fromMilliseconds(10)));
}

TEST_F(HandshakeTest, ConnectPrepareSocketErrorResetsTheState) {
    sync.sinkAddress = peer.address;
    sync.sendFormat = synctest::pcm32Stereo48k();
    sync.close();
    sync.state.beginConnect();
    EXPECT_FALSE(sync.connectPrepare());
    EXPECT_EQ(sync.state.load(), SyncState::IDLE);
    EXPECT_GE(LogCapture::instance().find("wth CR send err"), 0);
}

TEST_F(HandshakeTest, MtuProbePayloadAndSum) {
    struct Case {
        unsigned short size;
        std::size_t payload;
        std::uint16_t sum;
    };
    for (const Case& c : {Case{100, 36, 0x139E}, Case{1500, 1436, 0xE112}}) {
        unsigned short size = c.size;
        auto result = std::async(std::launch::async, [&] { return sync.mtuTest(peer.address, size); });
        Receive got;
        ASSERT_TRUE(peer.receive(got, from));
        ASSERT_TRUE(got);
        EXPECT_EQ(got.getMessage(), DATASIZE_REQ);
        ASSERT_EQ(got.size_data(), c.payload);
        std::uint16_t sum = 0;
        for (std::size_t i = 0; i < c.payload; ++i) {
            EXPECT_EQ(got.get_data()[i], static_cast<std::uint8_t>(0x7A + i)) << i;
            sum = static_cast<std::uint16_t>(sum + got.get_data()[i]);
        }
        EXPECT_EQ(sum, c.sum);
        answer4(DATASIZE_ANS, STATUS_ACCEPT, 1500, 15000, static_cast<std::uint16_t>(c.payload), sum);
        EXPECT_TRUE(result.get());
        EXPECT_EQ(size, c.size);
    }
}

// A size below the headers wraps to more payload than a message holds: the
// probe fills only the message's own payload (no datagram that large goes
// out on ::1) and reports no size.
TEST_F(HandshakeTest, MtuProbeBelowTheHeadersStaysInsideTheMessage) {
    for (unsigned short wrapping : {41, 63}) {
        unsigned short size = wrapping;
        (void)sync.mtuTest(peer.address, size);
        EXPECT_EQ(size, 0) << wrapping;
    }
}

// The relay runs as connect starts it (the log level is above 5), on the
// thread close joins; the connection itself waits for a connect answer that
// never comes.
TEST_F(HandshakeTest, LogRelayTakesLinesOnlyFromTheTargetAndEndsOnClose) {
    Peer target;
    Peer stranger;
    ASSERT_TRUE(target.ok && stranger.ok);
    sync.sendFormat = synctest::pcm32Stereo48k();
    sync.setConfigTransfer(synctest::fixProfile(1000, 1, 48));
    sync.sinkAddress = peer.address;
    sync.debugAddress = target.address;
    sync.debugRequest = true;
    ASSERT_TRUE(sync.connect(-1));
    ASSERT_TRUE(sync.debugThread.joinable());

    // The relay runs at idle priority: on a busy machine it may wait long
    // for a processor, so its datagrams are waited for generously.
    constexpr auto relayPatience = 30000ms;
    Receive got;
    ASSERT_TRUE(target.receive(got, from, relayPatience));
    EXPECT_EQ(Peer::bytes(got), header(HOSTDEBUG_REQ, 0, 1));
    ASSERT_TRUE(target.send(from, Send(HOSTDEBUG_ANS, STATUS_ACCEPT, std::uint64_t{1})));

    auto line = [](const std::string& text) {
        SendBuffer b;
        b.set(HOSTDEBUG_ANS, STATUS_ACCEPT, 2, 0, 0, 0);
        b.set_str(text);
        b.update();
        return b;
    };
    // One socket, handled in arrival order: once a later line is logged, the
    // datagrams before it have been dealt with.
    ASSERT_TRUE(stranger.sendBuffer(from, line("forged")));
    ASSERT_TRUE(target.sendBuffer(from, line("remote line")));
    EXPECT_TRUE(LogCapture::instance().waitFor("Target: remote line", relayPatience));
    // A length code that claims more than was received is bounded.
    std::vector<std::uint8_t> lying = header(HOSTDEBUG_ANS, STATUS_ACCEPT, 2, 0x0418);
    lying.insert(lying.end(), {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
    ASSERT_TRUE(target.socket.sendToV6(ORVEX::BufferCS_const(lying.data(), lying.size()), from, true));
    ASSERT_TRUE(target.sendBuffer(from, line("after")));
    EXPECT_TRUE(LogCapture::instance().waitFor("Target: after", relayPatience));
    EXPECT_EQ(LogCapture::instance().count("Target: forged"), 0);

    const auto before = std::chrono::steady_clock::now();
    sync.close();
    EXPECT_FALSE(sync.debugThread.joinable());
    EXPECT_LT(std::chrono::steady_clock::now() - before, relayPatience) << "close waits for the relay only until it wakes";
}

}  // namespace
