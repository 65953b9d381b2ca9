// Management queries against a scripted endpoint on ::1: configuration
// units, information texts and pages, reboot, firmware texts and icons.
#include <gtest/gtest.h>

#include <map>

#include "finder/Find.h"
#include "finder/FindTestKit.h"
#include "protocol/StatusID.h"
#include "tests/support/RealTime.h"
#include "tests/support/TestSupport.h"

using namespace ZARNITH;
using findtest::address;
using findtest::Peer;
using findtest::reply;
using findtest::Request;

namespace {

struct Unit {
    std::uint16_t kind = 1;
    std::string name;
    std::uint16_t min = 0, max = 0, value = 0;
    std::string text;                  // value text (text, fixed choice)
    std::vector<std::string> choices;  // choice texts; empty strings allowed
};

// Answers unit descriptions and values on one message base, as endpoints do
// with their own hooks refusing every change.
void answerUnits(Peer& p, const Request& r, std::uint16_t base, const std::vector<Unit>& units) {
    const auto n = static_cast<std::uint16_t>(units.size());
    if (r.id == base) {
        if (r.o[0] == 0) {
            (void)p.answer(r, reply(base + 1, STATUS_ACCEPT, n, r.o[1]));
        } else if (r.o[0] > n) {
            (void)p.answer(r, reply(base + 1, STATUS_NONE, r.o[0], r.o[1]));
        } else {
            const Unit& u = units[r.o[0] - 1];
            std::uint16_t lo = u.min, hi = u.max;
            if (!u.choices.empty()) {
                lo = 0;
                hi = static_cast<std::uint16_t>(u.choices.size() - 1);
            } else if (u.kind == 3) {
                lo = 0;
                hi = 1;
            }
            (void)p.answer(r, reply(base + 1, STATUS_ACCEPT, r.o[0], u.kind, lo, hi, u.name));
        }
        return;
    }
    if (r.id != base + 2) return;
    if (r.o[0] == 0) {
        (void)p.answer(r, reply(base + 3, r.o[1] == 2 ? STATUS_ACCEPT : STATUS_NONE));
        return;
    }
    if (r.o[0] > n) {
        (void)p.answer(r, reply(base + 3, STATUS_NONE, r.o[0]));
        return;
    }
    const Unit& u = units[r.o[0] - 1];
    if (r.o[1] == 3) {
        const std::string t = r.o[2] < u.choices.size() ? u.choices[r.o[2]] : (u.choices.empty() ? "" : "unknown");
        (void)p.answer(r, reply(base + 3, STATUS_ACCEPT, r.o[0], 0, 0, 0, t));
        return;
    }
    (void)p.answer(r, reply(base + 3, r.o[1] == 1 ? STATUS_NONE : STATUS_ACCEPT, r.o[0], u.value, 0, u.value, u.text));
}

// Icons as endpoints keep them: width, height, kind, pixel i = bytes of i.
struct IconScript {
    std::map<std::uint16_t, std::pair<std::uint16_t, std::uint16_t>> sizes;  // number -> (w, h)
    std::uint32_t kind = 0;
    bool shortRuns = false;  // runs answered with half the pixels asked for
};

std::uint8_t pixelByte(std::uint64_t index, int b) { return static_cast<std::uint8_t>(index * 7 + b * 31 + 1); }

void answerIcon(Peer& p, const Request& r, std::uint16_t answerId, const IconScript& s) {
    const auto found = s.sizes.find(r.o[0]);
    if (found == s.sizes.end()) {
        (void)p.answer(r, reply(answerId, STATUS_NONE, r.o[0], r.o[1], r.o[2]));
        return;
    }
    const std::uint64_t w = found->second.first, h = found->second.second;
    if (r.o[1] == 0 || r.o[2] == 0) {
        (void)p.answer(r, reply(answerId, STATUS_ACCEPT, r.o[0], r.o[1] == 0 ? w : r.o[1], r.o[2] == 0 ? h : r.o[2],
                                r.o[3] == 0 ? s.kind + 1 : 0));
        return;
    }
    const std::uint64_t row = r.o[2] - 1, column = r.o[1] - 1;
    if (row >= h || column >= w) {
        (void)p.answer(r, reply(answerId, STATUS_ACCEPT, r.o[0], r.o[1], r.o[2]));
        return;
    }
    const std::uint64_t start = row * w + column;
    std::uint64_t n;
    if (r.o[3] <= 1) {
        n = std::min<std::uint64_t>(w - column, s.kind == 0 ? 300 : 1000);
    } else {
        n = std::min<std::uint64_t>(r.o[3] - 1, w * h - start);
        if (s.shortRuns) n = std::max<std::uint64_t>(1, n / 2);
    }
    std::string bytes;
    for (std::uint64_t i = start; i < start + n; ++i) {
        if (s.kind == 0) {
            for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<char>(pixelByte(i, b)));
        } else {
            bytes.push_back(static_cast<char>(pixelByte(i, 3)));
        }
    }
    (void)p.answer(r, reply(answerId, STATUS_ACCEPT, r.o[0], r.o[1], r.o[2], static_cast<std::uint16_t>(n + 1), bytes));
}

