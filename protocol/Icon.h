// An endpoint's icon, carried in target and sink settings: kind 0 travels as
// four bytes per pixel, any other kind as one byte per pixel (the pixel's
// fourth byte). Pixel (column c, row r) is element r * width + c.
#pragma once

#include <cstdint>
#include <vector>

namespace ZARNITH {

struct Icon {
    struct Pixel {
        std::uint8_t byte[4] = {0, 0, 0, 0};
    };

    std::uint32_t kind = 0;
    std::vector<Pixel> pixels;
    std::uint32_t width = 0;

    // Usable: a width, pixels, and whole rows.
    bool isValid() const { return width != 0 && !pixels.empty() && pixels.size() % width == 0; }
    // Rows of a usable icon; 0 otherwise.
    std::uint64_t getHeight() const { return isValid() ? pixels.size() / width : 0; }
};

}  // namespace ZARNITH
