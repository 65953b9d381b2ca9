// SINKVALUE_ANS: reads, sets or restores one configuration unit of a sink, or
// gives the text of one of its choices; unit 0 commits or discards the pending
// changes. Every access goes through the sink's unit access (_ConfigGet,
// _ConfigSet, _ConfigFinale), which serves the synchro units itself and
// passes the application's units on to the application.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/Receive.h"
#include "protocol/Send.h"
#include "sink/SinkSetting.h"

namespace ZARNITH {

class Sink;

class SinkValueAnswer {
public:
    using Unit = SinkSetting::_Config::_Unit;

    // Operations (option1 of the request).
    enum Operation : std::uint16_t { READ = 0, SET = 1, SET_DEFAULT = 2, CHOICE_TEXT = 3 };
    // With unit 0.
    enum Finale : std::uint16_t { COMMIT = 1, DISCARD = 2 };

    explicit SinkValueAnswer(Sink& sink) : sink_(sink) {}

    // Performs `request` and fills `answer` (header and payload, without
    // update()). True when a commit or discard reported changed units.
    bool build(const Receive& request, SendBuffer& answer);

private:
    bool finale(std::uint16_t op, SendBuffer& answer);
    static void choiceText(const Unit& unit, std::uint16_t u, std::uint16_t v, SendBuffer& answer);
    // The outcome of a set (op 1) or set-default (op 2); `text` becomes the
    // answer's payload for a text unit that was set.
    bool write(const Unit& unit, std::uint16_t index, std::uint16_t op, const Receive& request, std::string& text);
    // The read-back into the answer's text and current value.
    void readBack(const Unit& unit, std::uint16_t index, std::string& text, std::uint16_t& value);

    Sink& sink_;  // the application thread's sink; only its unit access is used
};

}  // namespace ZARNITH
