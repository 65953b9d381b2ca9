// The sending engine as the controllers see it, from one read of its
// connection state and its playing flag: "Play" (a connection runs and
// plays), "Pause" (a connection runs, not playing) or "Disconnect" (none).
// Main thread only.
#pragma once

#include "sender/Sync.h"

struct PlaybackStatus {
    bool connected = false;  // a connection runs: connecting, connected or its disconnect requested
    bool playing = false;

    static PlaybackStatus of(const ZARNITH::Sync& sync) {
        PlaybackStatus now;
        now.connected = sync.state.connectionRuns();
        now.playing = sync.playing.load();
        return now;
    }
    const char* text() const {
        if (!connected) return "Disconnect";
        return playing ? "Play" : "Pause";
    }
};
