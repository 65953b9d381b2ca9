// The INI-like settings text: named groups of key = value units, read from a
// file or a string, looked up in a selected group and written back as text.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

namespace ORVEX {

class FileInf {
public:
    struct Unit {
        std::string value;
        // Counter value of the unit's latest parsed assignment; 0 from set/set64.
        std::int32_t order = 0;
    };
    using Group = std::map<std::string, Unit>;

    FileInf();
    // currentGroup is `group` unchanged (an empty name stays empty).
    explicit FileInf(const std::string& group);
    FileInf(const FileInf& other);
    FileInf& operator=(const FileInf& other);
    ~FileInf() = default;

    void copy(const FileInf& other);
    // Groups and counter copied; currentGroup stays and is selected again.
    void copy_data(const FileInf& other);
    // Removes all groups; currentGroup and loadedPath stay.
    void clear_data();

    // Reads and parses a file; `join` 0 rejects TAB and switches continuation
    // lines off. False (nothing changed) when the file cannot be read or
    // holds a control byte.
    [[nodiscard]] bool load(const std::string& path, char join);
    // Parses lines into the present content.
    void load(const std::list<std::string>& lines, char join);
    // Parses a text cut at every CR and LF, with `join` 0.
    void set_string(const std::string& text);

    void set_current_group(const std::string& name);
    const std::string& get_current_group() const { return currentGroup; }
    const std::string& get_loaded_path() const { return loadedPath; }

    // Value of `key` in the selected group; "" when absent.
    std::string get(const std::string& key) const;
    // get() read as a signed decimal number (strtoll rules, saturating).
    std::int64_t get64(const std::string& key) const;
    // Writes into the group named by currentGroup; the selection is not recomputed.
    void set(const std::string& key, const std::string& value);
    void set64(const std::string& key, std::uint64_t value);

    // Units of one group as key=value lines joined by LF.
    std::string get_group_string(const std::string& group) const;
    // Whole content as file text, CR LF line ends.
    void get_string(std::string& out) const;
    [[nodiscard]] bool save(const std::string& path) const;

    // Remove leading / trailing space bytes (0x20 only), unless the text is
    // made only of spaces.
    static void delete_space_front(std::string& text);
    static void delete_space_back(std::string& text);

private:
    void selectFor(const std::string& name);

    std::map<std::string, Group> groups;
    std::string currentGroup = "global";
    Group* baseGroup = nullptr;    // points into groups
    Group* dottedGroup = nullptr;  // points into groups
    std::int32_t orderCounter = 0;
    std::string loadedPath;
};

}  // namespace ORVEX
