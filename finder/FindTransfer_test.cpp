// Data transfer against a scripted target on ::1 that follows the sequence
// numbers and acknowledges as target endpoints do.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <mutex>
#include <set>

#include "finder/Find.h"
#include "finder/FindTestKit.h"
#include "foundation/CRC16.h"
#include "protocol/StatusID.h"
#include "tests/support/TestSupport.h"

using namespace ZARNITH;
using findtest::address;
using findtest::Peer;
using findtest::reply;
using findtest::Request;

namespace {

struct TransferScript {
    std::uint16_t slots = 2;
    std::uint16_t window = 0xFFFF;
    std::uint64_t packetBytes = 1000, blockPackets = 4, blocks = 3;
    std::set<std::uint16_t> dropSequenceOnce;  // packets lost once
    std::set<std::uint16_t> dropAckOnce;       // acknowledgements lost once (by flagged sequence)
    bool neverAck = false;
    bool nak = false;
    bool wrongSlot = false;
    std::uint16_t finishMode = 0xFFFF;  // mode returned by the finish
};

// The target's side: TRANSFERINFO, TRANSFERDATA with acknowledgements and
// TRANSFERFINISH with the CRC of what arrived in sequence.
class ScriptedTransfer {
public:
    explicit ScriptedTransfer(TransferScript s) : script(std::move(s)) {}

    void operator()(Peer& p, const Request& r) {
        std::lock_guard<std::mutex> lock(mutex);
        if (r.id == TRANSFERINFO_REQ) {
            if (r.o[0] == 0) {
                (void)p.answer(r, reply(TRANSFERINFO_ANS, STATUS_ACCEPT, script.slots, script.window));
            } else if (r.o[0] <= script.slots) {
                (void)p.answer(r, reply(TRANSFERINFO_ANS, STATUS_ACCEPT, r.o[0],
                                        static_cast<std::uint16_t>(script.packetBytes - 1),
                                        static_cast<std::uint16_t>(script.blockPackets - 1),
                                        static_cast<std::uint16_t>(script.blocks - 1)));
            } else {
                (void)p.answer(r, reply(TRANSFERINFO_ANS, STATUS_NONE));
            }
            return;
        }
        if (r.id == TRANSFERFINISH_REQ) {
            ORVEX::CRC16 crc;
            crc.update(ORVEX::BufferCS_const(received.data(), received.size()));
            if (r.o[1] == crc.get() && r.o[2] == 0xFFFF) {
                (void)p.answer(r, reply(TRANSFERFINISH_ANS, STATUS_ACCEPT, r.o[0], r.o[1], script.finishMode));
            } else {
                (void)p.answer(r, reply(TRANSFERFINISH_ANS, STATUS_NONE));
            }
            return;
        }
        if (r.id != TRANSFERDATA_SET) return;
        const std::uint16_t slot = r.o[0] & 0x7FFF;
        const bool flagged = (r.o[0] & 0x8000) != 0;
        const std::uint16_t sequence = r.o[1];
        if (script.dropSequenceOnce.erase(sequence) != 0) return;
        packets.push_back(r);
        if (r.o[1] == 0 && r.o[2] == 0 && r.o[3] == 0) {
            expectedSlot = slot;
            expectedSeq = 0;
            received.clear();
        }
        if (flagged) {
            flaggedSequences.push_back(sequence);
            const bool drop = script.neverAck || script.dropAckOnce.erase(sequence) != 0;
            if (!drop) {
                (void)p.answer(r, reply(TRANSFERDATA_ANS, script.nak ? STATUS_NONE : STATUS_ACCEPT,
                                        script.wrongSlot ? slot + 1 : slot, expectedSeq));
            }
        }
        if (sequence == expectedSeq && slot == expectedSlot) {
            ++expectedSeq;
            received.insert(received.end(), r.payload.begin(), r.payload.end());
        }
    }

    std::vector<std::uint8_t> data() {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    std::vector<std::uint16_t> flagged() {
        std::lock_guard<std::mutex> lock(mutex);
        return flaggedSequences;
    }
    std::vector<Request> dataPackets() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets;
    }

private:
    TransferScript script;
    std::mutex mutex;
    std::uint16_t expectedSeq = 0;
    std::uint16_t expectedSlot = 0xFFFF;
    std::vector<std::uint8_t> received;
    std::vector<std::uint16_t> flaggedSequences;
    std::vector<Request> packets;
};

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = 7;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return v;
}

}  // namespace

class FindTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
        findtest::LogCapture::start(7);
        ASSERT_TRUE(endpoint.ok);
        // Room for whole bursts of small packets.
        const int size = 8 << 20;
        (void)setsockopt(endpoint.socket.descriptor, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        ASSERT_TRUE(finder.open());
        to = endpoint.self;
    }
    void start(const TransferScript& s) {
        target = std::make_shared<ScriptedTransfer>(s);
        auto t = target;
        endpoint.run([t](Peer& p, const Request& r) { (*t)(p, r); });
    }
    findtest::LogCapture& log() { return findtest::LogCapture::instance(); }

    Peer endpoint{address("::1")};
    Find finder{Find::Setting()};
    ORVEX::IPAddress to;
    std::shared_ptr<ScriptedTransfer> target;
};

TEST_F(FindTransfer, BlocksArriveInOrderAndTheFinishChecksTheCrc) {
    start(TransferScript{});
    const auto data = pattern(10000);  // 3 blocks of at most 4 packets of 1000 bytes
    ASSERT_TRUE(finder.Transfer(to, 1, ORVEX::BufferCS_const(data.data(), data.size()), 0));
    EXPECT_EQ(target->data(), data);
    // No window limit: every block is one burst, acknowledged at its end.
    EXPECT_EQ(target->flagged(), (std::vector<std::uint16_t>{3, 7, 9}));
    const auto packets = target->dataPackets();
    ASSERT_EQ(packets.size(), 10u);
    EXPECT_EQ(packets[5].o[0], 2);  // slot 1 travels as 2
    EXPECT_EQ(packets[5].o[2], 1);  // index in the block
    EXPECT_EQ(packets[5].o[3], 1);  // block
    EXPECT_EQ(packets[9].datagram, 16u + 1000u);
    for (const char* line : {"Transfer 0/3", "Transfer 1/3", "Transfer 2/3", "compleat Transfer "})
        EXPECT_TRUE(log().has(line)) << line;
}

TEST_F(FindTransfer, GeometryIsCheckedBeforeAnyData) {
    start(TransferScript{});
    struct Case {
        int slot;
        std::size_t bytes;
        bool ok;
        std::size_t infoRequests;
    };
    const Case cases[] = {
        {2, 10, false, 1},      // slot equal to the slot count
        {0, 12001, false, 2},   // one byte more than the slot takes
        {0, 12000, true, 2},    // exactly the slot's size
        {-1, 10, false, 0},     // no such slot
        {0x7FFF, 10, false, 0}, // slot number would collide with the flag
    };
    for (const Case& c : cases) {
        const std::size_t infoBefore = endpoint.requests(TRANSFERINFO_REQ).size();
        const std::size_t dataBefore = target->dataPackets().size();
        const auto data = pattern(c.bytes);
        EXPECT_EQ(finder.Transfer(to, c.slot, ORVEX::BufferCS_const(data.data(), data.size()), 0), c.ok) << c.slot;
        EXPECT_EQ(endpoint.requests(TRANSFERINFO_REQ).size() - infoBefore, c.infoRequests) << c.slot;
        if (!c.ok) {
            EXPECT_EQ(target->dataPackets().size(), dataBefore) << c.slot;
        }
    }
}

TEST_F(FindTransfer, PacketsTooLargeForADatagramAndNoCallbackAreRefused) {
    TransferScript s;
    s.packetBytes = 65536;
    start(s);
    const auto data = pattern(100);
    EXPECT_FALSE(finder.Transfer(to, 0, ORVEX::BufferCS_const(data.data(), data.size()), 0));
    EXPECT_TRUE(log().has("Transfer packet size too large : 65536"));
    EXPECT_FALSE(finder.Transfer(to, 0, ORVEX::BufferCS_const(data.data(), data.size()), 0, Find::Progress()));
    EXPECT_TRUE(target->dataPackets().empty());
}

TEST_F(FindTransfer, EmptyDataOnlyFinishes) {
    start(TransferScript{});
    int calls = 0;
    ASSERT_TRUE(finder.Transfer(to, 0, ORVEX::BufferCS_const(), 0, [&](std::uint16_t, std::uint16_t) { ++calls; }));
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(target->dataPackets().empty());
    const auto finish = endpoint.requests(TRANSFERFINISH_REQ);
    ASSERT_EQ(finish.size(), 1u);
    EXPECT_EQ(finish[0].o[0], 1);
    EXPECT_EQ(finish[0].o[1], 0x0000);  // CRC-16/USB of no bytes
    EXPECT_EQ(finish[0].o[2], 0xFFFF);
}

