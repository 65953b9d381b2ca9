// The "Connect" command: connects the sending engine to a device's sink
// endpoint with the host's settings (thread mode, report cycle, latency
// buffer, transfer profile, CPUs) and starts playing the track from its
// start; the connection ends by itself when the ring has played out.
// Main thread only; blocks for the whole handshake.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/IPAddress.h"
#include "host/HostSetting.h"
#include "host/TrackEditor.h"
#include "host/TrackState.h"
#include "sender/SyncBuffer.h"

class ConnectCommand {
public:
    // A device's sink endpoint as the device list names it.
    struct Target {
        ORVEX::IPAddress address;  // link-local addresses carry the interface index as their scope
        std::uint16_t ifIndex = 0;
    };

    enum class Result {
        Connected,       // playing
        Failed,          // abandoned; the engine's log lines tell why
        DropController,  // the sender's sockets could not open
    };

    // The 8 bytes "Zarnith" and a zero byte, read little-endian.
    static constexpr unsigned long HostTag = 0x006874696E72615AUL;
    static constexpr const char* HostName = "TolvenmarkHost";

    // "address,port index": IPv6 text, a comma and the decimal port, one
    // blank, then only decimal digits (none counts as 0; truncated to 16
    // bits). False when malformed.
    [[nodiscard]] static bool parse(const std::string& value, Target& target);

    ConnectCommand(const HostSetting& setting, TrackState& track, ZARNITH::SyncBuffer& sync, TrackEditor& editor);

    Result run(const Target& target);

private:
    // The transfer profile chosen by the settings.
    void configureTransfer();
    // The automatic profile, and no spinning for cycles of 1 ms or more.
    void transferFallback();

    const HostSetting& setting;
    TrackState& track;
    ZARNITH::SyncBuffer& sync;
    TrackEditor& editor;
};
