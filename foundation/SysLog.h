// The system's logging: a statement is a stream started by a level and a text,
//   ORVEX::SysLog::LEVEL_INFO << "Bind : " << port;
// sent as one syslog-style datagram to [::1]:<port> when the statement ends,
// with an optional console copy. A statement whose level is above the
// process-wide threshold costs one comparison and builds nothing.
#pragma once

#include <atomic>
#include <string>

#include "foundation/SysLogNode.h"
#include "foundation/SysLogOut.h"

namespace ORVEX {
namespace SysLog {

// The process-wide threshold (ZARNITH::SysLogZarnith::zarnith_log names this
// same object); -1 logs nothing. Read by every logging thread, written at start-up.
inline std::atomic<int> logLevel{-1};

// Whether a message of `level` would be built now.
inline bool enabled(int level) { return (level & 7) <= logLevel.load(std::memory_order_relaxed); }

// Allocates the message for an enabled statement and appends `text`.
SysLogOut* startMessage(SysLogLevel level, const char* text);

inline SysLogNode operator<<(SysLogLevel level, const char* text) {
    if (!enabled(level)) return SysLogNode(nullptr);
    return SysLogNode(startMessage(level, text));
}
inline SysLogNode operator<<(SysLogLevel level, const std::string& text) {
    if (!enabled(level)) return SysLogNode(nullptr);
    SysLogNode node(startMessage(level, ""));
    node << text;
    return node;
}

// Starters with the level built in: SysLog::Info << "text" << value;
template <int L>
struct FixedLevel {};
inline constexpr FixedLevel<LEVEL_ERROR> Error{};
inline constexpr FixedLevel<LEVEL_NOTICE> Notice{};
inline constexpr FixedLevel<LEVEL_INFO> Info{};
inline constexpr FixedLevel<LEVEL_DEBUG> Debug{};
template <int L>
inline SysLogNode operator<<(FixedLevel<L>, const char* text) {
    return static_cast<SysLogLevel>(L) << text;
}

// Console copy hook: called with the start of each datagram's text.
using Callback = void (*)(const char* message);

// Makes a new global sender (an earlier one stays allocated for whoever shares
// it); with toStdout the console printer is (re)started. Result of OpenPort(port).
bool initialize(SysLogFacility facility, bool toStdout, unsigned short port);
// With a caller's callback: the console printer's own callback starts the
// printer; any other non-null callback gets the messages without a socket.
bool initialize(SysLogFacility facility, Callback callback);
// Opens the sender's socket bound to [::1] (system port, non-blocking) aimed
// at [::1]:port; true with nothing changed when it is open already.
bool OpenPort(unsigned short port);
// Closes and frees the global sender; later messages are dropped.
void finalize();
int getFacility();
void setFacility(SysLogFacility facility);
Callback getStdErr();
void* getOwn();
void reinitialize(void* sender);

}  // namespace SysLog
}  // namespace ORVEX
