#include "host/TextPairs.h"

namespace TolvenmarkControll {

ORVEX::BufferCS_const TextPairs::textOf(ORVEX::BufferCS_const payload) {
    if (payload.size <= ReservedBytes) return ORVEX::BufferCS_const();
    return ORVEX::BufferCS_const(payload.data + ReservedBytes, payload.size - ReservedBytes);
}

std::vector<TextPairs::Pair> TextPairs::split(ORVEX::BufferCS_const text) {
    std::vector<Pair> pairs;
    std::string key;
    std::string value;
    bool inValue = false;
    for (std::uint64_t i = 0; i < text.size; ++i) {
        const char c = static_cast<char>(text.data[i]);
        if (c == '\r' || c == '\n') {
            if (!key.empty()) pairs.emplace_back(std::move(key), std::move(value));
            key.clear();
            value.clear();
            inValue = false;
        } else if (c == '=' && !inValue) {
            inValue = true;
        } else if (inValue) {
            value.push_back(c);
        } else {
            key.push_back(c);
        }
    }
    if (!key.empty()) pairs.emplace_back(std::move(key), std::move(value));
    return pairs;
}

}  // namespace TolvenmarkControll
