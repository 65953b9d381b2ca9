// Status flags of the control message header.
#pragma once

#include <cstdint>

namespace ZARNITH {

enum StatusID : std::uint16_t {
    STATUS_NONE = 0x0000,
    // In an answer: the request was accepted and the answer's fields are valid;
    // also set in the requests SYNCNAME_SET and CLIENTNAME_SET.
    STATUS_ACCEPT = 0x0001,
    // Sink base status while a sender is connected; in THREADID_SET and
    // THREADNOTIFY_SET: playback starts.
    STATUS_PLAYING = 0x0002,
    // STREAMREPORT_SET is a resend request.
    STATUS_RESEND = 0x0008,
    // STREAMDATA_SET asks for a report; set in a rate report; bit 7 of the
    // trailer of a header-less stream datagram.
    STATUS_REPORT = 0x0020,
    // STREAMDATA_SET is the last packet of its cycle.
    STATUS_CYCLEEND = 0x0040,
    // Sink base status: output phase not inverted (only with STATUS_PHASECONTROL).
    STATUS_PHASENORMAL = 0x0080,
    // Sink base status: the sink offers phase control.
    STATUS_PHASECONTROL = 0x0100,
};

constexpr StatusID operator|(StatusID a, StatusID b) {
    return static_cast<StatusID>(static_cast<std::uint16_t>(a) | static_cast<std::uint16_t>(b));
}
constexpr StatusID operator&(StatusID a, StatusID b) {
    return static_cast<StatusID>(static_cast<std::uint16_t>(a) & static_cast<std::uint16_t>(b));
}
constexpr StatusID operator~(StatusID a) {
    return static_cast<StatusID>(static_cast<std::uint16_t>(~static_cast<std::uint16_t>(a)));
}
constexpr StatusID& operator|=(StatusID& a, StatusID b) { return a = a | b; }
constexpr StatusID& operator&=(StatusID& a, StatusID b) { return a = a & b; }

}  // namespace ZARNITH
