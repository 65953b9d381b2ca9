#include "foundation/Buffer.h"

#include <algorithm>
#include <cstring>

namespace ORVEX {

std::string BufferCS_const::get_string(const std::uint8_t* first, const std::uint8_t* last) {
    if (first == nullptr || last == nullptr || last <= first) return std::string();
    if (*(last - 1) == 0) {
        const std::uint8_t* end = std::find(first, last, std::uint8_t{0});
        return std::string(reinterpret_cast<const char*>(first), static_cast<std::size_t>(end - first));
    }
    return std::string(reinterpret_cast<const char*>(first), static_cast<std::size_t>(last - first));
}

std::string BufferCS_const::dump() const {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    if (size == 0 || data == nullptr) return out;
    out.reserve(static_cast<std::size_t>(size) * 3);
    for (std::uint64_t i = 0; i < size; ++i) {
        if (i != 0) out.push_back(' ');
        out.push_back(hex[data[i] >> 4]);
        out.push_back(hex[data[i] & 0x0F]);
    }
    return out;
}

Buffer& Buffer::operator=(BufferCS_const view) {
    if (view.size == 0 || view.data == nullptr) {
        clear();
        return *this;
    }
    resize(static_cast<std::size_t>(view.size));
    std::memmove(data(), view.data, static_cast<std::size_t>(view.size));
    return *this;
}

void Buffer::fill(std::uint8_t value) {
    std::fill(begin(), end(), value);
}

bool Buffer::get_string_list(std::list<std::string>& lines, bool keepTab) const {
    lines.clear();
    bool ok = true;
    std::size_t i = 0;
    if (size() >= 3 && (*this)[0] == 0xEF && (*this)[1] == 0xBB && (*this)[2] == 0xBF) i = 3;
    std::string line;
    for (; i < size(); ++i) {
        const std::uint8_t b = (*this)[i];
        if (b == 0x0D || b == 0x0A) {
            if (!line.empty()) {
                lines.push_back(line);
                line.clear();
            }
        } else if (b < 0x20) {
            if (keepTab && b == 0x09)
                line.push_back(static_cast<char>(b));
            else
                ok = false;
        } else {
            line.push_back(static_cast<char>(b));
        }
    }
    if (!line.empty()) lines.push_back(line);
    return ok;
}

}  // namespace ORVEX
