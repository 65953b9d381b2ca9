#include "host/TrackEditor.h"

#include <algorithm>
#include <new>

#include "foundation/SysLog.h"
#include "host/FormatRates.h"
#include "host/SnedMessageFrames.h"

using ORVEX::SysLog::LEVEL_DEBUG;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;
using TolvenmarkControll::SnedMessageFrames;

TrackEditor::TrackEditor(TrackState& track, ZARNITH::SyncBuffer& sync, ControllerTable& table)
    : track(track), sync(sync), table(table) {}

std::int64_t TrackEditor::stackPosition() const {
    return static_cast<std::int64_t>(sync.getLastBufferCount()) - 1;
}

void TrackEditor::endConnection() {
    if (sync.state.connectionRuns()) {
        // Past the end of the track, so that the stream ends after the block in hand.
        sync.seek(static_cast<long>(track.totalCount));
        sync.play();
        sync.disconnect();
    }
    // A connection still connecting (or one whose disconnect was requested
    // already) is ended too: the worker must let go of the ring.
    if (sync.state.connectionRuns()) sync.endConnection();
}

bool TrackEditor::newTrack(ZARNITH::FormatConfigure format) {
    const std::uint64_t frames = FormatRates::framesPer10ms(format);
    if (frames == 0) {
        // Without a rate (or a frame size) the ring cannot be sized.
        LEVEL_WARNING << "Rcv Data format without rate refused " << static_cast<unsigned long>(format);
        return false;
    }
    if (!FormatRates::streamable(format)) {
        // No sender could stream it: the ring is not sized for it, the old track stays.
        LEVEL_WARNING << "Rcv Data format beyond the stream rate refused " << static_cast<unsigned long>(format)
                      << " bytes/s " << static_cast<unsigned long>(FormatRates::bytesPerSecond(format));
        return false;
    }
    endConnection();
    if (beforeNewTrack) beforeNewTrack();
    if (!sizeRing(format)) return false;
    startTrack(format);
    return true;
}

bool TrackEditor::sizeRing(ZARNITH::FormatConfigure format) {
    try {
        return sync.setupBuffer(static_cast<unsigned long>(FormatRates::framesPer10ms(format)), 1, false, format);
    } catch (const std::bad_alloc&) {
        LEVEL_WARNING << "Rcv Data format refused: no memory for its ring " << static_cast<unsigned long>(format);
    }
    // The ring may be half resized: an empty track in the old format again
    // (setting up takes no block memory), or none at all.
    const ZARNITH::FormatConfigure old = track.currentFormat;
    bool restored = false;
    if (FormatRates::streamable(old)) {
        try {
            restored = sync.setupBuffer(static_cast<unsigned long>(FormatRates::framesPer10ms(old)), 1, false, old);
        } catch (const std::bad_alloc&) {
        }
    }
    startTrack(restored ? old : ZARNITH::FormatConfigure());
    return false;
}

void TrackEditor::startTrack(ZARNITH::FormatConfigure format) {
    ++trackGeneration;
    track.currentFormat = format;
    track.tags.clear();
    track.loopCount = 0;
    SnedMessageFrames reset;
    reset.addHeader("Tag", "0:0:reset");
    table.pushRegistered(reset);
    track.totalCount = static_cast<std::uint64_t>(std::max<std::int64_t>(stackPosition(), 0));
    track.lastCount = track.totalCount;
}

bool TrackEditor::appendChunk(ORVEX::BufferCS_const audio) {
    if (sync.state.connectionRuns()) {
        // The worker reads the ring for the whole connection: it must not change under it.
        LEVEL_WARNING << "Rcv Frame refused while connected";
        return false;
    }
    bool stored = false;
    try {
        stored = sync.addStream(audio);  // false before any format frame, or for an empty chunk
    } catch (const std::bad_alloc&) {
        // The ring is as it was: the chunk is refused, the track so far stays.
        LEVEL_WARNING << "Rcv Frame refused: no memory for " << static_cast<unsigned long>(audio.size) << " bytes";
    }
    if (!stored) return false;
    const unsigned long c = sync.getLastBufferCount();
    track.totalCount = static_cast<std::uint64_t>(stackPosition());
    track.lastCount = track.totalCount;
    LEVEL_DEBUG << "Rcv Frame " << c;
    return true;
}

bool TrackEditor::appendSilence() {
    const std::uint64_t bytes = FormatRates::bytesPerSecond(track.currentFormat);
    silence.assign(bytes, track.currentFormat.getMuteByte());
    return appendChunk(silence.view());
}

std::int64_t TrackEditor::storeTag(const std::string& name) {
    const std::int64_t position = stackPosition();
    const std::uint64_t pos = static_cast<std::uint64_t>(position);
    // Stored first: when that runs out of memory nothing has changed.
    track.tags.push_back(TagST{name, pos});
    if (name == TrackState::LoopTag) track.loopCount = pos;
    if (name == TrackState::QuitTag) track.quitCount = pos;
    LEVEL_INFO << "tag:" << static_cast<long>(position) << " [" << name << "]";
    return position;
}

void TrackEditor::pushLastTag() {
    if (track.tags.empty()) return;
    const TagST& tag = track.tags.back();
    SnedMessageFrames push;
    push.addHeader("Tag", std::to_string(track.tags.size()) + ":" + std::to_string(tag.pos) + ":" + tag.name);
    table.pushRegistered(push);
}
