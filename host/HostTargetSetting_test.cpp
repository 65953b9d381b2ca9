#include "host/HostTargetSetting.h"

#include <gtest/gtest.h>

namespace {

TEST(HostTargetSetting, AnnouncesTheHostAndItsControllerPort) {
    struct Case {
        const char* hostName;
        std::uint16_t port;
        const char* name;
    };
    const Case cases[] = {{"", 40123, "TolvenmarkHost"}, {"Studio", 1, "Studio"}, {"debug", 65535, "debug"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hostName);
        const ZARNITH::TargetSetting s = HostTargetSetting::make(c.hostName, c.port);
        EXPECT_EQ(s.productId, 0u);
        EXPECT_EQ(s.typeMask, 5);
        EXPECT_EQ(s.name, c.name);
        EXPECT_EQ(s.loopbackAllowed, 1);
        ASSERT_EQ(s.ports.size(), 1u);
        const auto& entry = s.ports.front();
        EXPECT_EQ(entry.port, c.port);
        EXPECT_EQ(entry.id, 1);
        EXPECT_EQ(entry.name, "KX1");
        EXPECT_EQ(entry.sel, 1);
        EXPECT_EQ(entry.type, 4);
        // Everything else keeps the defaults of the record.
        const ZARNITH::TargetSetting d;
        EXPECT_EQ(s.synchro, d.synchro);
        EXPECT_EQ(s.rebootAllowed, d.rebootAllowed);
        EXPECT_EQ(s.syslogRelay, d.syslogRelay);
        EXPECT_TRUE(s.outputText.empty() && s.fwVersion.empty() && s.fwURL.empty() && s.info0.empty() &&
                    s.info4.empty() && s.infoList1.empty() && s.infoList5.empty());
        EXPECT_TRUE(s.units.empty());
        EXPECT_EQ(s.transferSlots, 0);
        EXPECT_EQ(s.transferWindow, d.transferWindow);
        for (std::size_t i = 0; i < s.icons.size(); ++i) EXPECT_EQ(s.icons[i].kind, d.icons[i].kind) << i;
    }
}

}  // namespace