TEST_F(FindTransfer, LostPacketIsResentWithASmallerWindow) {
    TransferScript s;
    s.window = 2500;
    s.blockPackets = 10;
    s.blocks = 1;
    s.dropSequenceOnce = {1};
    start(s);
    const auto data = pattern(10000);
    ASSERT_TRUE(finder.Transfer(to, 0, ORVEX::BufferCS_const(data.data(), data.size()), 0));
    EXPECT_EQ(target->data(), data);
    // Three packets reach 2500 bytes; after the recovery the window is 1500.
    EXPECT_EQ(target->flagged(), (std::vector<std::uint16_t>{2, 2, 4, 6, 8, 9}));
    EXPECT_TRUE(log().has("Retry Detect err 2 1"));
    const auto packets = target->dataPackets();
    // Sent 0 and 2, then resent 1 and 2 from the acknowledged sequence.
    ASSERT_GE(packets.size(), 4u);
    EXPECT_EQ(packets[2].o[1], 1);
    EXPECT_EQ(packets[3].o[1], 2);
    for (int k : {2, 3}) {
        EXPECT_TRUE(packets[k].datagram == 1016u || packets[k].datagram == 1024u) << packets[k].datagram;
        EXPECT_EQ(packets[k].payload.size(), 1000u);
    }
}

TEST_F(FindTransfer, AcknowledgementOfTheNextSequencePasses) {
    TransferScript s;
    s.dropAckOnce = {7};  // the second block's acknowledgement is lost once
    start(s);
    const auto data = pattern(10000);
    ASSERT_TRUE(finder.Transfer(to, 0, ORVEX::BufferCS_const(data.data(), data.size()), 0));
    EXPECT_EQ(target->data(), data);
    EXPECT_TRUE(log().has("Retry Redy Pass 7 8"));
}

TEST_F(FindTransfer, SequenceNumbersWrapInsideATransfer) {
    // 1-byte packets in blocks of 128: the burst that ends at 65535 loses
    // its acknowledgement and is answered 0 after the resend.
    TransferScript s;
    s.packetBytes = 1;
    s.blockPackets = 128;
    s.blocks = 600;
    s.dropAckOnce = {65535};
    start(s);
    const auto data = pattern(70000);
    ASSERT_TRUE(finder.Transfer(to, 0, ORVEX::BufferCS_const(data.data(), data.size()), 0));
    EXPECT_EQ(target->data(), data);
    EXPECT_TRUE(log().has("Retry Redy Pass 65535 0"));
}

TEST_F(FindTransfer, FailuresEndTheTransfer) {
    struct Case {
        const char* what;
        TransferScript script;
        const char* line;
    };
    TransferScript silent;
    silent.neverAck = true;
    TransferScript nak;
    nak.nak = true;
    TransferScript wrongSlot;
    wrongSlot.wrongSlot = true;
    TransferScript stopped;
    stopped.finishMode = 0;
    const Case cases[] = {
        {"no acknowledgement", silent, "Transfer error 11"},
        {"refused", nak, "Transfer NAK error "},
        {"other slot", wrongSlot, "Transfer NO error "},
        {"mode changed", stopped, "TransferStrp error "},
    };
    for (const Case& c : cases) {
        endpoint.stop();
        start(c.script);
        log().clear();
        const auto data = pattern(3000);
        EXPECT_FALSE(finder.Transfer(to, 0, ORVEX::BufferCS_const(data.data(), data.size()), 0)) << c.what;
        EXPECT_TRUE(log().has(c.line)) << c.what;
    }
}

TEST_F(FindTransfer, OnlyTheTargetAcknowledges) {
    // A stranger's refusal and acknowledgement for the same slot come first;
    // the transfer follows the target's own answers.
    Peer stranger{address("::1")};
    ASSERT_TRUE(stranger.ok);
    target = std::make_shared<ScriptedTransfer>(TransferScript{});
    auto t = target;
    endpoint.run([t, &stranger](Peer& p, const Request& r) {
        if (r.id == TRANSFERDATA_SET && (r.o[0] & 0x8000) != 0) {
            (void)stranger.send(r.from, reply(TRANSFERDATA_ANS, STATUS_NONE, 1, r.o[1]));
            (void)stranger.send(r.from, reply(TRANSFERDATA_ANS, STATUS_ACCEPT, 1, 0));
        }
        (*t)(p, r);
    });
    const auto data = pattern(10000);
    ASSERT_TRUE(finder.Transfer(to, 0, ORVEX::BufferCS_const(data.data(), data.size()), 0));
    EXPECT_EQ(target->data(), data);
    EXPECT_EQ(target->flagged(), (std::vector<std::uint16_t>{3, 7, 9}));  // no resend
    endpoint.stop();
}