void expectPixels(const Icon& icon, std::uint64_t w, std::uint64_t h) {
    ASSERT_EQ(icon.width, w);
    ASSERT_EQ(icon.pixels.size(), w * h);
    for (std::uint64_t i = 0; i < icon.pixels.size(); ++i) {
        for (int b = 0; b < 4; ++b) {
            const std::uint8_t want = (icon.kind == 0 || b == 3) ? pixelByte(i, b) : 0;
            ASSERT_EQ(icon.pixels[i].byte[b], want) << "pixel " << i << " byte " << b;
        }
    }
}

}  // namespace

class FindManage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmtest::haveOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
        findtest::LogCapture::start(7);
        ASSERT_TRUE(endpoint.ok);
        ASSERT_TRUE(finder.open());
        to = endpoint.self;
    }
    std::vector<Request> pixelRequests(std::uint16_t id) {
        std::vector<Request> out;
        for (const Request& r : endpoint.requests(id))
            if (r.o[1] != 0 && r.o[2] != 0) out.push_back(r);
        return out;
    }
    Peer endpoint{address("::1")};
    Find finder{Find::Setting()};
    ORVEX::IPAddress to;
};

TEST_F(FindManage, ReadsUnitsOfEveryKind) {
    const std::vector<Unit> units = {
        {1, "Number", 1, 100, 5, "", {}},
        {2, "Signed", 0xFFF6, 10, 0xFFFE, "", {}},
        {3, "Switch", 0, 0, 1, "", {"", ""}},
        {4, "Text", 0, 0, 0, "hello", {}},
        {5, "Choice", 0, 0, 1, "", {"a", "b", "c"}},
        {6, "Fixed", 0, 0, 7, "", {"x", "y", "z"}},
        {7, "Value", 2, 9, 3, "", {}},
        {9, "Odd", 4, 5, 6, "", {}},
    };
    endpoint.run([&](Peer& p, const Request& r) { answerUnits(p, r, SINKUNIT_REQ, units); });
    std::list<Find::TargetSettingInfo> read;
    ASSERT_TRUE(finder.SinkSetting(to, read, false));
    ASSERT_EQ(read.size(), units.size());
    std::vector<Find::TargetSettingInfo> u(read.begin(), read.end());
    EXPECT_EQ(u[0].type, Find::SETTING_NUMBER);
    EXPECT_EQ(u[0].min, 1);
    EXPECT_EQ(u[0].max, 100);
    EXPECT_EQ(u[0].current, 5);
    EXPECT_EQ(u[1].type, Find::SETTING_NUMBER);
    EXPECT_EQ(u[1].min, -10);
    EXPECT_EQ(u[1].max, 10);
    EXPECT_EQ(u[1].current, -2);
    EXPECT_EQ(u[1].aux, -2);
    EXPECT_EQ(u[2].type, Find::SETTING_SWITCH);
    EXPECT_EQ(u[2].items, (std::vector<std::string>{"disable", "enable"}));
    EXPECT_EQ(u[3].type, Find::SETTING_TEXT);
    EXPECT_EQ(u[3].value, "hello");
    EXPECT_EQ(u[4].type, Find::SETTING_CHOICE);
    EXPECT_EQ(u[4].items, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(u[4].current, 1);
    EXPECT_EQ(u[5].type, Find::SETTING_CHOICE_FIXED);
    EXPECT_EQ(u[5].value, "unknown");  // empty text, default 7 of 3 choices
    EXPECT_EQ(u[6].type, Find::SETTING_VALUE);
    EXPECT_EQ(u[6].max, 9);
    EXPECT_EQ(u[7].type, Find::SETTING_NONE);
    EXPECT_EQ(u[7].min, 0);
    EXPECT_EQ(u[7].current, 6);
    for (const Request& r : endpoint.requests(SINKVALUE_REQ)) EXPECT_NE(r.o[1], 2);

    // With the reset flag every unit but the fixed choice is restored first.
    ASSERT_TRUE(finder.SinkSetting(to, read, true));
    std::vector<std::uint16_t> resetUnits;
    for (const Request& r : endpoint.requests(SINKVALUE_REQ))
        if (r.o[1] == 2) resetUnits.push_back(r.o[0]);
    EXPECT_EQ(resetUnits, (std::vector<std::uint16_t>{1, 2, 3, 4, 5, 7, 8}));
}

TEST_F(FindManage, UnitReadingStopsAtAWrongOrMissingUnit) {
    std::vector<Unit> units = {{1, "One", 0, 9, 1, "", {}}, {1, "Two", 0, 9, 1, "", {}}};
    endpoint.run([&](Peer& p, const Request& r) {
        if (r.id == TARGETUNIT_REQ && r.o[0] == 2) {
            (void)p.answer(r, reply(TARGETUNIT_ANS, STATUS_ACCEPT, 3, 1, 0, 9, "Three"));  // not the unit asked
            return;
        }
        answerUnits(p, r, TARGETUNIT_REQ, units);
    });
    std::list<Find::TargetSettingInfo> read;
    EXPECT_FALSE(finder.TargetSetting(to, read, false));
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read.front().name, "One");

    units.clear();
    EXPECT_TRUE(finder.TargetSetting(to, read, false));
    EXPECT_TRUE(read.empty());
}

