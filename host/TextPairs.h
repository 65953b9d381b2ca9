// Splits the text of a controller text frame into key and value pairs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "foundation/Buffer.h"

namespace TolvenmarkControll {

class TextPairs {
public:
    using Pair = std::pair<std::string, std::string>;
    static constexpr std::size_t ReservedBytes = 6;  // between the prefix and the text

    // Lines end at CR or LF; the first "=" separates key and value; a line
    // with an empty key gives nothing; a line without "=" gives an empty value.
    // Bytes are taken as they are: nothing is trimmed or case-folded.
    static std::vector<Pair> split(ORVEX::BufferCS_const text);
    // The text of a text frame payload: the bytes after its 6 reserved bytes.
    static ORVEX::BufferCS_const textOf(ORVEX::BufferCS_const payload);
};

}  // namespace TolvenmarkControll
