// The device list ("Request" = "TargetList"): a finder discovers the target
// endpoints on the configured interface (0: every interface), reads the
// type-1 ports (sink endpoints) of each, and the answer is one text frame
// with one "TargetList" line per port, in address order:
//     address,port interface-index name(portName)
// the "(portName)" only when the port has a name. Main thread only; blocks
// the main loop for the whole scan, which is bounded: a target's port walk
// skips a silent port but ends after a few in a row, every target gets an
// even share of the time left, and the whole list ends after Budget or as
// soon as the run flag is cleared (SIGTERM); the list then holds what was
// found.
//
// The host's own target is left out of the scan: its ports are the host's
// own endpoints, whose control step is this blocked main loop, so they could
// not answer and would fail the whole list.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "finder/Find.h"
#include "foundation/IPAddress.h"
#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "host/RunFlag.h"
#include "host/SnedMessageFrames.h"

class TargetListCommand {
public:
    using Found = std::map<ORVEX::IPAddress, ZARNITH::Find::FindTargetSt>;
    using Ports = std::map<ORVEX::IPAddress, ZARNITH::Find::TargetConnectInfo>;

    static constexpr std::uint64_t FinderProductId = 0;  // every target
    static constexpr const char* FinderName = "syncTest";
    static constexpr ZARNITH::Find::MODE Mode = ZARNITH::Find::PORT_TYPE1 | ZARNITH::Find::PORT_SEL1;
    static constexpr const char* Key = "TargetList";
    // Most payload bytes one frame carries (its 24-bit length).
    static constexpr std::size_t FramePayloadLimit = 0xFFFFFF;
    // Most time one list takes: discovery (3 passes of 30 ms per interface)
    // and the answers of a few hundred devices on a local link fit well.
    static constexpr ORVEX::Clock Budget = ORVEX::Clock::fromSeconds(5);

    // The list stops early once `running` reads false.
    explicit TargetListCommand(std::uint16_t interfaceIndex,
                               const std::atomic<bool>& running = TolvenmarkHost::app_running);

    // Discovery and port scan into `frame`; false (with "Socket Err" logged)
    // when a socket of the finder failed: the caller drops the controller.
    [[nodiscard]] bool run(TolvenmarkControll::SnedMessageFrames& frame) const;

    // The value of the line for one port; false when a name holds a line end
    // (it would end the text line early and forge the lines after it).
    [[nodiscard]] static bool lineValue(const ORVEX::IPAddress& port, const ZARNITH::Find::TargetConnectInfo& info,
                                        std::string& value);
    // One line per port, in map order; a line that cannot travel, or that
    // would overflow the frame, is left out with a log line.
    static void addLines(const Ports& ports, TolvenmarkControll::SnedMessageFrames& frame);
    // Removes the targets that answered from one of `own` addresses (a
    // link-local one on its own link only).
    static void dropOwnTargets(Found& found, const ORVEX::Socket::AddressList& own);

private:
    std::uint16_t interfaceIndex;    // the "Interface" setting
    const std::atomic<bool>& running;  // the host's run flag (cleared from a signal handler)
};
