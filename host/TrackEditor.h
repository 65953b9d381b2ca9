// The changes of the in-memory track that controller commands and the
// recorder share: ending the sending connection before the ring changes, a
// new track in a format, appended chunks and silence, and named tags with
// their pushes to the registered controllers. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/Buffer.h"
#include "host/ControllerTable.h"
#include "host/TrackState.h"
#include "protocol/FormatConfigure.h"
#include "sender/SyncBuffer.h"

class TrackEditor {
public:
    TrackEditor(TrackState& track, ZARNITH::SyncBuffer& sync, ControllerTable& table);

    // Runs once the ring is free and before a new track replaces the old one
    // (the recorder finishes the end of an earlier recording there).
    std::function<void()> beforeNewTrack;

    // Ends the sending connection whatever its state: what is queued is
    // skipped, the disconnect exchange runs when connected, the worker is
    // joined. Afterwards the ring may change.
    void endConnection();
    // A new, empty track in `format` ("Tag" "0:0:reset" to the registered
    // controllers). False (logged) when the format cannot size the ring or
    // no sender could stream it; the old track then stays.
    [[nodiscard]] bool newTrack(ZARNITH::FormatConfigure format);
    // One chunk at the end of the track. False (logged) while a connection
    // plays the ring, before any format and for an empty chunk.
    bool appendChunk(ORVEX::BufferCS_const audio);
    // One second of silence of the track's format, as one chunk.
    bool appendSilence();
    // A named position at the end of the track; the marker names set the
    // loop and quit positions. Returns the position (-1 for an empty ring).
    // Out of memory (std::bad_alloc) it leaves the track as it was.
    std::int64_t storeTag(const std::string& name);
    // "Tag" with the number, position and name of the newest tag to the
    // registered controllers.
    void pushLastTag();

    // The ring's queued-chunk count minus one (-1 for an empty ring).
    std::int64_t stackPosition() const;
    // Counts the tracks started so far: tells whether a track is still the
    // one that an earlier step started.
    std::uint64_t generation() const { return trackGeneration; }

private:
    // Sizes the ring for a new track in `format`. When memory runs out the
    // track is emptied (in the old format when that still fits) and the result is false.
    [[nodiscard]] bool sizeRing(ZARNITH::FormatConfigure format);
    // The track state of a new, empty track in `format`, with the reset push.
    void startTrack(ZARNITH::FormatConfigure format);

    TrackState& track;
    ZARNITH::SyncBuffer& sync;
    ControllerTable& table;
    ORVEX::Buffer silence;  // reused for every silence chunk
    std::uint64_t trackGeneration = 0;
};
