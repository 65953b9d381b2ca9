// The worker's disconnect stages: an event moves only the stage it belongs
// to, so that a report, a report request or a resend out of turn cannot
// bring the disconnect exchange forward.
#include "sender/DisconnectStage.h"

#include <gtest/gtest.h>

#include <vector>

namespace ZARNITH {
namespace {

using Event = DisconnectStage::Event;

TEST(DisconnectStage, EventsMoveOnlyTheStageTheyBelongTo) {
    struct Case {
        const char* what;
        std::vector<Event> events;
        DisconnectStage::Stage stage;
    };
    const Case cases[] = {
        {"streaming takes chunks", {}, DisconnectStage::Streaming},
        {"the end in order",
         {Event::FinalBuilt, Event::FinalSent, Event::ReportAsked, Event::Report},
         DisconnectStage::ReportSeen},
        {"a report before the final message is sent does not count",
         {Event::FinalBuilt, Event::Report, Event::ReportAsked},
         DisconnectStage::FinalBuilt},
        {"a report asked for before the final message is sent does not count",
         {Event::FinalBuilt, Event::ReportAsked, Event::FinalSent, Event::Report},
         DisconnectStage::FinalSent},
        {"a resend after the report request sends the tail again",
         {Event::FinalBuilt, Event::FinalSent, Event::ReportAsked, Event::Resend},
         DisconnectStage::FinalSent},
        {"a resend after the sink's report as well",
         {Event::FinalBuilt, Event::FinalSent, Event::ReportAsked, Event::Report, Event::Resend},
         DisconnectStage::FinalSent},
        {"a resend before the report request changes nothing",
         {Event::FinalBuilt, Event::FinalSent, Event::Resend, Event::ReportAsked},
         DisconnectStage::ReportAsked},
        {"pending resends put the exchange off",
         {Event::FinalBuilt, Event::FinalSent, Event::ReportAsked, Event::Report, Event::TailPending},
         DisconnectStage::FinalSent},
        {"a second final message changes nothing",
         {Event::FinalBuilt, Event::FinalSent, Event::FinalBuilt, Event::FinalSent},
         DisconnectStage::FinalSent},
        {"the sink's answer ends it",
         {Event::FinalBuilt, Event::FinalSent, Event::ReportAsked, Event::Report, Event::Answered},
         DisconnectStage::Answered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DisconnectStage stage;
        for (Event e : c.events) stage.on(e);
        EXPECT_EQ(stage.stage(), c.stage);
        EXPECT_EQ(stage.takesChunks(), c.stage == DisconnectStage::Streaming);
        EXPECT_EQ(stage.exchangeDue(), c.stage == DisconnectStage::ReportSeen);
    }
}

}  // namespace
}  // namespace ZARNITH
