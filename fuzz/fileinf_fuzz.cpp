// The settings file: the input (after one byte choosing the continuation
// character) is a file read by FileInf::load as the host reads its settings
// file, then looked up, changed and written back; the same text goes through
// set_string. The host's key rules read the result.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "foundation/FileInf.h"
#include "fuzz/FuzzSupport.h"
#include "host/HostSetting.h"
#include "host/HostSettingReader.h"

namespace {

int settingsFile = -1;
std::string settingsPath;

// The text of the object, written and read back once: a text the writer
// produced must read back into the same text.
void checkWrittenTextIsStable(const ORVEX::FileInf& inf) {
    std::string first;
    inf.get_string(first);
    ORVEX::FileInf again;
    again.set_string(first);
    std::string second;
    again.get_string(second);
    ORVEX::FileInf third;
    third.set_string(second);
    std::string last;
    third.get_string(last);
    TM_FUZZ_CHECK(second == last);
}

void exercise(ORVEX::FileInf& inf, const std::string& text) {
    // Group names: the usual ones and one taken from the text.
    const std::size_t cut = text.find_first_of("\r\n=");
    const std::string fromText = text.substr(0, cut < 16 ? cut : 16);
    for (const std::string& group : {std::string(), std::string("global"), std::string("net.x"), fromText}) {
        inf.set_current_group(group);
        (void)inf.get(fromText);
        (void)inf.get64(fromText);
        (void)inf.get_group_string(group);
    }
    inf.set_current_group(std::string());
    HostSetting setting;
    HostSettingReader::readKeys([&inf](const std::string& key) { return inf.get(key); }, setting);

    checkWrittenTextIsStable(inf);
    ORVEX::FileInf copy(inf);
    copy.set_current_group(fromText);
    copy.set(fromText, text.substr(0, 64));
    copy.set64(fromText + "n", text.size());
    copy.copy_data(inf);
    inf.copy(copy);
    std::string out;
    inf.get_string(out);
    inf.clear_data();
    (void)inf.get(fromText);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    settingsFile = ::memfd_create("settings", 0);
    if (settingsFile < 0) std::abort();
    settingsPath = "/proc/self/fd/" + std::to_string(settingsFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // 0 (the host's choice), the space, a comma, or any other byte.
    const std::uint8_t pick = data[0];
    const char join = pick < 0x40 ? 0 : pick < 0x80 ? ' ' : pick < 0xC0 ? ',' : static_cast<char>(pick);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    if (::ftruncate(settingsFile, 0) != 0 || ::pwrite(settingsFile, text.data(), text.size(), 0) !=
                                                 static_cast<ssize_t>(text.size()))
        std::abort();
    ORVEX::FileInf fromFile;
    if (fromFile.load(settingsPath, join)) TM_FUZZ_CHECK(fromFile.get_loaded_path() == settingsPath);
    exercise(fromFile, text);

    ORVEX::FileInf fromText;
    fromText.set_string(text);
    // A second text merges into the first.
    fromText.set_string(text.substr(text.size() / 2));
    exercise(fromText, text);
    return 0;
}
