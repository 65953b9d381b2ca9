#include "finder/TransferSender.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "finder/AnswerReader.h"
#include "finder/AnswerWindow.h"
#include "finder/PeerMatch.h"
#include "foundation/SysLog.h"
#include "protocol/MessageID.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

namespace {

constexpr ORVEX::Clock AckWindow = ORVEX::Clock::fromMilliseconds(100);
constexpr ORVEX::Clock DrainQuiet = ORVEX::Clock::fromMilliseconds(10);
// A drain ends after this long even while datagrams keep coming.
constexpr ORVEX::Clock DrainLimit = ORVEX::Clock::fromMilliseconds(200);

}  // namespace

TransferSender::TransferSender(ORVEX::Socket& finderSocket, const FindLimit& finderLimit,
                               const ORVEX::IPAddress& target, const Geometry& slotGeometry,
                               std::uint64_t burstWindow, ORVEX::BufferCS_const bytes)
    : socket(finderSocket),
      limit(finderLimit),
      to(target),
      geometry(slotGeometry),
      data(bytes),
      window(burstWindow) {}

bool TransferSender::sendAll(const Progress& progress) {
    for (std::uint64_t block = 0; offset < data.size; ++block) {
        const auto blockNumber = static_cast<std::uint16_t>(block);
        progress(blockNumber, static_cast<std::uint16_t>(geometry.blocks));
        if (!sendBlock(blockNumber)) return false;
    }
    return true;
}

bool TransferSender::sendBlock(std::uint16_t block) {
    const std::uint64_t left = data.size - offset;
    const std::uint64_t packetsInBlock =
        std::min(geometry.blockPackets, (left + geometry.packetBytes - 1) / geometry.packetBytes);
    std::uint64_t index = 0;
    while (index < packetsInBlock) {
        if (!deliverBurst(nextBurst(index, packetsInBlock), block)) return false;
    }
    return true;
}

std::vector<TransferSender::Packet> TransferSender::nextBurst(std::uint64_t& index, std::uint64_t packetsInBlock) {
    std::vector<Packet> burst;
    std::uint64_t burstBytes = 0;
    for (;;) {
        Packet packet;
        packet.offset = offset;
        packet.size = std::min(geometry.packetBytes, data.size - offset);
        packet.sequence = sequence;
        packet.index = static_cast<std::uint16_t>(index);
        burst.push_back(packet);
        burstBytes += packet.size;
        offset += packet.size;
        ++sequence;
        ++index;
        if (burstBytes >= window || offset >= data.size || index >= packetsInBlock) return burst;
    }
}

void TransferSender::build(const Packet& packet, std::uint16_t block, bool flagged) {
    message.set(TRANSFERDATA_SET, STATUS_NONE,
                static_cast<std::uint16_t>(geometry.slotNumber | (flagged ? AckFlag : 0)), packet.sequence,
                packet.index, block);
    message.resize(packet.size);
    std::copy(data.data + packet.offset, data.data + packet.offset + packet.size, message.get_data());
    message.update();
}

bool TransferSender::sendBurst(const std::vector<Packet>& burst, std::uint16_t block) {
    for (std::size_t k = 0; k < burst.size(); ++k) {
        build(burst[k], block, k + 1 == burst.size());
        if (!socket.sendToV6(static_cast<ORVEX::BufferCS_const>(static_cast<const Send&>(message)), to, false)) {
            LEVEL_ERROR << "UDP stream send error " << 804 << ":" << socket.lastError;
            return false;
        }
    }
    return true;
}

bool TransferSender::deliverBurst(const std::vector<Packet>& burst, std::uint16_t block) {
    if (!sendBurst(burst, block)) return false;
    const std::uint16_t last = burst.back().sequence;
    int retries = 0;
    for (;;) {
        switch (awaitAcknowledgement(last)) {
            case Ack::DONE: return true;
            case Ack::FAILED: return false;
            case Ack::RECOVER: break;
        }
        if (limit.reached()) {
            LEVEL_ERROR << "Transfer stopped by the finder's limit";
            return false;
        }
        if (!recover(burst.size(), retries)) return false;
        if (!resend(burst, block)) return false;
    }
}

