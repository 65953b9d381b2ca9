// The host's model of the one track held in memory. The audio itself lives
// only in the sender's ring (ZARNITH::SyncBuffer); this record holds counts
// and positions in units of ring chunks. Main thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Clock.h"
#include "host/TagST.h"
#include "protocol/FormatConfigure.h"

struct TrackState {
    // Tag names that act as markers (exactly these 20 bytes).
    static constexpr const char* LoopTag = "@@Zarnith-TAG-LOOP@@";
    static constexpr const char* QuitTag = "@@Zarnith-TAG-QUIT@@";

    ZARNITH::FormatConfigure currentFormat;  // 0 until a track starts
    std::uint64_t totalCount = 0;            // chunks of the track
    std::uint64_t lastCount = 0;             // remaining count last reported or set by an upload
    std::uint64_t loopCount = 0;             // position of the loop tag; 0: none
    std::uint64_t quitCount = 0;             // position of the quit tag; 0: none
    bool resumePending = false;              // a seek or loop rewind asked for playback to resume
    ORVEX::Clock resumeTime;                 // when that happened (meaningful while resumePending)
    std::vector<TagST> tags;                 // in order of arrival
};
