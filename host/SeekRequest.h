// The value of a "Seek" line: "Front", "Quit", a relative count with a
// leading "+" or "-", or an absolute count; the move of the read cursor it
// asks for.
#pragma once

#include <cstdint>
#include <string>

class SeekRequest {
public:
    enum class Kind {
        None,      // empty value: no move
        Front,     // back to the start of the track
        End,       // to the end of the track ("Quit")
        Relative,  // `steps` from the current position
        Absolute,  // back to the start, then `steps`
    };

    // The count n (read as a signed decimal, truncated to 32 bits) asks for a
    // seek by n + 1 chunks, computed in 64 bits so that the largest count
    // does not wrap; n = 0 asks for none (nothing beyond a rewind), while
    // n = -1 asks for a seek by 0, which still pauses a playing connection.
    static SeekRequest parse(const std::string& value);

    Kind kind = Kind::None;
    bool seek = false;       // Relative and Absolute: whether to seek by `steps`
    std::int64_t steps = 0;  // n + 1
};
