// The worker's end of a stream, from the final message to the disconnect
// exchange. Worker thread only: one per connection, in the worker's run.
//
// With the disconnect requested, the worker builds one last message (the
// source ended: "buffer Final "; paused: "buffer disconnect ") and fills the
// rest with silence. Once it is sent, the next message that asks for a report
// waits for the sink's report, which says that the sink has what was sent;
// then DSICONNECT_REQ goes out (up to 4 tries of 0.5 s) until DSICONNECT_ANS.
// A resend request before that sends the tail again first.
//
//   stage            entered on
//   Streaming    0   the start: chunks are taken
//   FinalBuilt   1   FinalBuilt: no new chunks, the rest is silence
//   FinalSent    2   FinalSent; or Resend at ReportAsked / ReportSeen and
//                    TailPending at ReportSeen: the tail goes out again
//   ReportAsked  3   ReportAsked at FinalSent
//   ReportSeen   4   Report at ReportAsked: the next loop pass runs the
//                    disconnect exchange, once no resend is pending
//   Answered     5   Answered: DSICONNECT_ANS came during the exchange
#pragma once

namespace ZARNITH {

class DisconnectStage {
public:
    enum Stage : int { Streaming = 0, FinalBuilt, FinalSent, ReportAsked, ReportSeen, Answered };
    enum class Event {
        FinalBuilt,   // the final message was built
        FinalSent,    // a message marked final went out
        ReportAsked,  // a message asking for a report went out
        Report,       // the sink's report (not a resend request) arrived
        Resend,       // a resend request was taken
        TailPending,  // the exchange is due while resends are pending
        Answered,     // DSICONNECT_ANS from the sink
    };

    // The one place where the stage changes: an event that does not apply
    // to the current stage leaves it.
    void on(Event event);

    Stage stage() const { return stage_; }
    // The source may be asked for chunks.
    bool takesChunks() const { return stage_ == Streaming; }
    // The sink has reported after the final message: time for the exchange.
    bool exchangeDue() const { return stage_ == ReportSeen; }

private:
    Stage stage_ = Streaming;
};

}  // namespace ZARNITH
