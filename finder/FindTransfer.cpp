// Data transfer into a target's slot: packets grouped into blocks and, inside
// a block, into bursts of at most the window's bytes; each burst ends with a
// packet that asks for an acknowledgement and is resent from the
// acknowledged sequence on until it is acknowledged (at most 10 times).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "finder/AnswerWindow.h"
#include "finder/Find.h"
#include "finder/PeerMatch.h"
#include "foundation/CRC16.h"
#include "foundation/SysLog.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

namespace {

constexpr std::uint16_t AckFlag = 0x8000;
constexpr std::uint16_t FinishMode = 0xFFFF;
constexpr int MaxRetries = 10;
constexpr ORVEX::Clock DrainQuiet = ORVEX::Clock::fromMilliseconds(10);
// A drain ends after this long even while datagrams keep coming.
constexpr ORVEX::Clock DrainLimit = ORVEX::Clock::fromMilliseconds(200);

// One packet of a burst, rebuilt from the data when it is (re)sent.
struct Packet {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint16_t sequence = 0;
    std::uint16_t index = 0;
};

enum class AckOutcome { Done, Recover, Fail };

}  // namespace

bool Find::TransferFinish(ORVEX::IPAddress to, int slot, std::uint16_t crc, std::uint16_t& mode) {
    if (slot < 0 || slot >= 0x7FFF) {
        LEVEL_ERROR << "TransferFinish slot refused : " << slot;
        return false;
    }
    const auto slotNumber = static_cast<std::uint16_t>(slot + 1);
    Receive answer;
    if (sendAck(to, Send(TRANSFERFINISH_REQ, STATUS_NONE, slotNumber, crc, mode, 0), TRANSFERFINISH_ANS, answer,
                true) != ACK_ANSWER) {
        return false;
    }
    if (answer.getOption0() != slotNumber || answer.getOption1() != crc) return false;
    mode = answer.getOption2();
    return true;
}

bool Find::Transfer(ORVEX::IPAddress to, int slot, ORVEX::BufferCS_const data, std::uint64_t window) {
    return Transfer(to, slot, data, window, [](std::uint16_t block, std::uint16_t blocks) {
        LEVEL_DEBUG << "Transfer " << static_cast<unsigned>(block) << "/" << static_cast<unsigned>(blocks);
    });
}

bool Find::drainSocket() {
    const ORVEX::Clock start = ORVEX::Clock::now();
    Receive discarded;
    ORVEX::IPAddress from;
    for (;;) {
        const int ready = socket.wait(DrainQuiet);
        if (ready == 0) {
            LEVEL_INFO << "Retry Clear Error ";
            return false;
        }
        if (ready == 1) return true;
        if (!socket.receiveFromV6(discarded, from)) {
            LEVEL_ERROR << "UDP stream send error " << 893 << ":" << errno;
            return false;
        }
        if ((ORVEX::Clock::now() - start).Comp(DrainLimit) >= 0) return true;
    }
}

