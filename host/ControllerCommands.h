// The meaning of controller frames: data frames (a format word starts a new
// track, audio chunks are appended to the sender's ring), tag frames (named
// positions, loop and quit markers) and the key = value lines of text frames
// (status registration, device list, connect, play, pause, seek). Every
// command runs to its end on the main thread.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Buffer.h"
#include "host/ClientST.h"
#include "host/ConnectCommand.h"
#include "host/ControllerTable.h"
#include "host/HostSetting.h"
#include "host/TargetListCommand.h"
#include "host/TrackEditor.h"
#include "host/TrackState.h"
#include "sender/SyncBuffer.h"

class ControllerCommands {
public:
    // Longest tag name taken; longer ones are refused (a tag travels in one text line).
    static constexpr std::size_t TagNameLimit = 65536;

    ControllerCommands(const HostSetting& setting, TrackState& track, ZARNITH::SyncBuffer& sync,
                       ControllerTable& table);

    // Type 0: reserved byte, format word, audio. Always answered with "DataStack".
    void dataFrame(ClientST& sender, ORVEX::BufferCS_const payload);
    // Type 2: reserved byte, tag name. Always answered with "DataTag" (the
    // count unchanged when the tag is refused).
    void tagFrame(ClientST& sender, ORVEX::BufferCS_const payload);
    // Type 1: the lines of the frame, executed in order; false drops the sender.
    [[nodiscard]] bool textFrame(ClientST& sender, ORVEX::BufferCS_const payload);

    // The track changes shared with the recorder.
    TrackEditor& editor() { return trackEditor; }

    // How long "Pause" holds the main thread.
    static constexpr unsigned PauseMilliseconds = 100;

private:
    void requestStatus(ClientST& sender);
    // False drops the sender.
    [[nodiscard]] bool requestTargetList(ClientST& sender);
    // False drops the sender.
    [[nodiscard]] bool connect(const std::string& value);
    void pause();
    void seek(const std::string& value);
    void reply(ClientST& sender, const std::string& key, std::int64_t value);

    TrackState& track;
    ZARNITH::SyncBuffer& sync;
    ControllerTable& table;
    TrackEditor trackEditor;
    ConnectCommand connectCommand;
    TargetListCommand targetListCommand;
};
