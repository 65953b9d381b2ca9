#include "host/MainLoop.h"

#include "foundation/SysLog.h"
#include "host/ControllerCommands.h"
#include "host/FormatRates.h"
#include "host/SnedMessageFrames.h"

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using TolvenmarkControll::SnedMessageFrames;

MainLoop::MainLoop(ORVEX::Socket::Waiter& waiter, ORVEX::TCPV6Server& server, ZARNITH::SyncBuffer& sync,
                   TrackState& track, ControllerTable& table, ControllerSession& session,
                   SinkRecode* recorder)
    : waiter(waiter), server(server), sync(sync), track(track), table(table), session(session), recorder(recorder) {
    lastConnected = ControllerCommands::connected(sync);
    lastPlaying = sync.playing.load();
}

bool MainLoop::run(const std::atomic<bool>& running) {
    while (running.load()) {
        const ORVEX::WaitResult result = waiter.wait(WaitTime);
        if (!running.load()) return true;
        if (result == ORVEX::WaitResult::Error) {
            LEVEL_ERROR << "Socket Wait Error";
            return false;
        }
        if (recorder != nullptr) {
            (void)recorder->controlLoop();
            recorder->poll();
        }
        resumeRule();
        if (result == ORVEX::WaitResult::TimeOut) {
            timeoutWork();
        } else if (result == ORVEX::WaitResult::Ready) {
            if (!server.accept([this](ORVEX::TCPV6Server::Client& c) { return session.acceptController(c); })) {
                LEVEL_ERROR << "Socket Accept Error";
                return false;
            }
            server.receive([this](ORVEX::TCPV6Server::Client& c) { return session.receiveController(c); });
        }
    }
    return true;
}

void MainLoop::resumeRule() {
    if (!track.resumePending) return;
    const ORVEX::Clock elapsed = ORVEX::Clock::now() - track.resumeTime;
    if (elapsed.Comp(ResumeDelay) <= 0) return;
    track.resumePending = false;
    if (ControllerCommands::connected(sync) && !sync.playing.load()) sync.Sync::play();
}

void MainLoop::timeoutWork() {
    pushStatus();
    const unsigned long c = sync.getLastBufferCount();
    const std::uint64_t current = c == 0 ? 0 : c - 1;
    pushRemaining(current);
    applyMarkers(current);
}

void MainLoop::pushStatus() {
    const bool conn = ControllerCommands::connected(sync);
    const bool playing = sync.playing.load();
    if (conn == lastConnected && !(conn && playing != lastPlaying)) return;
    lastConnected = conn;
    if (conn) lastPlaying = playing;
    SnedMessageFrames frame;
    frame.addHeader("Status", conn ? (playing ? "Play" : "Pause") : "Disconnect");
    table.pushRegistered(frame);
}

void MainLoop::pushRemaining(std::uint64_t current) {
    if (current == track.lastCount) return;
    if (!ControllerCommands::connected(sync) || !sync.playing.load() || track.resumePending) return;
    if (track.totalCount == 0 || FormatRates::bytesPerSecond(track.currentFormat) == 0) return;
    if (current == lastSentCount) return;
    SnedMessageFrames frame;
    frame.addHeader("LastTime", static_cast<std::int64_t>(current));
    table.pushRegistered(frame);
    track.lastCount = current;
    lastSentCount = current;
}

void MainLoop::applyMarkers(std::uint64_t current) {
    const std::uint64_t total = track.totalCount;
    if (total == 0 || track.loopCount == 0 || track.quitCount == 0) return;
    if (track.loopCount >= total || track.quitCount >= total || current >= total) return;
    if (total - track.quitCount >= current) {
        LEVEL_INFO << "Quit:";
        return;
    }
    if (total - track.loopCount >= current) {
        sync.seek_front();
        track.resumePending = true;
        track.resumeTime = ORVEX::Clock::now();
        LEVEL_INFO << "Loop:";
    }
}
