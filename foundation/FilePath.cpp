#include "foundation/FilePath.h"

#include <sys/stat.h>
#include <unistd.h>

namespace ORVEX {

namespace {

bool endsWithSlash(const std::string& s) {
    return !s.empty() && s.back() == '/';
}

// A final "/" removed for the status query, except for "/" itself.
std::string withoutFinalSlash(const std::string& s) {
    if (s.size() > 1 && s.back() == '/') return s.substr(0, s.size() - 1);
    return s;
}

// 1 directory, 0 other kind, -1 absent (symbolic links followed).
int kindOf(const std::string& name) {
    if (name.empty()) return -1;
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

// A name ending with "/" must be a directory, any other must exist and not be one.
bool matchesKind(const std::string& name) {
    if (name.empty()) return false;
    if (endsWithSlash(name)) return kindOf(withoutFinalSlash(name)) == 1;
    return kindOf(name) == 0;
}

// Parent of a directory path ("/a/b/" -> "/a/"); "" when there is none.
std::string parentOf(const std::string& directory) {
    if (directory.empty()) return std::string();
    return FilePath::separate(directory.begin(), directory.end() - 1);
}

constexpr std::size_t OwnPathBufferSize = 2049;

}  // namespace

void FilePath::setDirectory(const std::string& directory) {
    if (directory.empty()) {
        path = "./";
        return;
    }
    path = directory;
    if (!endsWithSlash(path)) path.push_back('/');
}

bool FilePath::isDirectory() const {
    return path.empty() || endsWithSlash(path);
}

std::string FilePath::separate(std::string::const_iterator first, std::string::const_iterator last) {
    for (auto it = last; it != first; --it)
        if (*(it - 1) == '/') return std::string(first, it);
    return std::string();
}

bool FilePath::removeFilename() {
    if (path.empty() || endsWithSlash(path)) return false;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    path.resize(slash + 1);
    return true;
}

bool FilePath::popupDirectory() {
    if (!endsWithSlash(path)) return false;
    std::string parent = parentOf(path);
    if (parent.empty()) return false;
    path = parent;
    return true;
}

bool FilePath::AutoPath(const std::string& name) {
    if (!isDirectory()) return false;
    std::string directory = path;
    for (;;) {
        const std::string candidate = directory + name;
        if (matchesKind(candidate)) {
            path = candidate;
            return true;
        }
        if (directory.empty()) return false;
        directory = parentOf(directory);
        if (directory.empty()) return false;
    }
}

bool FilePath::isValid() const {
    return matchesKind(path);
}

bool FilePath::isValid(const std::string& name, bool asDir) {
    if (name.empty()) return false;
    if (asDir) return kindOf(withoutFinalSlash(name)) == 1;
    return kindOf(name) == 0;
}

bool FilePath::isValid(const std::string& name) {
    if (name.empty()) return false;
    if (kindOf(name) >= 0) return true;
    return endsWithSlash(name) && name.size() > 1 && kindOf(name.substr(0, name.size() - 1)) >= 0;
}

std::string FilePath::getMyPath() {
    char buffer[OwnPathBufferSize];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer));
    // A target that fills the whole buffer may have been cut: refuse it.
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(buffer)) return std::string();
    return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace ORVEX
