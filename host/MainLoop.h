// The host's main loop: waits on the one waiter, resumes playback after a
// seek or a loop rewind, gives the recorder sink its control step and runs
// the ends of recordings it hands over, serves the controllers on readiness and, on a wait
// time-out only, pushes "Status" and "LastTime" to the registered
// controllers and applies the loop and quit markers. Main thread only.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "foundation/TCPV6Server.h"
#include "host/ControllerSession.h"
#include "host/ControllerTable.h"
#include "host/SinkRecode.h"
#include "host/TrackState.h"
#include "sender/SyncBuffer.h"

class MainLoop {
public:
    static constexpr ORVEX::Clock WaitTime = ORVEX::Clock::fromMilliseconds(100);
    static constexpr ORVEX::Clock ResumeDelay = ORVEX::Clock::fromMilliseconds(500);

    MainLoop(ORVEX::Socket::Waiter& waiter, ORVEX::TCPV6Server& server, ZARNITH::SyncBuffer& sync,
             TrackState& track, ControllerTable& table, ControllerSession& session,
             SinkRecode* recorder = nullptr);

    // Runs while `running` stays set; false after a wait or accept failure.
    [[nodiscard]] bool run(const std::atomic<bool>& running);

private:
    void resumeRule();
    void timeoutWork();
    void pushStatus();
    void pushRemaining(std::uint64_t current);
    void applyMarkers(std::uint64_t current);

    ORVEX::Socket::Waiter& waiter;
    ORVEX::TCPV6Server& server;
    ZARNITH::SyncBuffer& sync;
    TrackState& track;
    ControllerTable& table;
    ControllerSession& session;
    SinkRecode* recorder;  // the recorder sink endpoint; none in tests of the loop alone

    bool lastConnected = false;       // connection up when "Status" was last decided
    bool lastPlaying = false;         // engine's playing flag when last decided
    std::uint64_t lastSentCount = 0;  // value of the last "LastTime" push
};
