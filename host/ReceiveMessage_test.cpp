#include "host/ReceiveMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using TolvenmarkControll::ReceiveMessage;

std::vector<std::uint8_t> frame(std::uint8_t type, const std::string& payload) {
    std::vector<std::uint8_t> f(9 + payload.size(), 0);
    f[0] = static_cast<std::uint8_t>(payload.size() >> 16);
    f[1] = static_cast<std::uint8_t>(payload.size() >> 8);
    f[2] = static_cast<std::uint8_t>(payload.size());
    f[3] = type;
    if (!payload.empty()) std::memcpy(f.data() + 9, payload.data(), payload.size());
    return f;
}

// Reads as the session does: each into the area the buffer offers.
void feed(ReceiveMessage& m, const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count) {
    ASSERT_TRUE(m.append(ORVEX::BufferCS_const(bytes.data() + from, count)));
}

// Takes every complete frame, returning their payloads.
std::vector<std::string> drain(ReceiveMessage& m) {
    std::vector<std::string> out;
    ReceiveMessage::Frame f;
    while (m.peek(f) == ReceiveMessage::Cut::Frame) {
        out.emplace_back(reinterpret_cast<const char*>(f.payload.data), f.payload.size);
        m.consume();
    }
    return out;
}

TEST(ReceiveMessage, SplitAtEveryByteGivesTheFrameOnceWhenComplete) {
    const auto f = frame(2, std::string("\x00name", 5));
    for (std::size_t cut = 0; cut < f.size(); ++cut) {
        ReceiveMessage m;
        feed(m, f, 0, cut);
        EXPECT_TRUE(drain(m).empty()) << cut;
        feed(m, f, cut, f.size() - cut);
        const auto got = drain(m);
        ASSERT_EQ(got.size(), 1u) << cut;
        EXPECT_EQ(got[0], std::string("\x00name", 5));
        EXPECT_EQ(m.buffered(), 0u);
    }
}

TEST(ReceiveMessage, TwoFramesAndAFrameAndAHalf) {
    auto a = frame(0, std::string(20, 'a'));
    auto b = frame(2, std::string(7, 'b'));
    auto c = frame(0, std::string(30, 'c'));
    std::vector<std::uint8_t> all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    ReceiveMessage m;
    const std::size_t firstRead = a.size() + b.size() + 10;
    feed(m, all, 0, firstRead);
    auto got = drain(m);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], std::string(20, 'a'));
    EXPECT_EQ(got[1], std::string(7, 'b'));
    EXPECT_EQ(m.buffered(), 10u);
    feed(m, all, firstRead, all.size() - firstRead);
    got = drain(m);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::string(30, 'c'));
}

TEST(ReceiveMessage, LargestFrameGrowsTheBufferWithWhatArrives) {
    const std::size_t length = 0xFFFFFF;  // the largest 24-bit payload
    std::string payload(length, '\0');
    for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<char>(i * 7);
    const auto f = frame(0, payload);
    ReceiveBudget budget;
    ReceiveMessage m(&budget);
    std::size_t at = 0;
    std::size_t moved = 0;  // bytes copied when the storage moved
    const std::uint8_t* storage = nullptr;
    int reads = 0;
    while (at < f.size()) {
        ORVEX::BufferCS area = m.readArea();
        ASSERT_GE(area.size, ReceiveMessage::MinRead);
        ASSERT_LE(area.size, ReceiveMessage::ReadSize);
        if (area.data - at != storage) moved += at;
        storage = area.data - at;
        const std::size_t n = std::min<std::size_t>(area.size, f.size() - at);
        std::memcpy(area.data, f.data() + at, n);
        m.commit(n);
        at += n;
        ++reads;
        // Never more room than twice what arrived (or the start buffer).
        EXPECT_LE(m.capacity(), std::max<std::size_t>(2 * at, ReceiveMessage::StartCapacity) + 9);
        EXPECT_EQ(budget.used(), m.capacity() > ReceiveMessage::StartCapacity ? m.capacity() : 0);
        ReceiveMessage::Frame fr;
        if (at < f.size()) {
            ASSERT_EQ(m.peek(fr), ReceiveMessage::Cut::NeedMore);
        }
    }
    // Doubling: the copies add up to about the final size, not a copy per read.
    EXPECT_LE(moved, 2 * f.size());
    EXPECT_LT(reads, 40);
    auto got = drain(m);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], payload);
    EXPECT_LE(m.capacity(), ReceiveMessage::MaxCapacity);
}

