// Data transfer into a target's slot: the slot's geometry is read first, the
// data phase is the transfer sender's, and a finish with the CRC-16 of all
// data closes the transfer.
#include "finder/Find.h"
#include "finder/TransferSender.h"
#include "foundation/CRC16.h"
#include "foundation/SysLog.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

namespace {

constexpr std::uint16_t FinishMode = 0xFFFF;

// The slot travels as slot + 1 beside the acknowledgement flag 0x8000.
bool slotFits(int slot) { return slot >= 0 && slot < 0x7FFF; }

}  // namespace

bool Find::TransferFinish(ORVEX::IPAddress to, int slot, std::uint16_t crc, std::uint16_t& mode) {
    if (!slotFits(slot)) {
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

bool Find::Transfer(ORVEX::IPAddress to, int slot, ORVEX::BufferCS_const data, std::uint64_t window,
                    const Progress& progress) {
    if (!progress) {
        LEVEL_ERROR << "Transfer without progress callback";
        return false;
    }
    if (!slotFits(slot)) {
        LEVEL_ERROR << "Transfer slot refused : " << slot;
        return false;
    }
    TransferSender::Geometry geometry;
    std::uint64_t burstWindow = 0;
    if (!transferGeometry(to, slot, data, window, geometry, burstWindow)) return false;
    LEVEL_INFO << "start Transfer " << static_cast<unsigned long long>(data.size) << " "
               << static_cast<unsigned long long>(burstWindow);
    TransferSender sender(socket, limit, to, geometry, burstWindow, data);
    if (!sender.sendAll(progress)) return false;
    return finishTransfer(to, slot, data);
}

bool Find::transferGeometry(const ORVEX::IPAddress& to, int slot, ORVEX::BufferCS_const data, std::uint64_t window,
                            TransferSender::Geometry& geometry, std::uint64_t& burstWindow) {
    // The slot table: how many slots, and the most bytes the target takes
    // before an acknowledgement (0xFFFF: no limit).
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
    burstWindow = (window != 0 && window < targetWindow) ? window : targetWindow;

    // The slot's own geometry.
    geometry.slotNumber = static_cast<std::uint16_t>(slot + 1);
    const std::uint16_t slotNumber = geometry.slotNumber;
    if (sendAck(to, Send(TRANSFERINFO_REQ, STATUS_NONE, slotNumber, 0, 0, 0), TRANSFERINFO_ANS, answer, true,
                [slotNumber](const Receive& a) { return a.getOption0() == slotNumber; }) != ACK_ANSWER ||
        answer.getOption0() != slotNumber) {
        LEVEL_ERROR << "Transfer slot geometry not read : " << slot;
        return false;
    }
    geometry.packetBytes = std::uint64_t{answer.getOption1()} + 1;
    geometry.blockPackets = std::uint64_t{answer.getOption2()} + 1;
    geometry.blocks = std::uint64_t{answer.getOption3()} + 1;
    if (geometry.packetBytes * geometry.blockPackets * geometry.blocks < data.size) {
        LEVEL_ERROR << "Transfer data too large : " << static_cast<unsigned long long>(data.size);
        return false;
    }
    if (geometry.packetBytes > Send::MAX_PAYLOAD) {
        LEVEL_ERROR << "Transfer packet size too large : " << static_cast<unsigned long long>(geometry.packetBytes);
        return false;
    }
    return true;
}

bool Find::finishTransfer(const ORVEX::IPAddress& to, int slot, ORVEX::BufferCS_const data) {
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
