// What one read may keep of the texts a peer sends: the peer decides how many
// answers come, so a read counts the texts it keeps, in bytes and in number
// (an empty text costs no bytes but is still one more entry in memory), and
// stops at either bound with one log line.
#pragma once

#include <cstdint>
#include <string>

namespace ZARNITH {

class TextBudget {
public:
    static constexpr std::uint64_t MaxTextBytes = std::uint64_t{16} << 20;
    static constexpr std::uint64_t MaxTexts = std::uint64_t{1} << 16;

    // One more text of `bytes` bytes; false (logged) once a bound is passed.
    [[nodiscard]] bool take(std::uint64_t bytes);
    [[nodiscard]] bool take(const std::string& text) { return take(text.size()); }

private:
    std::uint64_t used = 0;
    std::uint64_t texts = 0;
};

}  // namespace ZARNITH
