// The sender's feedback control: turns the sink's rate reports into samples,
// averages them and runs the control law that steers the pacing. Fixed-point
// values: 16384 = 1.0. Used by the worker thread only.
#pragma once

#include <cstdint>
#include <string>

namespace ZARNITH {

class SyncFeedback {
public:
    static constexpr int History = 8;
    static constexpr std::int64_t ControlMin = -1638;  // -10 %
    static constexpr std::int64_t ControlMax = 491;    // about +3 %

    // Averages the newest `averaged` samples (1 to 8; other values are
    // brought into that range).
    explicit SyncFeedback(int averaged = 1);

    // Sample (16384 = 1.0) and its kind from a rate report's options 0-2:
    // kind 1 a fill code, 2 a signed 15-bit deviation, 3 a level pair, 0 none.
    // Values beyond the 16-bit range saturate instead of wrapping.
    static std::int16_t sample(std::uint16_t option0, std::uint16_t option1, std::uint16_t option2, int& kind);

    // Enters a sample at the front of the history and returns the new
    // control value c = c' - a*655/2^14 - (a - a')*1638/2^14, computed in 64
    // bits and clamped to ControlMin .. ControlMax.
    std::int16_t update(std::int16_t sample);

    std::int16_t average() const { return averagePrev; }
    std::int16_t control() const { return controlPrev; }
    int averaged() const { return count; }

    // " " then a sign (" " or "-") and |value| / 16384 with four decimals.
    static std::string formatQ14(std::int64_t value);

private:
    std::int16_t history[History] = {};
    int count = 1;
    std::int16_t averagePrev = 0;
    std::int16_t controlPrev = 0;
};

}  // namespace ZARNITH
