#include "host/TrackEditor.h"

#include "foundation/SysLog.h"
#include "host/FormatRates.h"
#include "host/SnedMessageFrames.h"

using ORVEX::SysLog::LEVEL_DEBUG;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;
using TolvenmarkControll::SnedMessageFrames;

TrackEditor::TrackEditor(TrackState& track, ZARNITH::SyncBuffer& sync, ControllerTable& table)
    : track(track), sync(sync), table(table) {}

bool TrackEditor::connected(const ZARNITH::SyncBuffer& sync) {
    const int state = sync.state.load();
    return state >= 1 && state <= 3;
}

std::int64_t TrackEditor::stackPosition() const {
    return static_cast<std::int64_t>(sync.getLastBufferCount()) - 1;
}

void TrackEditor::endConnection() {
    if (connected(sync)) {
        // Past the end of the track, so that the stream ends after the block in hand.
        sync.seek(static_cast<long>(track.totalCount));
        sync.play();
        sync.disconnect();
    }
    // A connection still connecting (or one whose disconnect was requested
    // already) is ended too: the worker must let go of the ring.
    if (sync.state.load() != 0) sync.endConnection();
}

bool TrackEditor::newTrack(ZARNITH::FormatConfigure format) {
    const std::uint64_t frames = FormatRates::framesPer10ms(format);
    if (frames == 0) {
        // Without a rate (or a frame size) the ring cannot be sized.
        LEVEL_WARNING << "Rcv Data format without rate refused " << static_cast<unsigned long>(format);
        return false;
    }
    endConnection();
    if (beforeNewTrack) beforeNewTrack();
    if (!sync.setupBuffer(static_cast<unsigned long>(frames), 1, false, format)) return false;
    ++trackGeneration;
    track.currentFormat = format;
    track.tags.clear();
    track.loopCount = 0;
    SnedMessageFrames reset;
    reset.addHeader("Tag", "0:0:reset");
    table.pushRegistered(reset);
    track.totalCount = static_cast<std::uint64_t>(stackPosition());
    track.lastCount = track.totalCount;
    return true;
}

bool TrackEditor::appendChunk(ORVEX::BufferCS_const audio) {
    if (connected(sync)) {
        // The worker reads the ring for the whole connection: it must not change under it.
        LEVEL_WARNING << "Rcv Frame refused while connected";
        return false;
    }
    if (!sync.addStream(audio)) return false;  // before any format frame, or an empty chunk
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
    if (name == TrackState::LoopTag) track.loopCount = pos;
    if (name == TrackState::QuitTag) track.quitCount = pos;
    LEVEL_INFO << "tag:" << static_cast<long>(position) << " [" << name << "]";
    track.tags.push_back(TagST{name, pos});
    return position;
}

void TrackEditor::pushLastTag() {
    if (track.tags.empty()) return;
    const TagST& tag = track.tags.back();
    SnedMessageFrames push;
    push.addHeader("Tag", std::to_string(track.tags.size()) + ":" + std::to_string(tag.pos) + ":" + tag.name);
    table.pushRegistered(push);
}
