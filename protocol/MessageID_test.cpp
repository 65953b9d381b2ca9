#include "protocol/MessageID.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "protocol/StatusID.h"

namespace ZARNITH {
namespace {

struct Pair {
    MessageID request;
    std::uint16_t code;
    bool hasAnswer;
    MessageID answer;
};

// Every request or set message with its wire code and, where it has one, its answer.
const std::vector<Pair> kPairs = {
    {DISCOVER, 0x0000, true, DISCOVER_ANS},
    {PORT_REQ, 0x0002, true, PORT_ANS},
    {FORMAT_REQ, 0x0004, true, FORMAT_ANS},
    {LATENCY_REQ, 0x0006, true, LATENCY_ANS},
    {CONNECT_REQ, 0x0008, true, CONNECT_ANS},
    {STREAMDATA_SET, 0x000A, false, STREAMDATA_SET},
    {DSICONNECT_REQ, 0x000C, true, DSICONNECT_ANS},
    {DATASIZE_REQ, 0x000E, true, DATASIZE_ANS},
    {OUTPUTNAME_REQ, 0x0010, true, OUTPUTNAME_ANS},
    {CONNECTPRE_REQ, 0x0012, true, CONNECTPRE_ANS},
    {PARAMETER_REQ, 0x0014, true, PARAMETER_ANS},
    {SYNCNAME_SET, 0x0016, true, SYNCNAME_ANS},
    {CLIENTNAME_SET, 0x0018, true, CLIENTNAME_ANS},
    {TRANSFERINFO_REQ, 0x001A, true, TRANSFERINFO_ANS},
    {TRANSFERDATA_SET, 0x001C, true, TRANSFERDATA_ANS},
    {TRANSFERFINISH_REQ, 0x001E, true, TRANSFERFINISH_ANS},
    {FWVERSION_REQ, 0x0020, true, FWVERSION_ANS},
    {FWURL_REQ, 0x0022, true, FWURL_ANS},
    {REBOOT_REQ, 0x0024, true, REBOOT_ANS},
    {HOSTDEBUG_REQ, 0x0028, true, HOSTDEBUG_ANS},
    {NOPBREAK_REQ, 0x002A, true, NOPBREAK_ANS},
    {INFORMATION_REQ, 0x002C, true, INFORMATION_ANS},
    {TARGETUNIT_REQ, 0x0030, true, TARGETUNIT_ANS},
    {TARGETVALUE_REQ, 0x0032, true, TARGETVALUE_ANS},
    {SINKUNIT_REQ, 0x0034, true, SINKUNIT_ANS},
    {SINKVALUE_REQ, 0x0036, true, SINKVALUE_ANS},
    {STATUS_REQ, 0x0038, true, STATUS_ANS},
    {TARGETICON_REQ, 0x0040, true, TARGETICON_ANS},
    {SINKICON_REQ, 0x0042, true, SINKICON_ANS},
    {AUXICON_REQ, 0x0044, true, AUXICON_ANS},
    {SYNCHRO, 0x0046, false, SYNCHRO},
    {CONNECTMS_REQ, 0x0048, true, CONNECTMS_ANS},
    {SYNCHROINFO_REQ, 0x004A, true, SYNCHROINFO_ANS},
    {STREAMECHO_REQ, 0x004C, true, STREAMECHO_ANS},
    {PORTREGIST_SET, 0x8002, false, PORTREGIST_SET},
    {NOPNOTIFY_SET, 0x8006, false, NOPNOTIFY_SET},
    {THREADNOTIFY_SET, 0x8008, true, THREADNOTIFY_ANS},
    {THREADID_SET, 0x800A, true, THREADID_ANS},
    {CLOCKTABLE_SET, 0x800C, false, CLOCKTABLE_SET},
};

TEST(MessageID, EveryCodeAndItsAnswer) {
    std::set<unsigned> seen;
    for (const Pair& p : kPairs) {
        SCOPED_TRACE(p.code);
        EXPECT_EQ(static_cast<unsigned>(p.request), p.code);
        EXPECT_EQ(p.code % 2, 0u);  // requests are even
        EXPECT_TRUE(seen.insert(p.code).second);
        if (p.hasAnswer) {
            EXPECT_EQ(static_cast<unsigned>(p.answer), p.code + 1u);
            EXPECT_TRUE(seen.insert(p.answer).second);
        }
    }
    // The odd codes sent unasked or handled as requests.
    EXPECT_EQ(static_cast<unsigned>(STREAMREPORT_SET), 0x000Bu);
    EXPECT_EQ(static_cast<unsigned>(STATUSREGIST_SET), 0x8003u);
    EXPECT_TRUE(seen.insert(STREAMREPORT_SET).second);
    EXPECT_TRUE(seen.insert(STATUSREGIST_SET).second);
    // Codes the tables leave free.
    for (unsigned freeCode : {0x0026u, 0x002Eu, 0x003Au, 0x003Cu, 0x003Eu, 0x004Eu, 0x8000u, 0x8004u})
        EXPECT_EQ(seen.count(freeCode), 0u) << freeCode;
    // Local messages lie from 0x8000 up, network messages below.
    for (unsigned code : seen) {
        const bool local = code >= 0x8000;
        const bool expectLocal = code == PORTREGIST_SET || code == STATUSREGIST_SET || code == NOPNOTIFY_SET ||
                                 code == THREADNOTIFY_SET || code == THREADNOTIFY_ANS || code == THREADID_SET ||
                                 code == THREADID_ANS || code == CLOCKTABLE_SET;
        EXPECT_EQ(local, expectLocal) << code;
    }
    EXPECT_EQ(sizeof(MessageID), 2u);
}

TEST(StatusID, EveryBitAndTheirCombinations) {
    const std::vector<std::pair<StatusID, std::uint16_t>> bits = {
        {STATUS_NONE, 0x0000},        {STATUS_ACCEPT, 0x0001},  {STATUS_PLAYING, 0x0002},
        {STATUS_RESEND, 0x0008},      {STATUS_REPORT, 0x0020},  {STATUS_CYCLEEND, 0x0040},
        {STATUS_PHASENORMAL, 0x0080}, {STATUS_PHASECONTROL, 0x0100},
    };
    for (auto [id, value] : bits) EXPECT_EQ(static_cast<std::uint16_t>(id), value);
    EXPECT_EQ(sizeof(StatusID), 2u);

    StatusID s = STATUS_CYCLEEND | STATUS_REPORT;
    EXPECT_EQ(static_cast<std::uint16_t>(s), 0x60);
    s |= STATUS_ACCEPT;
    EXPECT_EQ(static_cast<std::uint16_t>(s & ~STATUS_REPORT), 0x41);
    s &= STATUS_ACCEPT;
    EXPECT_EQ(s, STATUS_ACCEPT);
    EXPECT_EQ(static_cast<std::uint16_t>(~STATUS_NONE), 0xFFFF);
}

}  // namespace
}  // namespace ZARNITH