TEST_F(FindManage, EmptyChoiceTextsStillCountAgainstTheBound) {
    // A choice unit spanning every value answers each text empty: the
    // texts cost no bytes, but the read keeps at most 65536 of them. The
    // read takes 65537 exchanges with one 100 ms window each and no resend.
    // On a busy machine an answer may come late: the read then ends early,
    // or takes the late answer for a later request of the same unit (answers
    // carry no request number), and misses the bound's line. That is no fault
    // of the bound, so such a read is made again, on a socket of its own; a
    // read that kept more texts than the bound allows would be one. Both
    // sides run at a low real-time priority where the kernel allows it, so
    // that the machine's other work rarely delays an answer.
    const std::vector<Unit> units = {{5, "Wide", 0, 0xFFFF, 0, "", {}}};
    findtest::LogCapture::start(3);  // 65536 exchanges: no trace lines
    tmtest::RealTimeForThisThread testThread;  // the endpoint's thread, started now, inherits it
    endpoint.run([units](Peer& p, const Request& r) { answerUnits(p, r, SINKUNIT_REQ, units); });
    bool bounded = false;
    for (int attempt = 0; attempt < 5 && !bounded; ++attempt) {
        Find reader{Find::Setting()};
        ASSERT_TRUE(reader.open());
        findtest::LogCapture::instance().clear();
        std::list<Find::TargetSettingInfo> read;
        const bool kept = reader.SinkSetting(to, read, false);
        std::size_t texts = 0;
        for (const Find::TargetSettingInfo& unit : read) texts += 1 + unit.items.size();
        ASSERT_LE(texts, 65536u) << "the read kept more texts than its bound";
        bounded = !kept && read.empty() &&
                  findtest::LogCapture::instance().count("Find answer texts too many : 65537") == 1;
    }
    EXPECT_TRUE(bounded) << "five reads in a row missed an answer: answers kept coming late";
    endpoint.stop();
}

TEST_F(FindManage, SetsUnitsAndEndsWithAFinale) {
    endpoint.run([](Peer& p, const Request& r) {
        const bool accept = r.o[2] == 7 || (r.o[0] == 0 && r.o[1] == 1);
        (void)p.answer(r, reply(r.id + 1, accept ? STATUS_ACCEPT : STATUS_NONE, r.o[0]));
    });
    EXPECT_TRUE(finder.setTargetSetting(to, 2, "abc", 7));
    EXPECT_FALSE(finder.setSinkSetting(to, 3, std::uint16_t{4}));  // refused by the endpoint
    EXPECT_TRUE(finder.TargetSettingFinale(to, true));
    EXPECT_FALSE(finder.SinkSettingFinale(to, false));
    // Unit 0 would be the commit itself: refused before anything is sent.
    EXPECT_FALSE(finder.setTargetSetting(to, 0, "x"));
    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].id, TARGETVALUE_REQ);
    EXPECT_EQ((std::vector<std::uint16_t>{requests[0].o[0], requests[0].o[1], requests[0].o[2]}),
              (std::vector<std::uint16_t>{2, 1, 7}));
    EXPECT_EQ(requests[0].text(), "abc");
    EXPECT_EQ(requests[1].id, SINKVALUE_REQ);
    EXPECT_TRUE(requests[1].payload.empty());
    EXPECT_EQ(requests[2].o[0], 0);
    EXPECT_EQ(requests[2].o[1], 1);
    EXPECT_EQ(requests[3].id, SINKVALUE_REQ);
    EXPECT_EQ(requests[3].o[1], 2);
}

