// One path string with directory operations. A path ending with "/" (or the
// empty path, the current directory) denotes a directory; any other a file.
#pragma once

#include <string>

namespace ORVEX {

class FilePath {
public:
    std::string path;

    // path = directory with a final "/"; the empty directory gives "./".
    void setDirectory(const std::string& directory);
    void setFilePath(const std::string& filePath) { path = filePath; }
    bool isDirectory() const;

    // The part of [first, last) up to and including its last "/"; "" without one.
    static std::string separate(std::string::const_iterator first, std::string::const_iterator last);

    // Cuts path after its last "/"; false (unchanged) when it is empty, ends
    // with "/" or has no "/".
    [[nodiscard]] bool removeFilename();
    // Directory path to its parent; false (unchanged) when there is none.
    [[nodiscard]] bool popupDirectory();
    // Looks for `name` in path and then in each parent directory.
    [[nodiscard]] bool AutoPath(const std::string& name);

    // path exists and is of the kind it denotes.
    bool isValid() const;
    // name exists and is a directory (asDir) or is not one.
    static bool isValid(const std::string& name, bool asDir);
    // name exists, of any kind.
    static bool isValid(const std::string& name);

    // The program's own executable path; "" when it cannot be read whole.
    static std::string getMyPath();
    void setMySelfPath() { path = getMyPath(); }
};

}  // namespace ORVEX
