#include "sink/SinkValueAnswer.h"

#include <algorithm>

#include "foundation/SysLog.h"
#include "sink/AnswerPayload.h"
#include "sink/Sink.h"

namespace ZARNITH {

using ORVEX::SysLog::LEVEL_INFO;
using Config = SinkSetting::_Config;

namespace {

const char* switchText(std::uint16_t value) { return value != 0 ? "enable" : "disable"; }

std::string textOfChoice(const SinkValueAnswer::Unit& unit, std::uint16_t index) {
    return index < unit.choices.size() ? unit.choices[index] : std::string("unknown");
}

}  // namespace

bool SinkValueAnswer::build(const Receive& request, SendBuffer& answer) {
    const std::uint16_t u = request.getOption0();
    const std::uint16_t op = request.getOption1();
    const std::uint16_t v = request.getOption2();
    if (u == 0) return finale(op, answer);

    const auto& units = sink_.getSetting().configUnits;
    if (u > units.size()) {
        // Never handed to the unit access: past the list it would reach the
        // synchro values or the application with an index it does not have.
        LEVEL_INFO << "SINKVALUE no unit " << static_cast<unsigned>(u);
        answer.set(SINKVALUE_ANS, STATUS_NONE, u, 0, 0, 0);
        return false;
    }
    const Unit& unit = units[u - 1u];
    const auto index = static_cast<std::uint16_t>(u - 1u);
    if (op == CHOICE_TEXT) {
        choiceText(unit, u, v, answer);
        return false;
    }
    if (op > SET_DEFAULT) {
        LEVEL_INFO << "SINKVALUE unknown operation " << static_cast<unsigned>(op) << " unit "
                   << static_cast<unsigned>(u);
        answer.set(SINKVALUE_ANS, STATUS_NONE, u, 0, 0, 0);
        return false;
    }

    // Start values: the unit's default.
    std::string text = unit.defaultText;
    if (text.empty()) {
        if (unit.kind == Config::UNIT_SWITCH)
            text = switchText(unit.defaultValue);
        else if (unit.kind == Config::UNIT_CHOICE || unit.kind == Config::UNIT_CHOICE_FIXED)
            text = textOfChoice(unit, unit.defaultValue);
    }
    std::uint16_t value = unit.defaultValue;
    bool accepted = true;
    if (op != READ) accepted = write(unit, index, op, request, text);
    readBack(unit, index, text, value);

    answer.set(SINKVALUE_ANS, accepted ? STATUS_ACCEPT : STATUS_NONE, u, value, 0, unit.defaultValue);
    AnswerPayload::setText(answer, text);
    return false;
}

bool SinkValueAnswer::finale(std::uint16_t op, SendBuffer& answer) {
    bool changed = false;
    bool result = false;
    if (op == COMMIT || op == DISCARD)
        result = sink_._ConfigFinale(op == COMMIT, changed);
    else
        LEVEL_INFO << "SINKVALUE unknown finale " << static_cast<unsigned>(op);
    answer.set(SINKVALUE_ANS, result ? STATUS_ACCEPT : STATUS_NONE, 0, 0, 0, 0);
    return changed;
}

void SinkValueAnswer::choiceText(const Unit& unit, std::uint16_t u, std::uint16_t v, SendBuffer& answer) {
    std::string text;
    if (!unit.choices.empty())
        text = textOfChoice(unit, v);
    else if (unit.kind == Config::UNIT_SWITCH)
        text = switchText(v);
    answer.set(SINKVALUE_ANS, STATUS_ACCEPT, u, 0, 0, 0);
    AnswerPayload::setText(answer, text);
}

bool SinkValueAnswer::write(const Unit& unit, std::uint16_t index, std::uint16_t op, const Receive& request,
                            std::string& text) {
    if (op == SET_DEFAULT) {
        switch (unit.kind) {
            case Config::UNIT_TEXT: return sink_._ConfigSet(index, unit.defaultText, 0, true);
            case Config::UNIT_NUMBER:
            case Config::UNIT_SIGNED:
            case Config::UNIT_SWITCH:
            case Config::UNIT_CHOICE:
            case Config::UNIT_VALUE: return sink_._ConfigSet(index, std::string(), unit.defaultValue, true);
            case Config::UNIT_CHOICE_FIXED: return true;  // read-only: nothing to restore
            default:
                LEVEL_INFO << "SINKVALUE default of unit kind " << static_cast<unsigned>(unit.kind);
                return false;
        }
    }
    const std::uint16_t v = request.getOption2();
    switch (unit.kind) {
        case Config::UNIT_NUMBER:
        case Config::UNIT_SIGNED:
        case Config::UNIT_VALUE: return sink_._ConfigSet(index, std::string(), v, false);
        case Config::UNIT_SWITCH: return sink_._ConfigSet(index, switchText(v), v, false);
        case Config::UNIT_TEXT: {
            std::string wanted;
            request.get_str(wanted);
            const bool ok = sink_._ConfigSet(index, wanted, 0, false);
            text = wanted;
            return ok;
        }
        case Config::UNIT_CHOICE: return sink_._ConfigSet(index, textOfChoice(unit, v), v, false);
        default:
            LEVEL_INFO << "SINKVALUE unit " << static_cast<unsigned>(index + 1u) << " cannot be set";
            return false;
    }
}

void SinkValueAnswer::readBack(const Unit& unit, std::uint16_t index, std::string& text, std::uint16_t& value) {
    std::string read;
    std::uint16_t readValue = value;  // a unit access that gives no value leaves the current one
    switch (unit.kind) {
        case Config::UNIT_TEXT:
            if (sink_._ConfigGet(index, read, readValue)) text = read;
            break;
        case Config::UNIT_NUMBER:
        case Config::UNIT_SIGNED:
        case Config::UNIT_SWITCH:
        case Config::UNIT_VALUE:
            if (!sink_._ConfigGet(index, read, readValue)) break;
            value = readValue;
            if (unit.kind == Config::UNIT_SWITCH) {
                if (read == "disable")
                    value = 0;
                else if (read == "enable")
                    value = 1;
            }
            break;
        case Config::UNIT_CHOICE:
        case Config::UNIT_CHOICE_FIXED: {
            if (!sink_._ConfigGet(index, read, readValue)) break;
            if (read.empty()) {
                value = readValue;
                break;
            }
            text = read;
            const auto found = std::find(unit.choices.begin(), unit.choices.end(), read);
            if (found != unit.choices.end()) {
                value = static_cast<std::uint16_t>(found - unit.choices.begin());
                if (unit.kind == Config::UNIT_CHOICE) text.clear();
            }
            break;
        }
        default: break;
    }
}

}  // namespace ZARNITH
