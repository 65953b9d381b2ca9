#include "host/ConnectCommand.h"

#include <gtest/gtest.h>

namespace {

TEST(ConnectCommand, ParsesTheDeviceListForm) {
    struct Case {
        const char* value;
        bool ok;
        const char* address;  // get_str of the parsed address
        unsigned port;
        unsigned ifIndex;     // the interface to open on
        unsigned scope;       // the address's own interface index
    };
    const Case cases[] = {
        // A link-local sink is reachable only through its interface: the index is its scope.
        {"fe80::2,19644 3", true, "fe80::2,19644", 19644, 3, 3},
        {"fe80::1:2,19646 12", true, "fe80::1:2,19646", 19646, 12, 12},
        // Other addresses carry no scope; the index only selects the sending interface.
        {"2001:db8::5,19644 4", true, "2001:db8::5,19644", 19644, 4, 0},
        {"::1,19644 0", true, "::1,19644", 19644, 0, 0},
        {"fe80::2,19644 ", true, "fe80::2,19644", 19644, 0, 0},  // nothing after the blank: 0
        {"fe80::2,19644 65539", true, "fe80::2,19644", 19644, 3, 3},  // truncated to 16 bits
        {"fe80::2,19644 3x", false, "", 0, 0, 0},   // trailing letters
        {"fe80::2,19644 -3", false, "", 0, 0, 0},
        {"fe80::2,19644", false, "", 0, 0, 0},      // no blank
        {"fe80::2 3", false, "", 0, 0, 0},          // no port
        {"nonsense,19644 3", false, "", 0, 0, 0},
        {"", false, "", 0, 0, 0},
    };
    for (const Case& c : cases) {
        ConnectCommand::Target target;
        ASSERT_EQ(ConnectCommand::parse(c.value, target), c.ok) << c.value;
        if (!c.ok) continue;
        std::string text;
        target.address.get_str(text);
        EXPECT_EQ(text, c.address) << c.value;
        EXPECT_EQ(target.address.get_port(), c.port) << c.value;
        EXPECT_EQ(target.ifIndex, c.ifIndex) << c.value;
        EXPECT_EQ(target.address.ifIndex, c.scope) << c.value;
    }
}

TEST(ConnectCommand, HostTagIsZarnithAndAZeroByte) {
    const unsigned long tag = ConnectCommand::HostTag;
    std::string bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((tag >> (8 * i)) & 0xFF));
    EXPECT_EQ(bytes, std::string("Zarnith\0", 8));
}

}  // namespace
