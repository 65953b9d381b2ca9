#include "host/ReceiveMessage.h"

#include <gtest/gtest.h>

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

void feed(ReceiveMessage& m, const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count) {
    ORVEX::BufferCS area = m.readArea();
    ASSERT_GE(area.size, count);
    std::memcpy(area.data, bytes.data() + from, count);
    m.commit(count);
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

TEST(ReceiveMessage, LargestFrameIsReceivedInPlace) {
    const std::size_t length = 0xFFFFFF;  // the largest 24-bit payload
    std::string payload(length, '\0');
    for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<char>(i * 7);
    const auto f = frame(0, payload);
    ReceiveMessage m;
    std::size_t at = 0;
    const std::uint8_t* storage = nullptr;
    int reads = 0;
    while (at < f.size()) {
        ORVEX::BufferCS area = m.readArea();
        // Once the length is known the bytes already received stay where they are.
        if (reads == 1) storage = area.data - at;
        if (reads > 1) {
            EXPECT_EQ(area.data - at, storage) << reads;
        }
        const std::size_t n = std::min<std::size_t>(ReceiveMessage::ReadSize, f.size() - at);
        std::memcpy(area.data, f.data() + at, n);
        m.commit(n);
        at += n;
        ++reads;
        ReceiveMessage::Frame fr;
        if (at < f.size()) {
            ASSERT_EQ(m.peek(fr), ReceiveMessage::Cut::NeedMore);
        }
    }
    EXPECT_EQ(reads, 17);
    auto got = drain(m);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], payload);
    EXPECT_LE(m.capacity(), f.size() + 2 * ReceiveMessage::ReadSize);
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