TEST_F(FindManage, InformationTextsBytesAndPages) {
    endpoint.run([](Peer& p, const Request& r) {
        if (r.id == FWVERSION_REQ) (void)p.answer(r, reply(FWVERSION_ANS, STATUS_ACCEPT, 0, 0, 0, 0, "1.4"));
        if (r.id == FWURL_REQ) (void)p.answer(r, reply(FWURL_ANS, STATUS_NONE));
        if (r.id != INFORMATION_REQ) return;
        const std::uint16_t sub = r.o[0], page = r.o[1];
        if (sub == 0) (void)p.answer(r, reply(INFORMATION_ANS, STATUS_ACCEPT, 0, 1, 0, 0, "info"));
        if (sub == 1 && page < 2) (void)p.answer(r, reply(INFORMATION_ANS, STATUS_ACCEPT, 1, 0, 4, 0, "page" + std::to_string(page)));
        if (sub == 3) (void)p.answer(r, reply(INFORMATION_ANS, STATUS_ACCEPT, 3, 1, 0, 0, std::string("\x00\x01\x02", 3)));
        if (sub == 5) (void)p.answer(r, reply(INFORMATION_ANS, STATUS_ACCEPT, 5, 0, 1, 0, "only"));
    });
    std::string text;
    EXPECT_TRUE(finder.FwVersion(to, text));
    EXPECT_EQ(text, "1.4");
    EXPECT_FALSE(finder.FwURL(to, text));
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(finder.Infomation(to, 0, text));
    EXPECT_EQ(text, "info");
    ORVEX::Buffer bytes;
    EXPECT_TRUE(finder.Infomation(to, 3, bytes));
    EXPECT_EQ(bytes, (ORVEX::Buffer{0, 1, 2}));

    // Four pages announced, the third goes unanswered: two pages, true.
    std::vector<std::string> pages;
    EXPECT_TRUE(finder.Infomation(to, 1, pages));
    EXPECT_EQ(pages, (std::vector<std::string>{"page0", "page1"}));
    EXPECT_EQ(endpoint.requests(INFORMATION_REQ).size(), 1u + 1u + 3u);
    // One page announced: one request.
    EXPECT_TRUE(finder.Infomation(to, 5, pages));
    EXPECT_EQ(pages, (std::vector<std::string>{"only"}));
    EXPECT_EQ(endpoint.requests(INFORMATION_REQ).size(), 6u);
    // An unanswered first page fails.
    EXPECT_FALSE(finder.Infomation(to, 9, pages));
}

TEST_F(FindManage, RebootChecksTheEchoedCode) {
    endpoint.run([](Peer& p, const Request& r) {
        // Answers every code but 9 with its own code, 9 with 0.
        (void)p.answer(r, reply(REBOOT_ANS, STATUS_ACCEPT, r.o[0] == 9 ? 0 : r.o[0]));
    });
    EXPECT_TRUE(finder.Reboot(to, false, 7));
    EXPECT_TRUE(finder.Reboot(to, true, 7));
    EXPECT_FALSE(finder.Reboot(to, true, 9));
    const auto requests = endpoint.requests(REBOOT_REQ);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].o[0], 0);
    EXPECT_EQ(requests[1].o[0], 7);
}

TEST_F(FindManage, IconsAreReadInRowGroupsAndRowParts) {
    struct Case {
        std::uint16_t w, h;
        std::uint32_t kind;
        bool shortRuns;
        std::size_t requests;
    };
    const Case cases[] = {
        {32, 32, 0, false, 4},    // 10, 10, 10 and 2 rows
        {500, 2, 0, false, 4},    // two requests per row, 300 and 200 pixels
        {64, 3, 1, false, 1},     // one-byte pixels: up to 19 rows per request
        {32, 32, 0, true, 0},     // short runs: continued where they ended
    };
    for (const Case& c : cases) {
        IconScript script;
        script.sizes[1] = {c.w, c.h};
        script.kind = c.kind;
        script.shortRuns = c.shortRuns;
        endpoint.stop();
        endpoint.run([script](Peer& p, const Request& r) { answerIcon(p, r, TARGETICON_ANS, script); });
        const std::size_t before = pixelRequests(TARGETICON_REQ).size();
        Icon icon;
        ASSERT_TRUE(finder.downloadIcon(to, 1, icon)) << c.w;
        EXPECT_EQ(icon.kind, c.kind);
        expectPixels(icon, c.w, c.h);
        const auto all = pixelRequests(TARGETICON_REQ);
        const std::vector<Request> mine(all.begin() + static_cast<long>(before), all.end());
        if (c.requests != 0) {
            EXPECT_EQ(mine.size(), c.requests) << c.w;
        }
        if (c.w == 32 && !c.shortRuns) {
            EXPECT_EQ(mine[0].o[3], 321);
            EXPECT_EQ(mine[3].o[2], 31);
            EXPECT_EQ(mine[3].o[3], 65);
        }
        if (c.w == 500) {
            EXPECT_EQ(mine[1].o[1], 301);
            EXPECT_EQ(mine[1].o[3], 0);
        }
    }
}

