// A byte buffer that loads itself from a file (whole or a range) and saves
// itself to a file.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Buffer.h"

namespace ORVEX {

class FileBuffer : public Buffer {
public:
    using Buffer::Buffer;
    using Buffer::operator=;

    // The whole file. Only regular files are read.
    [[nodiscard]] bool load(const std::string& path);
    // size 0: the whole file (offset ignored); else `size` bytes from
    // `offset`, which must lie within the file. An empty file gives an empty
    // buffer and true; a file whose length is unknown (a /proc pseudo-file) or
    // too large for memory gives false. On false the buffer is unchanged.
    [[nodiscard]] bool load(const std::string& path, std::uint64_t size, std::uint64_t offset);
    // Creates or truncates the file and writes all bytes; false when the file
    // cannot be opened or a write or the close fails.
    [[nodiscard]] bool save(const std::string& path) const;
    // Appends `count` bytes.
    void write(const void* bytes, std::uint64_t count);
    // Deletes the named file; true when it was deleted.
    [[nodiscard]] static bool remove(const std::string& path);
};

}  // namespace ORVEX
