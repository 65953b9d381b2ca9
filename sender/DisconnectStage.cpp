#include "sender/DisconnectStage.h"

namespace ZARNITH {

void DisconnectStage::on(Event event) {
    switch (event) {
        case Event::FinalBuilt:
            if (stage_ == Streaming) stage_ = FinalBuilt;
            return;
        case Event::FinalSent:
            if (stage_ < FinalSent) stage_ = FinalSent;
            return;
        case Event::ReportAsked:
            if (stage_ == FinalSent) stage_ = ReportAsked;
            return;
        case Event::Report:
            if (stage_ == ReportAsked) stage_ = ReportSeen;
            return;
        case Event::Resend:
            // The tail must arrive before the end is asked for.
            if (stage_ == ReportAsked || stage_ == ReportSeen) stage_ = FinalSent;
            return;
        case Event::TailPending:
            if (stage_ == ReportSeen) stage_ = FinalSent;
            return;
        case Event::Answered:
            stage_ = Answered;
            return;
    }
}

}  // namespace ZARNITH