TEST_F(FindManage, MissingOddAndBadIcons) {
    IconScript script;
    script.sizes[1] = {65535, 65535};  // far beyond what the finder keeps
    endpoint.run([script](Peer& p, const Request& r) {
        if (r.id == TARGETICON_REQ) {
            answerIcon(p, r, TARGETICON_ANS, script);
        } else {
            (void)p.answer(r, reply(r.id, STATUS_NONE));  // the aux service is echoed
        }
    });
    Icon icon;
    icon.width = 3;
    EXPECT_FALSE(finder.downloadIcon(to, 0x30001, icon));
    EXPECT_EQ(icon.width, 3u);  // refused before anything
    EXPECT_TRUE(finder.downloadIcon(to, 0x20001, icon));
    EXPECT_EQ(icon.width, 0u);
    EXPECT_TRUE(finder.downloadIcon(to, 2, icon));  // no such icon
    EXPECT_FALSE(icon.isValid());
    EXPECT_TRUE(finder.downloadIcon(to, 1, icon));  // too large: taken as unsupported
    EXPECT_FALSE(icon.isValid());
    EXPECT_TRUE(pixelRequests(TARGETICON_REQ).empty());
}

TEST_F(FindManage, PixelAnswersThatDoNotFitFailTheDownload) {
    enum Fault { Refused, Empty, Ragged, TooMany };
    for (Fault fault : {Refused, Empty, Ragged, TooMany}) {
        endpoint.stop();
        endpoint.run([fault](Peer& p, const Request& r) {
            if (r.o[1] == 0) {
                (void)p.answer(r, reply(TARGETICON_ANS, STATUS_ACCEPT, r.o[0], 4, 2, 1));
                return;
            }
            switch (fault) {
                case Refused: (void)p.answer(r, reply(TARGETICON_ANS, STATUS_NONE, r.o[0], r.o[1], r.o[2])); break;
                case Empty: (void)p.answer(r, reply(TARGETICON_ANS, STATUS_ACCEPT, r.o[0], r.o[1], r.o[2], 1)); break;
                case Ragged:
                    (void)p.answer(r, reply(TARGETICON_ANS, STATUS_ACCEPT, r.o[0], r.o[1], r.o[2], 2, "abcde"));
                    break;
                case TooMany:
                    (void)p.answer(r, reply(TARGETICON_ANS, STATUS_ACCEPT, r.o[0], r.o[1], r.o[2], 10,
                                            std::string(36, 'x')));
                    break;
            }
        });
        Icon icon;
        EXPECT_FALSE(finder.downloadIcon(to, 1, icon)) << fault;
        EXPECT_EQ(icon.width, 0u);
        EXPECT_TRUE(icon.pixels.empty());
    }
}

TEST_F(FindManage, SizePreferenceTakesTheOtherSizeWhenTooSmall) {
    struct Case {
        std::uint16_t widthOfTwo;
        std::uint16_t expectedWidth;
    };
    for (const Case c : {Case{48, 64}, Case{96, 96}, Case{64, 64}}) {
        IconScript script;
        script.sizes[1] = {64, 1};
        script.sizes[2] = {c.widthOfTwo, 1};
        endpoint.stop();
        endpoint.run([script](Peer& p, const Request& r) { answerIcon(p, r, SINKICON_ANS, script); });
        Icon icon;
        ASSERT_TRUE(finder.downloadIcon(to, 0x10002, icon, 64));
        EXPECT_EQ(icon.width, c.expectedWidth) << c.widthOfTwo;
    }
    Icon icon;
    EXPECT_FALSE(finder.downloadIcon(to, 0x10009, icon, 64));  // no candidates for 9
}