TEST(ReceiveMessage, APromisedLengthReservesNothing) {
    ReceiveBudget budget;
    ReceiveMessage m(&budget);
    const std::vector<std::uint8_t> prefix = {0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
    feed(m, prefix, 0, prefix.size());
    ReceiveMessage::Frame f;
    EXPECT_EQ(m.peek(f), ReceiveMessage::Cut::NeedMore);
    EXPECT_EQ(m.length, 0xFFFFFFu);
    EXPECT_GE(m.readArea().size, ReceiveMessage::MinRead);
    EXPECT_EQ(m.capacity(), ReceiveMessage::StartCapacity);
    EXPECT_EQ(budget.used(), 0u);
}

// Buffers share one budget: one that cannot grow within it is refused and
// keeps its bytes; storage that an idle buffer no longer needs goes back.
TEST(ReceiveMessage, BuffersGrowWithinTheirSharedBudget) {
    // Room for one buffer of 1 MiB while it grows out of 512 KiB.
    ReceiveBudget budget(2 << 20);
    const std::string big(600000, 'b');
    const auto f = frame(0, big);
    {
        ReceiveMessage a(&budget);
        ReceiveMessage b(&budget);
        feed(a, f, 0, f.size());
        ASSERT_EQ(drain(a).size(), 1u);
        const std::size_t held = budget.used();
        EXPECT_GT(held, f.size());  // a keeps its storage for the next frame
        // b needs room that a holds: refused, with what it had kept.
        EXPECT_FALSE(b.append(ORVEX::BufferCS_const(f.data(), f.size())));
        EXPECT_EQ(b.refusal(), ReceiveMessage::Refusal::BudgetFull);
        EXPECT_STREQ(ReceiveMessage::refusalText(b.refusal()), "receive budget full");
        const std::size_t kept = b.buffered();
        EXPECT_GT(kept, 0u);
        EXPECT_LE(budget.used(), budget.limit());
        a.trim();
        EXPECT_EQ(a.capacity(), 0u);
        feed(b, f, kept, f.size() - kept);
        const auto got = drain(b);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], big);
        // A few buffered bytes keep a start buffer only, outside the budget.
        feed(b, f, 0, 100);
        b.trim();
        EXPECT_EQ(b.capacity(), ReceiveMessage::StartCapacity);
        EXPECT_EQ(b.buffered(), 100u);
        EXPECT_EQ(budget.used(), 0u);
        feed(b, f, 100, f.size() - 100);
        EXPECT_EQ(drain(b).size(), 1u);
        EXPECT_GT(budget.used(), 0u);
    }
    EXPECT_EQ(budget.used(), 0u);  // given back when the buffers go
}

TEST(ReceiveMessage, UnknownTypeAndShortTextFrames) {
    ReceiveMessage m;
    const auto bad = frame(3, "x");
    feed(m, bad, 0, bad.size());
    ReceiveMessage::Frame f;
    EXPECT_EQ(m.peek(f), ReceiveMessage::Cut::BadType);
    EXPECT_EQ(m.type, 3);

    // A text frame shorter than its reserved bytes waits until 15 bytes are buffered.
    ReceiveMessage t;
    const auto shortText = frame(1, "ab");
    feed(t, shortText, 0, shortText.size());
    EXPECT_EQ(t.peek(f), ReceiveMessage::Cut::NeedMore);
    const auto next = frame(2, std::string("\x00tag", 4));
    feed(t, next, 0, next.size());
    const auto got = drain(t);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "ab");

    // Zero-length data and tag frames are whole frames with empty payloads.
    ReceiveMessage z;
    const auto empty = frame(0, "");
    feed(z, empty, 0, empty.size());
    ASSERT_EQ(z.peek(f), ReceiveMessage::Cut::Frame);
    EXPECT_EQ(f.payload.size, 0u);
}

}  // namespace
