#include "host/HostApp.h"

#include <list>
#include <memory>
#include <string>

#include "foundation/FileInf.h"
#include "foundation/FilePath.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "foundation/SysLog.h"
#include "foundation/TCPV6Server.h"
#include "foundation/ThreadPriority.h"
#include "host/ControllerCommands.h"
#include "host/ControllerSession.h"
#include "host/ControllerTable.h"
#include "host/HostSetting.h"
#include "host/HostSettingReader.h"
#include "host/HostTargetSetting.h"
#include "host/MainLoop.h"
#include "host/RunFlag.h"
#include "host/SinkRecode.h"
#include "host/TrackEditor.h"
#include "host/TrackState.h"
#include "protocol/SysLogZarnith.h"
#include "sender/Sync.h"
#include "sender/SyncBuffer.h"
#include "target/Target.h"

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;

namespace TolvenmarkHost {

namespace {

constexpr unsigned short LogPort = 19640;

// The executable's directory ending with '/', or "" when it cannot be read.
std::string ownDirectory() {
    ORVEX::FilePath self;
    self.setMySelfPath();
    if (!self.removeFilename()) return std::string();
    return self.path;
}

// Command line and settings file; logging is started from the result.
void readSettings(int argc, char** argv, HostSetting& setting) {
    const bool pathGiven = argc >= 2 && argv[1] != nullptr && argv[1][0] != '\0';
    HostSettingReader::readCommandLine(argc, argv, pathGiven ? std::string() : ownDirectory(), setting);
    ORVEX::FileInf file;
    const bool loaded = file.load(setting.settingPath, 0);
    HostSettingReader::decideLogging(loaded, loaded ? file.get("Debug") : std::string(), setting);
    if (loaded) HostSettingReader::readKeys([&file](const std::string& key) { return file.get(key); }, setting);
}

void startLogging(const HostSetting& setting) {
    (void)ZARNITH::SysLogZarnith::initialize(ORVEX::SysLog::FACILITY_LOCAL0, LogPort, setting.logConsole);
    if (setting.logOn) {
        (void)ZARNITH::SysLogZarnith::changeLevel(
            setting.logVerbose ? ORVEX::SysLog::LEVEL_DEBUG : ORVEX::SysLog::LEVEL_INFO, LogPort);
    }
}

// CPU set (only when the thread mode asks for pinning) and idle class of the main thread.
void setMainThread(const HostSetting& setting) {
    const unsigned long self = ORVEX::ThreadPriority::getSelfThreadID();
    const bool pin = (setting.thredMode & ZARNITH::Sync::OCCUPIED) != 0 && setting.cpuOtherFirst != -1 &&
                     setting.cpuOtherCount != -1;
    if (pin) {
        // A range that ends before it starts names no CPU: refused here, not
        // turned into a huge unsigned count.
        bool ok = setting.cpuOtherFirst >= 0 && setting.cpuOtherCount > 0;
        if (ok) {
            ORVEX::ThreadPriority::Cpus range;
            range.first = static_cast<std::uint16_t>(setting.cpuOtherFirst);
            range.count = static_cast<std::uint16_t>(setting.cpuOtherCount);
            ok = ORVEX::ThreadPriority::setCpuThread(self, std::list<ORVEX::ThreadPriority::Cpus>{range});
        }
        if (ok)
            LEVEL_INFO << "Main Thread CPU set " << setting.cpuOtherFirst << "," << setting.cpuOtherCount;
        else
            LEVEL_WARNING << "Main Thread CPU set error " << setting.cpuOtherFirst << "," << setting.cpuOtherCount;
    }
    if (ORVEX::ThreadPriority::setPriority(self, ORVEX::ThreadPriority::IDLE))
        LEVEL_INFO << "Main Thread Priority set IDLE";
    else
        LEVEL_WARNING << "Main Thread Priority set Error";
}

// The recorder's effect on the track: a sender's connection starts a new
// track in its format with one second of silence; the end of the connection
// (run on the main thread, once the ring is free) appends one more second
// and the "Recorder" tag. Earlier ends run before a new track replaces theirs;
// the end of a recording whose track a controller has replaced meanwhile is
// dropped, so that it never lands in the middle of an upload.
void installRecorder(SinkRecode& recorder, TrackEditor& editor, const ZARNITH::SyncBuffer& sync) {
    auto recordingTrack = std::make_shared<std::uint64_t>(0);  // generation of the recording's track
    editor.beforeNewTrack = [&recorder] { (void)recorder.runPendingEnds(); };
    recorder.recordStream = [&editor](ORVEX::BufferCS_const chunk) {
        (void)editor.appendChunk(chunk);
        return true;
    };
    recorder.recordFormat = [&editor, recordingTrack](ZARNITH::FormatConfigure& format) {
        if (!editor.newTrack(format)) return false;
        *recordingTrack = editor.generation();
        (void)editor.appendSilence();
        return true;
    };
    recorder.recordFlush = [&editor, &sync, recordingTrack](ORVEX::BufferCS_const) {
        if (editor.generation() != *recordingTrack) {
            LEVEL_WARNING << "Recoder end dropped: the track was replaced";
            return true;
        }
        if (sync.state.connectionRuns()) return false;  // the host's own sender plays the ring
        (void)editor.appendSilence();
        (void)editor.storeTag("Recorder");
        editor.pushLastTag();
        return true;
    };
}

}  // namespace

bool _main(int argc, char** argv) {
    app_running.exchange(true);
    installStopSignals();

    HostSetting setting;
    readSettings(argc, argv, setting);
    startLogging(setting);
    setMainThread(setting);

    // Long-lived objects, built in this order and destroyed in reverse.
    ORVEX::Socket::Waiter waiter;
    ORVEX::TCPV6Server server(waiter);
    if (!server.open(true)) {
        LEVEL_ERROR << "Socket Open Error";
        return false;
    }
    ORVEX::IPAddress any;  // [::]:0, interface 0
    if (!server.bind(any)) {
        LEVEL_ERROR << "Socket Bont Error";
        return false;
    }
    LEVEL_INFO << "Bind : " << static_cast<unsigned>(any.get_port());

    // The target endpoint that announces the host, with the controller port
    // above as its port entry "KX1". When it cannot open (its own log lines
    // tell why) the host runs without announcing itself.
    const ZARNITH::Target::Setting targetSetting = HostTargetSetting::make(setting.hostName, any.get_port());
    ZARNITH::Target target(targetSetting);
    (void)target.open(true);

    ZARNITH::SyncBuffer sync;
    TrackState track;
    ControllerTable table;
    ControllerCommands commands(setting, track, sync, table);
    ControllerSession session(table, commands);

    // The recorder sink "Recoder" on logical port 1, sharing the waiter.
    SinkRecode recorder(SinkRecode::Setting::recorder(), waiter);
    installRecorder(recorder, commands.editor(), sync);
    std::uint16_t controlPort = 0;
    std::uint16_t streamPort = 0;
    bool result = recorder.openRecorder(controlPort, streamPort);
    if (!result) LEVEL_ERROR << "Sink Open Error";

    if (result) {
        MainLoop loop(waiter, server, sync, track, table, session, &recorder);
        result = loop.run(app_running);
    }
    // A connection still playing ends with the disconnect exchange.
    commands.editor().endConnection();
    return result;
}

}  // namespace TolvenmarkHost
