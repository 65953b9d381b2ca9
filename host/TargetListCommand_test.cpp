#include "host/TargetListCommand.h"

#include <gtest/gtest.h>

namespace {

using TolvenmarkControll::SnedMessageFrames;
using Info = ZARNITH::Find::TargetConnectInfo;

ORVEX::IPAddress endpoint(const std::string& text, std::uint16_t port, std::uint32_t ifIndex) {
    ORVEX::IPAddress a;
    EXPECT_TRUE(a.set_V6_str(text)) << text;
    a.set_port(port);
    a.ifIndex = ifIndex;
    return a;
}

Info info(const std::string& name, const std::string& portName) {
    Info i;
    i.name = name;
    i.portName = portName;
    return i;
}

std::string textOf(const SnedMessageFrames& frame) { return std::string(frame.frame.begin() + 15, frame.frame.end()); }

TEST(TargetListCommand, LineValue) {
    struct Case {
        const char* address;
        std::uint16_t port;
        std::uint32_t ifIndex;
        const char* name;
        const char* portName;
        const char* value;  // nullptr: refused
    };
    const Case cases[] = {
        {"fe80::2", 19644, 3, "HostB", "Recoder", "fe80::2,19644 3 HostB(Recoder)"},
        {"fe80::2", 19644, 3, "HostB", "", "fe80::2,19644 3 HostB"},
        {"fe80::1:2", 1, 65536, "", "p", "fe80::1:2,1 65536 (p)"},
        {"2001:db8::7", 19646, 0, "A b", "c d", "2001:db8::7,19646 0 A b(c d)"},
        {"fe80::2", 19644, 3, "Host\r\nStatus=Play", "Recoder", nullptr},
        {"fe80::2", 19644, 3, "HostB", "Rec\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string value = "old";
        const bool ok =
            TargetListCommand::lineValue(endpoint(c.address, c.port, c.ifIndex), info(c.name, c.portName), value);
        EXPECT_EQ(ok, c.value != nullptr);
        if (c.value != nullptr) {
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(TargetListCommand, OneFrameWithALinePerPortInAddressOrder) {
    TargetListCommand::Ports ports;
    ports[endpoint("fe80::3", 19644, 2)] = info("C", "Recoder");
    ports[endpoint("fe80::2", 19646, 2)] = info("B", "");
    ports[endpoint("fe80::2", 19644, 2)] = info("B", "Recoder");
    ports[endpoint("fe80::2", 19648, 2)] = info("B", "bad\nline");
    SnedMessageFrames frame;
    TargetListCommand::addLines(ports, frame);
    EXPECT_EQ(textOf(frame),
              "TargetList=fe80::2,19644 2 B(Recoder)\r\n"
              "TargetList=fe80::2,19646 2 B\r\n"
              "TargetList=fe80::3,19644 2 C(Recoder)\r\n");
    EXPECT_EQ(frame.frame[3], 1) << "a text frame";

    SnedMessageFrames none;
    TargetListCommand::addLines({}, none);
    EXPECT_EQ(none.frame, SnedMessageFrames().frame) << "no port: a frame without a line";
}

TEST(TargetListCommand, LinesPastTheFrameLengthAreLeftOut) {
    TargetListCommand::Ports ports;
    ports[endpoint("fe80::2", 1, 2)] = info("first", "");
    ports[endpoint("fe80::2", 2, 2)] = info(std::string(TargetListCommand::FramePayloadLimit, 'n'), "");
    ports[endpoint("fe80::2", 3, 2)] = info("third", "");
    SnedMessageFrames frame;
    TargetListCommand::addLines(ports, frame);
    EXPECT_EQ(textOf(frame), "TargetList=fe80::2,1 2 first\r\n") << "the lines behind the full frame are dropped";
    EXPECT_LE(frame.frame.size() - 9, TargetListCommand::FramePayloadLimit);
}

TEST(TargetListCommand, TheHostsOwnTargetIsLeftOut) {
    ORVEX::Socket::AddressList own;
    own[endpoint("fe80::1", 0, 5)].name = "veth0";
    own[endpoint("::1", 0, 1)].name = "lo";
    TargetListCommand::Found found;
    found[endpoint("fe80::1", 19642, 5)].name = "self";
    found[endpoint("fe80::1", 19642, 7)].name = "self on another link";
    found[endpoint("fe80::2", 19642, 5)].name = "other";
    found[endpoint("::1", 19642, 0)].name = "self over loopback";
    TargetListCommand::dropOwnTargets(found, own);
    // The same link-local address on another link is another host.
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found.begin()->second.name, "self on another link");
    EXPECT_EQ(std::next(found.begin())->second.name, "other");
}

}  // namespace