TransferSender::Ack TransferSender::awaitAcknowledgement(std::uint16_t last) {
    AnswerWindow ackWindow(AckWindow);
    AnswerReader reader(socket, limit);
    for (;;) {
        switch (reader.next(ackWindow, received, from)) {
            case AnswerReader::DATAGRAM: break;
            case AnswerReader::OVER: return Ack::RECOVER;
            case AnswerReader::WAIT_FAILED:
                LEVEL_INFO << "Retry Detect Error ";
                return Ack::FAILED;
            case AnswerReader::RECEIVE_FAILED: {
                const int cause = errno;
                LEVEL_ERROR << "UDP stream send error " << 851 << ":" << cause;
                return Ack::FAILED;
            }
        }
        if (!received || received.getMessage() != TRANSFERDATA_ANS) continue;
        // Only the target acknowledges its own transfer.
        if (!PeerMatch::same(from, to)) continue;
        if ((received.getStatus() & STATUS_ACCEPT) == 0) {
            LEVEL_ERROR << "Transfer NAK error ";
            return Ack::FAILED;
        }
        if (received.getOption0() != geometry.slotNumber) {
            LEVEL_ERROR << "Transfer NO error ";
            return Ack::FAILED;
        }
        acknowledged = received.getOption1();
        if (acknowledged == last) return Ack::DONE;
        if (acknowledged == static_cast<std::uint16_t>(last + 1)) {
            LEVEL_INFO << "Retry Redy Pass " << static_cast<unsigned>(last) << " "
                       << static_cast<unsigned>(acknowledged);
            return Ack::DONE;
        }
        LEVEL_INFO << "Retry Detect err " << static_cast<unsigned>(last) << " " << static_cast<unsigned>(acknowledged);
        return Ack::RECOVER;
    }
}

bool TransferSender::drain() {
    const AnswerWindow whole(DrainLimit);
    for (;;) {
        AnswerWindow quiet(DrainQuiet);
        AnswerReader reader(socket, limit);
        switch (reader.next(quiet, received, from)) {
            case AnswerReader::DATAGRAM: break;
            case AnswerReader::OVER: return true;
            case AnswerReader::WAIT_FAILED:
                LEVEL_INFO << "Retry Clear Error ";
                return false;
            case AnswerReader::RECEIVE_FAILED: {
                const int cause = errno;
                LEVEL_ERROR << "UDP stream send error " << 893 << ":" << cause;
                return false;
            }
        }
        if (whole.expired()) return true;
    }
}

bool TransferSender::recover(std::size_t burstSize, int& retries) {
    if (!drain()) return false;
    if (window > 1000) {
        window -= 1000;
    } else if (window >= 2) {
        window -= 1;
    }
    ++retries;
    LEVEL_INFO << "resend " << static_cast<unsigned long>(burstSize);
    if (retries > MaxRetries) {
        LEVEL_ERROR << "Transfer error " << retries;
        return false;
    }
    return true;
}

bool TransferSender::resend(const std::vector<Packet>& burst, std::uint16_t block) {
    // From the acknowledged sequence on, in 16-bit serial order: one behind
    // the burst resends all of it.
    std::size_t start = burst.size();
    const auto distance = static_cast<std::uint16_t>(acknowledged - burst.front().sequence);
    if (distance < burst.size()) {
        start = distance;
    } else if (static_cast<std::int16_t>(distance) < 0) {
        start = 0;
    }
    std::vector<std::uint8_t> datagram;
    for (std::size_t k = std::min(start, burst.size() - 1); k < burst.size(); ++k) {
        const Packet& packet = burst[k];
        build(packet, block, k + 1 == burst.size());
        const ORVEX::BufferCS_const view = static_cast<const Send&>(message);
        const std::uint64_t length =
            (Send::HEADER_SIZE + packet.size + static_cast<unsigned>(std::rand() % 4) + 7) & ~std::uint64_t{7};
        datagram.assign(view.data, view.data + view.size);
        datagram.resize(std::max<std::uint64_t>(length, view.size), 0);
        LEVEL_INFO << "resend " << static_cast<unsigned>(block) << " " << static_cast<unsigned>(packet.index) << " "
                   << static_cast<unsigned>(packet.sequence) << " data=" << static_cast<unsigned long long>(packet.size)
                   << " packet=" << static_cast<unsigned long>(datagram.size());
        if (!socket.sendToV6(ORVEX::BufferCS_const(datagram.data(), datagram.size()), to, false)) {
            LEVEL_ERROR << "UDP stream send error " << 824 << ":" << socket.lastError;
            return false;
        }
    }
    return true;
}

}  // namespace ZARNITH
