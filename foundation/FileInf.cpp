#include "foundation/FileInf.h"

#include <cstdlib>

#include "foundation/FileBuffer.h"

namespace ORVEX {

namespace {

const std::string DefaultGroup = "global";

bool onlySpaces(const std::string& text) {
    return !text.empty() && text.find_first_not_of(' ') == std::string::npos;
}

void trimBoth(std::string& text) {
    FileInf::delete_space_front(text);
    FileInf::delete_space_back(text);
}

bool isComment(const std::string& line) {
    if (line[0] == ';' || line[0] == '#') return true;
    return line.size() >= 2 && line[0] == '/' && line[1] == '/';
}

// Appends a continuation text so that the seam carries exactly one `join`
// (none when join is the space).
void appendContinuation(std::string& value, const std::string& text, char join) {
    if (join == ' ') {
        value += text;
        return;
    }
    if (value.empty()) {
        value = text;
        return;
    }
    const bool valueSide = value.back() == join;
    const bool textSide = !text.empty() && text.front() == join;
    if (valueSide && textSide)
        value.append(text, 1, std::string::npos);
    else if (valueSide || textSide)
        value += text;
    else {
        value.push_back(join);
        value += text;
    }
}

}  // namespace

FileInf::FileInf() = default;

FileInf::FileInf(const std::string& group) : currentGroup(group) {}

FileInf::FileInf(const FileInf& other) : groups(other.groups), orderCounter(other.orderCounter) {
    set_current_group(other.currentGroup);
}

FileInf& FileInf::operator=(const FileInf& other) {
    copy(other);
    return *this;
}

void FileInf::copy(const FileInf& other) {
    const std::string name = other.currentGroup;
    if (this != &other) groups = other.groups;
    orderCounter = other.orderCounter;
    set_current_group(name);
}

void FileInf::copy_data(const FileInf& other) {
    if (this != &other) groups = other.groups;
    orderCounter = other.orderCounter;
    selectFor(currentGroup.empty() ? DefaultGroup : currentGroup);
}

void FileInf::clear_data() {
    baseGroup = nullptr;
    dottedGroup = nullptr;
    groups.clear();
    orderCounter = 0;
}

bool FileInf::load(const std::string& path, char join) {
    FileBuffer file;
    if (!file.load(path)) return false;
    std::list<std::string> lines;
    if (!file.get_string_list(lines, join != 0)) return false;
    load(lines, join);
    loadedPath = path;
    return true;
}

void FileInf::load(const std::list<std::string>& lines, char join) {
    std::string parseGroup;
    std::string* continuation = nullptr;  // value of the last assignment, in a stable map node
    for (std::string line : lines) {
        delete_space_front(line);
        if (line.empty() || isComment(line)) continue;
        if (line[0] == '[') {
            delete_space_back(line);
            continuation = nullptr;
            if (line.size() < 2 || line.back() != ']') continue;
            parseGroup = line.substr(1, line.size() - 2);
            trimBoth(parseGroup);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            std::string key = line.substr(0, equals);
            delete_space_back(key);
            if (key.empty()) continue;
            std::string value = line.substr(equals + 1);
            trimBoth(value);
            Unit& unit = groups[parseGroup.empty() ? DefaultGroup : parseGroup][key];
            unit.value = value;
            unit.order = ++orderCounter;
            continuation = &unit.value;
            continue;
        }
        if (join == 0 || continuation == nullptr) continue;
        trimBoth(line);
        appendContinuation(*continuation, line, join);
    }
    set_current_group(currentGroup);
}

void FileInf::set_string(const std::string& text) {
    std::list<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        if (stop > start) lines.push_back(text.substr(start, stop - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    load(lines, 0);
}

void FileInf::set_current_group(const std::string& name) {
    currentGroup = name.empty() ? DefaultGroup : name;
    selectFor(currentGroup);
}

void FileInf::selectFor(const std::string& name) {
    auto find = [this](const std::string& groupName) -> Group* {
        auto it = groups.find(groupName);
        return it == groups.end() ? nullptr : &it->second;
    };
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos) {
        baseGroup = find(name);
        dottedGroup = nullptr;
    } else {
        baseGroup = find(name.substr(0, dot));
        dottedGroup = find(name);
    }
}

std::string FileInf::get(const std::string& key) const {
    const Group* group = dottedGroup != nullptr ? dottedGroup : baseGroup;
    if (group == nullptr) return std::string();
    auto it = group->find(key);
    return it == group->end() ? std::string() : it->second.value;
}

std::int64_t FileInf::get64(const std::string& key) const {
    const std::string text = get(key);
    return static_cast<std::int64_t>(std::strtoll(text.c_str(), nullptr, 10));
}

void FileInf::set(const std::string& key, const std::string& value) {
    groups[currentGroup][key].value = value;
}

void FileInf::set64(const std::string& key, std::uint64_t value) {
    set(key, std::to_string(value));
}

std::string FileInf::get_group_string(const std::string& group) const {
    std::string out;
    auto it = groups.find(group);
    if (it == groups.end()) return out;
    bool first = true;
    for (const auto& [key, unit] : it->second) {
        if (!first) out.push_back('\n');
        first = false;
        out += key;
        out.push_back('=');
        out += unit.value;
    }
    return out;
}

void FileInf::get_string(std::string& out) const {
    out.clear();
    for (const auto& [name, group] : groups) {
        out += "[";
        out += name;
        out += "]\r\n";
        for (const auto& [key, unit] : group) {
            if (unit.value.empty()) continue;
            out += key;
            out += "=";
            out += unit.value;
            out += "\r\n";
        }
        out += "\r\n";
    }
}

bool FileInf::save(const std::string& path) const {
    std::string text;
    get_string(text);
    FileBuffer file;
    file.write(text.data(), text.size());
    return file.save(path);
}

void FileInf::delete_space_front(std::string& text) {
    if (onlySpaces(text)) return;
    const std::size_t first = text.find_first_not_of(' ');
    if (first != std::string::npos) text.erase(0, first);
}

void FileInf::delete_space_back(std::string& text) {
    if (onlySpaces(text)) return;
    const std::size_t last = text.find_last_not_of(' ');
    if (last != std::string::npos) text.erase(last + 1);
}

}  // namespace ORVEX
