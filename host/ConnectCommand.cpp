#include "host/ConnectCommand.h"

#include "foundation/SysLog.h"

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_NOTICE;

bool ConnectCommand::parse(const std::string& value, Target& target) {
    const std::size_t blank = value.find(' ');
    if (blank == std::string::npos) return false;
    ORVEX::IPAddress address;
    if (!address.set_str(value.substr(0, blank))) return false;
    std::uint32_t index = 0;
    for (std::size_t i = blank + 1; i < value.size(); ++i) {
        const char c = value[i];
        if (c < '0' || c > '9') return false;
        index = (index * 10 + static_cast<std::uint32_t>(c - '0')) & 0xFFFF;
    }
    target.ifIndex = static_cast<std::uint16_t>(index);
    // A link-local address (what discovery lists) is reachable only through
    // its interface: the index becomes its scope.
    address.ifIndex = address.is_link_local() ? target.ifIndex : 0;
    target.address = address;
    return true;
}

ConnectCommand::ConnectCommand(const HostSetting& setting, TrackState& track, ZARNITH::SyncBuffer& sync,
                               TrackEditor& editor)
    : setting(setting), track(track), sync(sync), editor(editor) {}

ConnectCommand::Result ConnectCommand::run(const Target& target) {
    editor.endConnection();
    sync.close();
    sync.seek_front();
    if (!sync.open(static_cast<ZARNITH::Sync::THRED_MODE>(setting.thredMode), setting.infoCycle, target.ifIndex,
                   HostName, HostTag, setting.cpuSend, setting.cpuOtherFirst, setting.cpuOtherCount)) {
        LEVEL_ERROR << "Socket Open Err";
        return Result::DropController;
    }
    if (!sync.setSink(target.address, setting.latencyBuffer, false)) return Result::Failed;
    LEVEL_INFO << "Conect Sink";
    LEVEL_NOTICE << "latency:" << static_cast<unsigned long>(sync.getLatency().picoseconds() / 1000000000ULL)
                 << "msec";
    if (!sync.setSinkConfigure(track.currentFormat)) return Result::Failed;
    configureTransfer();
    if (!sync.connectPrepare()) return Result::Failed;
    LEVEL_INFO << "connectPrepare";
    if (!sync.connect(false, -1)) return Result::Failed;
    LEVEL_INFO << "connect";
    if (!sync.connectWait()) return Result::Failed;
    LEVEL_INFO << "connectWait";
    if (!sync.state.connected()) {
        // Still connecting after the wait (or already given up): not a
        // connection to play on. The worker is ended so the ring stays free.
        LEVEL_NOTICE << "connect failed " << sync.state.load();
        editor.endConnection();
        return Result::Failed;
    }
    LEVEL_INFO << "is_connect";
    track.lastCount = track.totalCount;
    sync.play();
    sync.pre_disconnect(true);
    return Result::Connected;
}

void ConnectCommand::configureTransfer() {
    if (setting.targetProfileLimitTime.picoseconds() != 0) {
        LEVEL_INFO << "configTransfer profile";
        transferFallback();
        return;
    }
    if (!setting.flexCycle) {
        LEVEL_INFO << "configTransfer Fix";
        if (!sync.configTransferFix(setting.cycleTime, 0)) {
            LEVEL_ERROR << "error configTransfer Fix";
            transferFallback();
        }
        return;
    }
    if (setting.flexRandom) {
        LEVEL_INFO << "configTransfer Random";
        if (setting.cycleMinTime.picoseconds() < ORVEX::Clock::fromMicroseconds(1).picoseconds() ||
            !sync.configTransferRandom(setting.cycleMinTime, setting.cycleTime, 0)) {
            LEVEL_ERROR << "error configTransfer Var";
            transferFallback();
        }
        return;
    }
    LEVEL_INFO << "configTransfer Var";
    if (!sync.configTransferVar(setting.cycleTime, 0)) {
        LEVEL_ERROR << "error configTransfer Var";
        transferFallback();
    }
}

void ConnectCommand::transferFallback() {
    sync.configTransferAuto(setting.targetProfileLimitTime, ORVEX::Clock(), setting.cycleTime);
    if (sync.getCycleTime().picoseconds() >= ORVEX::Clock::fromMilliseconds(1).picoseconds())
        sync.changeWorkMode(static_cast<ZARNITH::Sync::THRED_MODE>(
            setting.thredMode & ~(ZARNITH::Sync::NOSLEEP4CORE | ZARNITH::Sync::NOSLEEPFORCE)));
}
