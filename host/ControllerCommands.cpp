#include "host/ControllerCommands.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "foundation/Clock.h"
#include "foundation/SysLog.h"
#include "host/PlaybackStatus.h"
#include "host/SeekRequest.h"
#include "host/SnedMessageFrames.h"
#include "host/TextPairs.h"
#include "protocol/LittleEndian.h"

using ORVEX::SysLog::LEVEL_DEBUG;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;
using TolvenmarkControll::SnedMessageFrames;

namespace {

constexpr std::size_t FormatWordSize = 8;

// Sleeps the whole time, also when a signal cuts the sleep short.
void sleepMilliseconds(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

ControllerCommands::ControllerCommands(const HostSetting& setting, TrackState& track, ZARNITH::SyncBuffer& sync,
                                       ControllerTable& table)
    : track(track),
      sync(sync),
      table(table),
      trackEditor(track, sync, table),
      connectCommand(setting, track, sync, trackEditor),
      targetListCommand(setting.interfaceIndex) {}

void ControllerCommands::reply(ClientST& sender, const std::string& key, std::int64_t value) {
    SnedMessageFrames frame;
    frame.addHeader(key, value);
    table.sendTo(sender, frame);
}

void ControllerCommands::dataFrame(ClientST& sender, ORVEX::BufferCS_const payload) {
    // n: the bytes after the reserved byte (-1 for an empty payload).
    const std::int64_t n = static_cast<std::int64_t>(payload.size) - 1;
    LEVEL_DEBUG << "Rcv Data " << static_cast<long>(n);
    if (n >= static_cast<std::int64_t>(FormatWordSize)) {
        const ZARNITH::FormatConfigure word(ZARNITH::readU64LE(payload.data + 1));
        if (n == static_cast<std::int64_t>(FormatWordSize)) {
            (void)trackEditor.newTrack(word);
        } else if (static_cast<std::uint64_t>(word) == static_cast<std::uint64_t>(track.currentFormat)) {
            (void)trackEditor.appendChunk(
                ORVEX::BufferCS_const(payload.data + 1 + FormatWordSize, payload.size - 1 - FormatWordSize));
        }
        // A chunk in another format than the track's is dropped.
    }
    reply(sender, "DataStack", trackEditor.stackPosition());
}

void ControllerCommands::tagFrame(ClientST& sender, ORVEX::BufferCS_const payload) {
    // A refused tag is answered too, with the count unchanged: a controller
    // waits for the reply of every tag.
    if (payload.size == 0) {
        LEVEL_WARNING << "Rcv Tag without reserved byte refused";
        reply(sender, "DataTag", trackEditor.stackPosition());
        return;
    }
    const std::uint64_t length = payload.size - 1;
    const char* text = reinterpret_cast<const char*>(payload.data + 1);
    if (length > TagNameLimit || std::memchr(text, '\r', length) != nullptr ||
        std::memchr(text, '\n', length) != nullptr) {
        // The name is sent back inside a text line: it must fit one and not end it.
        LEVEL_WARNING << "Rcv Tag refused, name length " << static_cast<unsigned long>(length);
        reply(sender, "DataTag", trackEditor.stackPosition());
        return;
    }
    std::int64_t position = 0;
    try {
        position = trackEditor.storeTag(std::string(text, length));
    } catch (const std::bad_alloc&) {
        // The tags are as they were.
        LEVEL_WARNING << "Rcv Tag refused: no memory, name length " << static_cast<unsigned long>(length);
        reply(sender, "DataTag", trackEditor.stackPosition());
        return;
    }
    reply(sender, "DataTag", position);
    trackEditor.pushLastTag();
}

void ControllerCommands::requestStatus(ClientST& sender) {
    sender.registered = true;
    SnedMessageFrames reset;
    reset.addHeader("Tag", "0:0:reset");
    table.sendTo(sender, reset);
    std::size_t index = 0;
    for (const TagST& tag : track.tags) {
        SnedMessageFrames line;
        line.addHeader("Tag", std::to_string(++index) + ":" + std::to_string(tag.pos) + ":" + tag.name);
        table.sendTo(sender, line);
    }
    SnedMessageFrames status;
    status.addHeader("Status", PlaybackStatus::of(sync).text());
    table.sendTo(sender, status);
}

bool ControllerCommands::requestTargetList(ClientST& sender) {
    SnedMessageFrames list;
    if (!targetListCommand.run(list)) return false;
    // Sent also when it holds no line.
    table.sendTo(sender, list);
    return true;
}

bool ControllerCommands::connect(const std::string& value) {
    ConnectCommand::Target target;
    if (!ConnectCommand::parse(value, target)) {
        LEVEL_WARNING << "Connect value malformed";
        return true;
    }
    return connectCommand.run(target) != ConnectCommand::Result::DropController;
}

void ControllerCommands::pause() {
    sync.Sync::stop();
    sleepMilliseconds(PauseMilliseconds);
}

void ControllerCommands::seek(const std::string& value) {
    const SeekRequest request = SeekRequest::parse(value);
    switch (request.kind) {
    case SeekRequest::Kind::None: break;
    case SeekRequest::Kind::Front: sync.seek_front(); break;
    case SeekRequest::Kind::End: sync.seek(static_cast<long>(track.totalCount)); break;
    case SeekRequest::Kind::Relative:
        if (request.seek) sync.seek(static_cast<long>(request.steps));
        break;
    case SeekRequest::Kind::Absolute:
        sync.seek_front();
        if (request.seek) sync.seek(static_cast<long>(request.steps));
        break;
    }
    LEVEL_INFO << "SEEK:" << sync.getLastBufferCount();
    track.resumePending = true;
    track.resumeTime = ORVEX::Clock::now();
}

bool ControllerCommands::textFrame(ClientST& sender, ORVEX::BufferCS_const payload) {
    const auto pairs = TolvenmarkControll::TextPairs::split(TolvenmarkControll::TextPairs::textOf(payload));
    for (const auto& [key, value] : pairs) {
        LEVEL_INFO << "GetMessage " << key << "=" << value;
        if (key == "Request") {
            if (value == "Status") {
                requestStatus(sender);
            } else if (value == "TargetList") {
                if (!requestTargetList(sender)) return false;
            }
        } else if (key == "Connect") {
            if (!connect(value)) return false;
        } else if (key == "Play") {
            sync.Sync::play();
            track.resumePending = false;
        } else if (key == "Pause") {
            pause();
        } else if (key == "Seek") {
            seek(value);
        }
    }
    return true;
}