bool Find::Transfer(ORVEX::IPAddress to, int slot, ORVEX::BufferCS_const data, std::uint64_t window,
                    const Progress& progress) {
    if (!progress) {
        LEVEL_ERROR << "Transfer without progress callback";
        return false;
    }
    // The slot travels as slot + 1 beside the acknowledgement flag 0x8000.
    if (slot < 0 || slot >= 0x7FFF) {
        LEVEL_ERROR << "Transfer slot refused : " << slot;
        return false;
    }
    const auto slotNumber = static_cast<std::uint16_t>(slot + 1);

    Receive answer;
    if (sendAck(to, Send(TRANSFERINFO_REQ, STATUS_NONE, 0, 0, 0, 0), TRANSFERINFO_ANS, answer, true) != ACK_ANSWER) {
        LEVEL_ERROR << "Transfer slot table not read";
        return false;
    }
    const unsigned slots = answer.getOption0();
    if (slots == 0 || slots <= static_cast<unsigned>(slot)) {
        LEVEL_ERROR << "Transfer no such slot : " << slot << " " << slots;
        return false;
    }
    const std::uint64_t targetWindow = answer.getOption1() == 0xFFFF ? ~std::uint64_t{0} : answer.getOption1();
    std::uint64_t burstWindow = (window != 0 && window < targetWindow) ? window : targetWindow;

    if (sendAck(to, Send(TRANSFERINFO_REQ, STATUS_NONE, slotNumber, 0, 0, 0), TRANSFERINFO_ANS, answer, true,
                [slotNumber](const Receive& a) { return a.getOption0() == slotNumber; }) != ACK_ANSWER ||
        answer.getOption0() != slotNumber) {
        LEVEL_ERROR << "Transfer slot geometry not read : " << slot;
        return false;
    }
    const std::uint64_t packetBytes = std::uint64_t{answer.getOption1()} + 1;
    const std::uint64_t blockPackets = std::uint64_t{answer.getOption2()} + 1;
    const std::uint64_t blocks = std::uint64_t{answer.getOption3()} + 1;
    if (packetBytes * blockPackets * blocks < data.size) {
        LEVEL_ERROR << "Transfer data too large : " << static_cast<unsigned long long>(data.size);
        return false;
    }
    if (packetBytes > Send::MAX_PAYLOAD) {
        LEVEL_ERROR << "Transfer packet size too large : " << static_cast<unsigned long long>(packetBytes);
        return false;
    }
    LEVEL_INFO << "start Transfer " << static_cast<unsigned long long>(data.size) << " "
               << static_cast<unsigned long long>(burstWindow);

    const auto buildPacket = [&](const Packet& packet, std::uint16_t block, bool flagged, SendBuffer& message) {
        message.set(TRANSFERDATA_SET, STATUS_NONE, static_cast<std::uint16_t>(slotNumber | (flagged ? AckFlag : 0)),
                    packet.sequence, packet.index, block);
        message.resize(packet.size);
        std::copy(data.data + packet.offset, data.data + packet.offset + packet.size, message.get_data());
        message.update();
    };

    std::uint16_t sequence = 0;
    std::uint16_t acknowledged = 0;  // last acknowledged sequence of the transfer
    std::uint64_t offset = 0;
    SendBuffer message;
    Receive received;
    ORVEX::IPAddress from;
    for (std::uint64_t block = 0; offset < data.size; ++block) {
        const auto blockNumber = static_cast<std::uint16_t>(block);
        progress(blockNumber, static_cast<std::uint16_t>(blocks));
        const std::uint64_t left = data.size - offset;
        const std::uint64_t packetsInBlock = std::min(blockPackets, (left + packetBytes - 1) / packetBytes);
        std::uint64_t index = 0;
        while (index < packetsInBlock) {
            std::vector<Packet> burst;
            std::uint64_t burstBytes = 0;
            for (;;) {
                Packet packet;
                packet.offset = offset;
                packet.size = std::min(packetBytes, data.size - offset);
                packet.sequence = sequence;
                packet.index = static_cast<std::uint16_t>(index);
                burst.push_back(packet);
                burstBytes += packet.size;
                offset += packet.size;
                ++sequence;
                ++index;
                if (burstBytes >= burstWindow || offset >= data.size || index >= packetsInBlock) break;
            }
            for (std::size_t k = 0; k < burst.size(); ++k) {
                buildPacket(burst[k], blockNumber, k + 1 == burst.size(), message);
                if (!socket.sendToV6(static_cast<ORVEX::BufferCS_const>(static_cast<const Send&>(message)), to,
                                     false)) {
                    LEVEL_ERROR << "UDP stream send error " << 804 << ":" << socket.lastError;
                    return false;
                }
            }

            const std::uint16_t last = burst.back().sequence;
            const std::uint16_t first = burst.front().sequence;
            int retries = 0;
            for (;;) {
                AckOutcome outcome = AckOutcome::Recover;
                AnswerWindow ackWindow(AckWindow);
                ORVEX::Clock wait;
                while (ackWindow.next(wait)) {
                    const int ready = socket.wait(wait);
                    if (ready == 0) {
                        LEVEL_INFO << "Retry Detect Error ";
                        return false;
                    }
                    if (ready == 1) {
                        if (ackWindow.expired()) break;
                        continue;
                    }
                    if (!socket.receiveFromV6(received, from)) {
                        LEVEL_ERROR << "UDP stream send error " << 851 << ":" << errno;
                        return false;
                    }
                    if (received.empty() || !received || received.getMessage() != TRANSFERDATA_ANS) continue;
                    // Only the target acknowledges its own transfer.
                    if (!PeerMatch::same(from, to)) continue;
                    if ((received.getStatus() & STATUS_ACCEPT) == 0) {
                        LEVEL_ERROR << "Transfer NAK error ";
                        return false;
                    }
                    if (received.getOption0() != slotNumber) {
                        LEVEL_ERROR << "Transfer NO error ";
                        return false;
                    }
                    acknowledged = received.getOption1();
                    if (acknowledged == last) {
                        outcome = AckOutcome::Done;
                    } else if (acknowledged == static_cast<std::uint16_t>(last + 1)) {
                        LEVEL_INFO << "Retry Redy Pass " << static_cast<unsigned>(last) << " "
                                   << static_cast<unsigned>(acknowledged);
                        outcome = AckOutcome::Done;
                    } else {
                        LEVEL_INFO << "Retry Detect err " << static_cast<unsigned>(last) << " "
                                   << static_cast<unsigned>(acknowledged);
                    }
                    break;
                }
                if (outcome == AckOutcome::Done) break;

                if (!drainSocket()) return false;
                if (burstWindow > 1000) {
                    burstWindow -= 1000;
                } else if (burstWindow >= 2) {
                    burstWindow -= 1;
                }
                ++retries;
                LEVEL_INFO << "resend " << static_cast<unsigned long>(burst.size());
                if (retries > MaxRetries) {
                    LEVEL_ERROR << "Transfer error " << retries;
                    return false;
                }
                // Resend from the acknowledged sequence on, in 16-bit serial
                // order: one behind the burst resends all of it.
                std::size_t start = burst.size();
                const auto distance = static_cast<std::uint16_t>(acknowledged - first);
                if (distance < burst.size()) {
                    start = distance;
                } else if (static_cast<std::int16_t>(distance) < 0) {
                    start = 0;
                }
                for (std::size_t k = std::min(start, burst.size() - 1); k < burst.size(); ++k) {
                    const Packet& packet = burst[k];
                    buildPacket(packet, blockNumber, k + 1 == burst.size(), message);
                    const ORVEX::BufferCS_const view = static_cast<const Send&>(message);
                    const std::uint64_t length =
                        (Send::HEADER_SIZE + packet.size + static_cast<unsigned>(std::rand() % 4) + 7) & ~std::uint64_t{7};
                    std::vector<std::uint8_t> datagram(view.data, view.data + view.size);
                    datagram.resize(std::max<std::uint64_t>(length, view.size), 0);
                    LEVEL_INFO << "resend " << static_cast<unsigned>(blockNumber) << " "
                               << static_cast<unsigned>(packet.index) << " " << static_cast<unsigned>(packet.sequence)
                               << " data=" << static_cast<unsigned long long>(packet.size)
                               << " packet=" << static_cast<unsigned long>(datagram.size());
                    if (!socket.sendToV6(ORVEX::BufferCS_const(datagram.data(), datagram.size()), to, false)) {
                        LEVEL_ERROR << "UDP stream send error " << 824 << ":" << socket.lastError;
                        return false;
                    }
                }
            }
        }
    }

    ORVEX::CRC16 crc;
    crc.update(data);
    std::uint16_t mode = FinishMode;
    if (!TransferFinish(to, slot, crc.get(), mode)) {
        LEVEL_ERROR << "TransferFinish error ";
        return false;
    }
    if (mode != FinishMode) {
        LEVEL_ERROR << "TransferStrp error ";
        return false;
    }
    LEVEL_INFO << "compleat Transfer ";
    return true;
}

}  // namespace ZARNITH
