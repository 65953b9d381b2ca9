// Target endpoint: configuration units, icons, data transfer and reboot, and
// the class's own versions of the transfer and configuration hooks.
#include <algorithm>

#include "foundation/SysLog.h"
#include "target/Target.h"

namespace ZARNITH {

// Numbers the send and receive sites of this file in its log lines.
constexpr int SendSite = 3000;

using ORVEX::SysLog::LEVEL_DEBUG;
using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;
using Unit = TargetSetting::_Config::_Unit;
using Kind = TargetSetting::_Config::UnitKind;

namespace {

unsigned u(std::uint16_t v) { return v; }

const char* switchText(std::uint16_t value) { return value != 0 ? "enable" : "disable"; }

std::string choiceText(const Unit& unit, std::uint16_t index) {
    return index < unit.choices.size() ? unit.choices[index] : std::string("unknown");
}

}  // namespace

// ---- hooks ----

void Target::SetTrancefer(ORVEX::BufferCS_const data, int slot, std::uint16_t index, std::uint16_t block) {
    if (index == 0 && block == 0) {
        transferBuffer.clear();
        crc.clear();
        transferOverflow = false;
    }
    // Never hold more than the slot can carry (and a fixed bound besides).
    std::uint64_t capacity = MaxTransferBytes;
    if (slot >= 0 && static_cast<std::size_t>(slot) < setting.transferSlotInfo.size()) {
        const auto& g = setting.transferSlotInfo[static_cast<std::size_t>(slot)];
        const std::uint64_t geometry =
            (std::uint64_t{g[0]} + 1) * (std::uint64_t{g[1]} + 1) * (std::uint64_t{g[2]} + 1);
        capacity = std::min(capacity, geometry);
    }
    if (transferOverflow || transferBuffer.size() + data.size > capacity) {
        if (!transferOverflow) LEVEL_ERROR << "TRANSFERDATA overflow " << static_cast<unsigned long>(capacity);
        transferOverflow = true;
        return;
    }
    crc.update(data);
    transferBuffer.insert(transferBuffer.end(), data.data, data.data + data.size);
}

bool Target::FinishTrancefer(int /*slot*/, std::uint16_t& check, std::uint16_t& mode) {
    if (mode != 0xFFFF) return false;
    if (transferOverflow) return false;
    if (check == crc.get()) return true;
    check = crc.get();
    return false;
}

bool Target::ConfigGet(std::uint16_t, std::string&, std::uint16_t&) { return false; }

bool Target::ConfigSet(std::uint16_t, const std::string&, const std::uint16_t&, bool) { return false; }

bool Target::ConfigFinale(bool) { return false; }

// ---- handlers ----

void Target::onTargetUnit(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t o0 = m.getOption0(), o1 = m.getOption1();
    const std::size_t n = setting.units.size();
    SendBuffer a;
    if (o0 == 0) {
        a.set(TARGETUNIT_ANS, STATUS_ACCEPT, static_cast<std::uint16_t>(n), o1, 0, 0);
    } else if (o0 > n) {
        a.set(TARGETUNIT_ANS, STATUS_NONE, o0, o1, 0, 0);
    } else {
        const Unit& unit = setting.units[o0 - 1u];
        std::uint16_t lo = unit.min, hi = unit.max;
        if (!unit.choices.empty()) {
            lo = 0;
            hi = static_cast<std::uint16_t>(unit.choices.size() - 1);
        } else if (unit.kind == Kind::UNIT_SWITCH) {
            lo = 0;
            hi = 1;
        }
        a.set(TARGETUNIT_ANS, STATUS_ACCEPT, o0, unit.kind, lo, hi);
        a.set_str(unit.name);
    }
    a.update();
    (void)answer(a, from, SendSite + __LINE__);
}

std::uint32_t Target::onTargetValue(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t o0 = m.getOption0(), op = m.getOption1(), o2 = m.getOption2();
    const std::size_t n = setting.units.size();
    SendBuffer a;

    if (o0 == 0) {
        bool result = false;
        if (op == 1) result = ConfigFinale(true);
        else if (op == 2) result = ConfigFinale(false);
        a.set(TARGETVALUE_ANS, result ? STATUS_ACCEPT : STATUS_NONE, 0, 0, 0, 0);
        a.update();
        (void)answer(a, from, SendSite + __LINE__);
        if (!result) return PASS_ON;
        rebootCode = 1;
        return END_REBOOT;
    }
    if (o0 > n) {
        // Also the choice text of a unit that does not exist.
        a.set(TARGETVALUE_ANS, STATUS_NONE, o0, 0, 0, 0);
        a.update();
        (void)answer(a, from, SendSite + __LINE__);
        return PASS_ON;
    }
    const Unit& unit = setting.units[o0 - 1u];
    const auto index = static_cast<std::uint16_t>(o0 - 1u);

    if (op == 3) {
        std::string text;
        if (!unit.choices.empty()) text = choiceText(unit, o2);
        else if (unit.kind == Kind::UNIT_SWITCH) text = switchText(o2);
        a.set(TARGETVALUE_ANS, STATUS_ACCEPT, o0, 0, 0, 0);
        a.set_str(text);
        a.update();
        (void)answer(a, from, SendSite + __LINE__);
        return PASS_ON;
    }

    std::string text = unit.defaultText;
    if (text.empty()) {
        if (unit.kind == Kind::UNIT_SWITCH) text = switchText(unit.defaultValue);
        else if (unit.kind == Kind::UNIT_CHOICE || unit.kind == Kind::UNIT_CHOICE_FIXED)
            text = choiceText(unit, unit.defaultValue);
    }
    std::uint16_t value = unit.defaultValue;
    bool ok = true;

    if (op == 1) {
        switch (unit.kind) {
            case Kind::UNIT_NUMBER:
            case Kind::UNIT_SIGNED:
            case Kind::UNIT_VALUE: ok = ConfigSet(index, std::string(), o2, false); break;
            case Kind::UNIT_SWITCH: ok = ConfigSet(index, switchText(o2), o2, false); break;
            case Kind::UNIT_TEXT: {
                std::string wanted;
                m.get_str(wanted);
                ok = ConfigSet(index, wanted, 0, false);
                text = wanted;
                break;
            }
            case Kind::UNIT_CHOICE: ok = ConfigSet(index, choiceText(unit, o2), o2, false); break;
            default: ok = false; break;
        }
    } else if (op == 2) {
        switch (unit.kind) {
            case Kind::UNIT_TEXT: ok = ConfigSet(index, unit.defaultText, 0, true); break;
            case Kind::UNIT_NUMBER:
            case Kind::UNIT_SIGNED:
            case Kind::UNIT_SWITCH:
            case Kind::UNIT_CHOICE:
            case Kind::UNIT_VALUE: ok = ConfigSet(index, std::string(), unit.defaultValue, true); break;
            default: ok = false; break;
        }
    }

    std::string readText;
    std::uint16_t readValue = 0;
    if (ConfigGet(index, readText, readValue)) {
        switch (unit.kind) {
            case Kind::UNIT_TEXT: text = readText; break;
            case Kind::UNIT_NUMBER:
            case Kind::UNIT_SIGNED:
            case Kind::UNIT_SWITCH:
            case Kind::UNIT_VALUE:
                value = readValue;
                if (unit.kind == Kind::UNIT_SWITCH) {
                    if (readText == "disable") value = 0;
                    else if (readText == "enable") value = 1;
                }
                break;
            case Kind::UNIT_CHOICE:
            case Kind::UNIT_CHOICE_FIXED:
                if (readText.empty()) {
                    value = readValue;
                } else {
                    text = readText;
                    auto c = std::find(unit.choices.begin(), unit.choices.end(), readText);
                    if (c != unit.choices.end()) {
                        value = static_cast<std::uint16_t>(c - unit.choices.begin());
                        if (unit.kind == Kind::UNIT_CHOICE) text.clear();
                    }
                }
                break;
            default: break;
        }
    }
    a.set(TARGETVALUE_ANS, ok ? STATUS_ACCEPT : STATUS_NONE, o0, value, 0, unit.defaultValue);
    a.set_str(text);
    a.update();
    (void)answer(a, from, SendSite + __LINE__);
    return PASS_ON;
}

void Target::onTargetIcon(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t o0 = m.getOption0(), o1 = m.getOption1(), o2 = m.getOption2(), o3 = m.getOption3();
    SendBuffer a;
    const Icon* icon = (o0 >= 1 && o0 <= setting.icons.size()) ? &setting.icons[o0 - 1u] : nullptr;
    if (icon == nullptr || !icon->isValid()) {
        a.set(TARGETICON_ANS, STATUS_NONE, o0, o1, o2, 0);
    } else if (o1 == 0 || o2 == 0) {
        const auto w = static_cast<std::uint16_t>(o1 == 0 ? icon->width : o1);
        const auto h = static_cast<std::uint16_t>(o2 == 0 ? icon->getHeight() : o2);
        const std::uint16_t f = o3 == 0 ? (icon->kind == 0 ? 1 : 2) : 0;
        a.set(TARGETICON_ANS, STATUS_ACCEPT, o0, w, h, f);
    } else {
        const std::uint64_t r = o2 - 1u, c = o1 - 1u;
        if (r >= icon->getHeight() || c >= icon->width) {
            a.set(TARGETICON_ANS, STATUS_ACCEPT, o0, o1, o2, 0);
        } else {
            const bool wide = icon->kind == 0;
            const std::uint64_t start = r * icon->width + c;
            const std::uint64_t left = icon->pixels.size() - start;
            std::uint64_t count = 0;
            if (o3 <= 1) count = std::min<std::uint64_t>(icon->width - c, wide ? 300 : 1000);
            else count = std::min<std::uint64_t>(o3 - 1u, left);
            // A run must fit one datagram.
            count = std::min<std::uint64_t>(count, wide ? MaxIconRunBytes / 4 : MaxIconRunBytes);
            a.resize(wide ? count * 4 : count);
            std::uint8_t* out = a.get_data();
            for (std::uint64_t i = 0; i < count; ++i) {
                const Icon::Pixel& p = icon->pixels[start + i];
                if (wide) {
                    for (int k = 0; k < 4; ++k) out[4 * i + k] = p.byte[k];
                } else {
                    out[i] = p.byte[3];
                }
            }
            LEVEL_DEBUG << "Icon Load " << u(o0) << " " << static_cast<unsigned long>(c) << " "
                        << static_cast<unsigned long>(r) << " " << static_cast<unsigned long>(count);
            a.set(TARGETICON_ANS, STATUS_ACCEPT, o0, o1, o2, static_cast<std::uint16_t>(count + 1));
        }
    }
    a.update();
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onTransferInfo(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t o0 = m.getOption0();
    Send a;
    if (o0 == 0) {
        a.set(TRANSFERINFO_ANS, STATUS_ACCEPT, setting.transferSlots, setting.transferWindow, 0, 0);
    } else if (o0 <= setting.transferSlots && o0 <= setting.transferSlotInfo.size()) {
        const auto& g = setting.transferSlotInfo[o0 - 1u];
        a.set(TRANSFERINFO_ANS, STATUS_ACCEPT, o0, g[0], g[1], g[2]);
    } else {
        // Beyond the slots, or a slot the setting gives no geometry for.
        a.set(TRANSFERINFO_ANS, STATUS_NONE, 0, 0, 0, 0);
    }
    (void)answer(a, from, SendSite + __LINE__);
}

void Target::onTransferData(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t o0 = m.getOption0(), seq = m.getOption1(), index = m.getOption2(), block = m.getOption3();
    const std::uint16_t slot = o0 & 0x7FFF;
    const bool ack = (o0 & 0x8000) != 0;
    if (slot == 0 || slot > setting.transferSlots) {
        LEVEL_ERROR << "TRANSFERDATA_SET error " << u(o0) << " " << u(setting.transferSlots);
        return;
    }
    if (seq == 0 && index == 0 && block == 0) {
        expectedSlot = slot - 1;
        expectedSeq = 0;
    }
    if (ack) {
        const Send a(TRANSFERDATA_ANS, STATUS_ACCEPT, slot, expectedSeq, 0, 0);
        (void)answer(a, from, SendSite + __LINE__);
    }
    if (seq == expectedSeq && slot - 1 == expectedSlot) {
        ++expectedSeq;
        SetTrancefer(m.get_data_CS(), slot - 1, index, block);
        return;
    }
    LEVEL_INFO << "TRANSFERDATA miss " << u(expectedSeq) << " " << u(seq) << " " << expectedSlot << " "
               << static_cast<int>(slot - 1) << " " << (ack ? 1 : 0);
}

void Target::onTransferFinish(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t slot = m.getOption0();
    std::uint16_t check = m.getOption1(), mode = m.getOption2();
    Send a;
    if (slot == 0 || slot > setting.transferSlots || !FinishTrancefer(slot - 1, check, mode))
        a.set(TRANSFERFINISH_ANS, STATUS_NONE, 0, 0, 0, 0);
    else
        a.set(TRANSFERFINISH_ANS, STATUS_ACCEPT, slot, check, mode, 0);
    (void)answer(a, from, SendSite + __LINE__);
}

std::uint32_t Target::onReboot(const Receive& m, const ORVEX::IPAddress& from) {
    const std::uint16_t code = m.getOption0();
    if (!setting.rebootAllowed) {
        const Send a(REBOOT_ANS, STATUS_NONE, 0, 0, 0, 0);
        (void)answer(a, from, SendSite + __LINE__);
        return PASS_ON;
    }
    const Send a(REBOOT_ANS, STATUS_ACCEPT, code, 0, 0, 0);
    (void)answer(a, from, SendSite + __LINE__);
    if (code == 0) return PASS_ON;
    rebootCode = code;
    LEVEL_WARNING << "Target reboot requested : " << u(code);
    return END_REBOOT;
}

}  // namespace ZARNITH
