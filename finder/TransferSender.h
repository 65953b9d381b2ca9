// The data phase of one transfer into a target's slot, on the finder's
// socket: the data goes out in blocks of at most G packets and, inside a
// block, in bursts of at most the window's bytes. The last packet of a burst
// asks for an acknowledgement; a burst that is not acknowledged is resent
// from the acknowledged sequence on, with a smaller window for the rest of
// the transfer, at most MaxRetries times.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "finder/FindLimit.h"
#include "foundation/Buffer.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"

namespace ZARNITH {

class TransferSender {
public:
    // The slot's geometry as the target gave it.
    struct Geometry {
        std::uint16_t slotNumber = 0;    // slot + 1, as it travels
        std::uint64_t packetBytes = 0;   // P: payload bytes per packet
        std::uint64_t blockPackets = 0;  // G: packets per block
        std::uint64_t blocks = 0;        // B: blocks
    };
    using Progress = std::function<void(std::uint16_t, std::uint16_t)>;

    static constexpr int MaxRetries = 10;
    static constexpr std::uint16_t AckFlag = 0x8000;

    // `window`: most payload bytes of one burst (shrinks on recoveries).
    TransferSender(ORVEX::Socket& socket, const FindLimit& limit, const ORVEX::IPAddress& to,
                   const Geometry& geometry, std::uint64_t window, ORVEX::BufferCS_const data);

    // Every block in order, each announced to `progress` first; false (with
    // its log line) at the first failure.
    [[nodiscard]] bool sendAll(const Progress& progress);

private:
    // One packet of a burst, rebuilt from the data when it is (re)sent.
    struct Packet {
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
        std::uint16_t sequence = 0;
        std::uint16_t index = 0;  // in its block
    };
    enum class Ack { DONE, RECOVER, FAILED };

    [[nodiscard]] bool sendBlock(std::uint16_t block);
    // The next packets of the block up to the window, the data's end or the
    // block's end; `index` counts the block's packets.
    std::vector<Packet> nextBurst(std::uint64_t& index, std::uint64_t packetsInBlock);
    [[nodiscard]] bool sendBurst(const std::vector<Packet>& burst, std::uint16_t block);
    // Sends the burst and waits until it is acknowledged, recovering and
    // resending as needed.
    [[nodiscard]] bool deliverBurst(const std::vector<Packet>& burst, std::uint16_t block);
    // One acknowledgement window for the burst whose flagged packet is `last`.
    Ack awaitAcknowledgement(std::uint16_t last);
    // Drains the socket, shrinks the window and counts the retry.
    [[nodiscard]] bool recover(std::size_t burstSize, int& retries);
    [[nodiscard]] bool drain();
    // The burst's packets from the acknowledged sequence on (always the
    // flagged last one), each padded by a few random bytes.
    [[nodiscard]] bool resend(const std::vector<Packet>& burst, std::uint16_t block);
    void build(const Packet& packet, std::uint16_t block, bool flagged);

    ORVEX::Socket& socket;
    const FindLimit& limit;
    const ORVEX::IPAddress to;
    const Geometry geometry;
    const ORVEX::BufferCS_const data;
    std::uint64_t window;
    std::uint64_t offset = 0;        // data bytes put into packets so far
    std::uint16_t sequence = 0;      // of the next new packet, in the whole transfer
    std::uint16_t acknowledged = 0;  // last acknowledged sequence of the transfer
    SendBuffer message;
    Receive received;
    ORVEX::IPAddress from;
};

}  // namespace ZARNITH
