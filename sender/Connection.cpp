#include "sender/Connection.h"

#include <cstdio>

namespace ZARNITH {

void Connection::dumpfile(ORVEX::BufferCS_const data, const std::string& path) {
    const std::string& name = path.empty() ? std::string("/tmp/dump") : path;
    std::FILE* file = std::fopen(name.c_str(), "ab");
    if (file == nullptr) return;
    if (data.size > 0 && data.data != nullptr) {
        (void)std::fwrite(data.data, 1, data.size, file);
    }
    std::fclose(file);
}

}  // namespace ZARNITH
