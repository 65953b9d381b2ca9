// Byte views (non-owning pointer and length) and the owning byte buffer.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace ORVEX {

// Read-only view of bytes owned elsewhere; passed by value.
struct BufferCS_const {
    const std::uint8_t* data = nullptr;
    std::uint64_t size = 0;

    constexpr BufferCS_const() = default;
    constexpr BufferCS_const(const std::uint8_t* bytes, std::uint64_t count) : data(bytes), size(count) {}
    BufferCS_const(const void* bytes, std::uint64_t count)
        : data(static_cast<const std::uint8_t*>(bytes)), size(count) {}
    // View of a string's bytes (no terminator).
    explicit BufferCS_const(const std::string& text)
        : data(reinterpret_cast<const std::uint8_t*>(text.data())), size(text.size()) {}

    // Empty range: "". Last byte 0: text up to the first 0. Else all bytes.
    static std::string get_string(const std::uint8_t* first, const std::uint8_t* last);
    // Bytes as two lowercase hex digits each, separated by single spaces.
    std::string dump() const;
};

// Writable view of a caller-provided area.
struct BufferCS {
    std::uint8_t* data = nullptr;
    std::uint64_t size = 0;

    constexpr BufferCS() = default;
    constexpr BufferCS(std::uint8_t* bytes, std::uint64_t count) : data(bytes), size(count) {}
    BufferCS(void* bytes, std::uint64_t count) : data(static_cast<std::uint8_t*>(bytes)), size(count) {}

    constexpr operator BufferCS_const() const { return BufferCS_const(data, size); }
};

// Owning, growable byte buffer (the standard byte vector). Derived types add
// no fields.
class Buffer : public std::vector<std::uint8_t> {
public:
    using std::vector<std::uint8_t>::vector;
    using std::vector<std::uint8_t>::operator=;
    Buffer() = default;
    Buffer(const Buffer&) = default;
    Buffer(Buffer&&) noexcept = default;
    Buffer& operator=(const Buffer&) = default;
    Buffer& operator=(Buffer&&) noexcept = default;
    ~Buffer() = default;

    // Copies the view's bytes in; the view must not point into this buffer.
    Buffer& operator=(BufferCS_const view);
    // Sets every byte to `value`; the size stays.
    void fill(std::uint8_t value);
    // Splits into text lines: BOM skipped, CR/LF end lines, no empty lines;
    // other control bytes (TAB unless keepTab) are dropped and give false.
    [[nodiscard]] bool get_string_list(std::list<std::string>& lines, bool keepTab) const;

    BufferCS_const view() const { return BufferCS_const(data(), size()); }
    BufferCS area() { return BufferCS(data(), size()); }
    operator BufferCS_const() const { return view(); }
};

}  // namespace ORVEX
