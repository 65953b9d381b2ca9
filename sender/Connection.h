// Empty base of the sender engine, with one debugging aid.
#pragma once

#include <string>

#include "foundation/Buffer.h"

namespace ZARNITH {

class Connection {
public:
    Connection() = default;
    ~Connection() = default;

    // Appends the bytes unchanged to `path` ("/tmp/dump" when empty); a file
    // that cannot be opened is skipped without a word.
    static void dumpfile(ORVEX::BufferCS_const data, const std::string& path);
};

}  // namespace ZARNITH
