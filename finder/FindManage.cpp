// Management queries: firmware texts, information, reboot, configuration
// units and icons.
#include <algorithm>
#include <array>

#include "finder/Find.h"
#include "finder/TextBudget.h"
#include "foundation/SysLog.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

namespace {

constexpr std::uint16_t TargetBase = TARGETUNIT_REQ;  // 0x30
constexpr std::uint16_t SinkBase = SINKUNIT_REQ;      // 0x34

// Unit kinds as endpoints describe them.
constexpr std::uint16_t UNIT_NUMBER = 1;
constexpr std::uint16_t UNIT_SIGNED = 2;
constexpr std::uint16_t UNIT_SWITCH = 3;
constexpr std::uint16_t UNIT_TEXT = 4;
constexpr std::uint16_t UNIT_CHOICE = 5;
constexpr std::uint16_t UNIT_CHOICE_FIXED = 6;
constexpr std::uint16_t UNIT_VALUE = 7;

// Icon numbers tried for a wanted one, by the size-preferring download.
constexpr std::array<std::array<std::uint16_t, 4>, 8> Candidates{{
    {1, 2, 3, 4}, {2, 1, 4, 3}, {3, 1, 4, 2}, {4, 3, 2, 1},
    {5, 6, 7, 8}, {6, 5, 8, 7}, {7, 5, 8, 6}, {8, 7, 6, 5},
}};

MessageID messageOf(std::uint16_t code) { return static_cast<MessageID>(code); }

std::string payloadText(const Receive& answer) {
    std::string text;
    answer.get_str(text);
    return text;
}

}  // namespace

bool Find::textRequest(const ORVEX::IPAddress& to, const Send& request, std::string& text) {
    text.clear();
    Receive answer;
    if (sendAck(to, request, messageOf(request.getMessage() + 1), answer, true) != ACK_ANSWER) return false;
    answer.get_str(text);
    return true;
}

bool Find::FwVersion(ORVEX::IPAddress to, std::string& text) {
    return textRequest(to, Send(FWVERSION_REQ, STATUS_NONE, 0, 0, 0, 0), text);
}

bool Find::FwURL(ORVEX::IPAddress to, std::string& text) {
    return textRequest(to, Send(FWURL_REQ, STATUS_NONE, 0, 0, 0, 0), text);
}

bool Find::Infomation(ORVEX::IPAddress to, std::uint16_t request, std::string& text) {
    text.clear();
    Receive answer;
    if (sendAck(to, Send(INFORMATION_REQ, STATUS_NONE, request, 0, 0, 0), INFORMATION_ANS, answer, true,
                [request](const Receive& a) { return a.getOption0() == request; }) != ACK_ANSWER) {
        return false;
    }
    answer.get_str(text);
    return true;
}

bool Find::Infomation(ORVEX::IPAddress to, std::uint16_t request, ORVEX::Buffer& bytes) {
    bytes.clear();
    Receive answer;
    if (sendAck(to, Send(INFORMATION_REQ, STATUS_NONE, request, 0, 0, 0), INFORMATION_ANS, answer, true,
                [request](const Receive& a) { return a.getOption0() == request; }) != ACK_ANSWER) {
        return false;
    }
    bytes.assign(answer.get_data(), answer.get_data() + answer.size_data());
    return true;
}

bool Find::Infomation(ORVEX::IPAddress to, std::uint16_t request, std::vector<std::string>& pages) {
    pages.clear();
    const auto belongs = [request](const Receive& a) { return a.getOption0() == request; };
    Receive answer;
    if (sendAck(to, Send(INFORMATION_REQ, STATUS_NONE, request, 0, 0, 0), INFORMATION_ANS, answer, true, belongs) !=
        ACK_ANSWER) {
        return false;
    }
    TextBudget budget;
    pages.push_back(payloadText(answer));
    if (!budget.take(pages.back())) return false;
    const unsigned count = answer.getOption2();
    for (unsigned page = 1; page < count; ++page) {
        const int result = sendAck(to, Send(INFORMATION_REQ, STATUS_NONE, request, static_cast<std::uint16_t>(page), 0, 0),
                                   INFORMATION_ANS, answer, true, belongs);
        if (result == ACK_FAILURE) return false;
        if (result != ACK_ANSWER) return true;
        pages.push_back(payloadText(answer));
        if (!budget.take(pages.back())) return false;
    }
    return true;
}

bool Find::Reboot(ORVEX::IPAddress to, bool reboot, std::uint16_t code) {
    const std::uint16_t sent = reboot ? code : 0;
    Receive answer;
    return sendAck(to, Send(REBOOT_REQ, STATUS_NONE, sent, 0, 0, 0), REBOOT_ANS, answer, true) == ACK_ANSWER &&
           answer.getOption0() == sent;
}

bool Find::TargetSetting(ORVEX::IPAddress to, std::list<TargetSettingInfo>& units, bool reset) {
    return _TargetSetting(TargetBase, to, units, reset);
}
bool Find::SinkSetting(ORVEX::IPAddress to, std::list<TargetSettingInfo>& units, bool reset) {
    return _TargetSetting(SinkBase, to, units, reset);
}
bool Find::setTargetSetting(ORVEX::IPAddress to, std::uint16_t unit, const std::string& text, std::uint16_t value) {
    return _setTargetSetting(TargetBase, to, unit, text, value);
}
bool Find::setTargetSetting(ORVEX::IPAddress to, std::uint16_t unit, const std::string& text) {
    return _setTargetSetting(TargetBase, to, unit, text);
}
bool Find::setTargetSetting(ORVEX::IPAddress to, std::uint16_t unit, std::uint16_t value) {
    return _setTargetSetting(TargetBase, to, unit, value);
}
bool Find::setSinkSetting(ORVEX::IPAddress to, std::uint16_t unit, const std::string& text, std::uint16_t value) {
    return _setTargetSetting(SinkBase, to, unit, text, value);
}
bool Find::setSinkSetting(ORVEX::IPAddress to, std::uint16_t unit, const std::string& text) {
    return _setTargetSetting(SinkBase, to, unit, text);
}
bool Find::setSinkSetting(ORVEX::IPAddress to, std::uint16_t unit, std::uint16_t value) {
    return _setTargetSetting(SinkBase, to, unit, value);
}
bool Find::TargetSettingFinale(ORVEX::IPAddress to, bool commit) { return _TargetSettingFinale(TargetBase, to, commit); }
bool Find::SinkSettingFinale(ORVEX::IPAddress to, bool commit) { return _TargetSettingFinale(SinkBase, to, commit); }

bool Find::_TargetSettingFinale(std::uint16_t base, const ORVEX::IPAddress& to, bool commit) {
    Receive answer;
    return sendAck(to, Send(messageOf(base + 2), STATUS_NONE, 0, commit ? 1 : 2, 0, 0), messageOf(base + 3), answer,
                   true) == ACK_ANSWER;
}

bool Find::_setTargetSetting(std::uint16_t base, const ORVEX::IPAddress& to, std::uint16_t unit,
                             const std::string& text, std::uint16_t value) {
    // Unit 0 with the set operation is the commit of all pending changes.
    if (unit == 0) {
        LEVEL_ERROR << "Find setting unit 0 refused";
        return false;
    }
    SendBuffer request;
    request.set(messageOf(base + 2), STATUS_NONE, unit, 1, value, 0);
    request.set_str(text);
    request.update();
    Receive answer;
    return sendAck(to, request, messageOf(base + 3), answer, true,
                   [unit](const Receive& a) { return a.getOption0() == unit; }) == ACK_ANSWER;
}

bool Find::_setTargetSetting(std::uint16_t base, const ORVEX::IPAddress& to, std::uint16_t unit,
                             const std::string& text) {
    return _setTargetSetting(base, to, unit, text, 0);
}

bool Find::_setTargetSetting(std::uint16_t base, const ORVEX::IPAddress& to, std::uint16_t unit,
                             std::uint16_t value) {
    return _setTargetSetting(base, to, unit, std::string(), value);
}

bool Find::_TargetSetting(std::uint16_t base, const ORVEX::IPAddress& to, std::list<TargetSettingInfo>& units,
                          bool reset) {
    units.clear();
    const MessageID describe = messageOf(base);
    const MessageID described = messageOf(base + 1);
    const MessageID valueReq = messageOf(base + 2);
    const MessageID valueAns = messageOf(base + 3);
    Receive answer;
    if (sendAck(to, Send(describe, STATUS_NONE, 0, 0, 0, 0), described, answer, true) != ACK_ANSWER) {
        return false;
    }
    const unsigned count = answer.getOption0();
    TextBudget budget;
    for (unsigned number = 1; number <= count; ++number) {
        const auto unit = static_cast<std::uint16_t>(number);
        const auto belongs = [unit](const Receive& a) { return a.getOption0() == unit; };
        if (sendAck(to, Send(describe, STATUS_NONE, unit, 0, 0, 0), described, answer, true, belongs) != ACK_ANSWER ||
            answer.getOption0() != unit) {
            return false;
        }
        TargetSettingInfo info;
        info.name = payloadText(answer);
        if (!budget.take(info.name)) return false;
        const std::uint16_t kind = answer.getOption1();
        const bool isSigned = kind == UNIT_SIGNED;
        switch (kind) {
            case UNIT_NUMBER:
            case UNIT_SIGNED:
                info.type = SETTING_NUMBER;
                break;
            case UNIT_SWITCH:
                info.type = SETTING_SWITCH;
                break;
            case UNIT_TEXT:
                info.type = SETTING_TEXT;
                break;
            case UNIT_CHOICE:
                info.type = SETTING_CHOICE;
                break;
            case UNIT_CHOICE_FIXED:
                info.type = SETTING_CHOICE_FIXED;
                break;
            case UNIT_VALUE:
                info.type = SETTING_VALUE;
                break;
            default:
                info.type = SETTING_NONE;
                break;
        }
        if (info.type == SETTING_SWITCH) {
            info.min = 0;
            info.max = 1;
        } else if (info.type != SETTING_TEXT && info.type != SETTING_NONE) {
            info.min = isSigned ? static_cast<std::int16_t>(answer.getOption2()) : answer.getOption2();
            info.max = isSigned ? static_cast<std::int16_t>(answer.getOption3()) : answer.getOption3();
        }

        const std::uint16_t operation = (reset && info.type != SETTING_CHOICE_FIXED) ? 2 : 0;
        if (sendAck(to, Send(valueReq, STATUS_NONE, unit, operation, 0, 0), valueAns, answer, true, belongs) !=
                ACK_ANSWER ||
            answer.getOption0() != unit) {
            return false;
        }
        if (info.type == SETTING_TEXT || info.type == SETTING_CHOICE_FIXED) {
            info.value = payloadText(answer);
            if (!budget.take(info.value)) return false;
        }
        info.current = isSigned ? static_cast<std::int16_t>(answer.getOption1()) : answer.getOption1();
        info.aux = isSigned ? static_cast<std::int16_t>(answer.getOption3()) : answer.getOption3();

        if (info.type == SETTING_SWITCH || info.type == SETTING_CHOICE || info.type == SETTING_CHOICE_FIXED) {
            for (int k = info.min; k <= info.max; ++k) {
                if (sendAck(to, Send(valueReq, STATUS_NONE, unit, 3, static_cast<std::uint16_t>(k), 0), valueAns,
                            answer, true, belongs) != ACK_ANSWER ||
                    answer.getOption0() != unit) {
                    return false;
                }
                std::string item = payloadText(answer);
                if (info.type == SETTING_SWITCH && item.empty()) {
                    if (k == 0) item = "disable";
                    if (k == 1) item = "enable";
                }
                if (!budget.take(item)) return false;
                info.items.push_back(std::move(item));
            }
        }
        if (info.type == SETTING_CHOICE_FIXED && info.value.empty()) {
            const auto index = static_cast<unsigned>(info.aux);
            info.value = index < info.items.size() ? info.items[index] : "unknown";
        }
        units.push_back(std::move(info));
    }
    return true;
}

unsigned Find::iconRowsPerRequest(std::uint64_t rowBytes) {
    constexpr std::uint64_t Least = 1199;  // a request should carry more than this
    constexpr std::uint64_t Most = 1400;   // and no more than this
    if (rowBytes == 0 || rowBytes > Least) return 0;
    std::uint64_t n = 2;
    while (n * rowBytes <= Least) ++n;
    if (n * rowBytes <= Most) return static_cast<unsigned>(n);
    return n - 1 == 1 ? 0 : static_cast<unsigned>(n - 1);
}

bool Find::downloadIcon(ORVEX::IPAddress to, ICON icon, Icon& out) {
    if (icon > 0x2FFFF) {
        LEVEL_ERROR << "Find icon selector refused : " << static_cast<unsigned>(icon);
        return false;
    }
    const auto service = static_cast<std::uint16_t>(icon >> 16);
    const MessageID request = messageOf(TARGETICON_REQ + 2 * service);
    const MessageID reply = messageOf(request + 1);
    const auto number = static_cast<std::uint16_t>(icon & 0xFFFF);
    out = Icon();

    Receive answer;
    const int result = sendAck(to, Send(request, STATUS_NONE, number, 0, 0, 0), reply, answer, true,
                               [number](const Receive& a) { return a.getOption0() == number; });
    if (result == ACK_FAILURE) return false;
    if (result != ACK_ANSWER) return true;
    const std::uint64_t width = answer.getOption1();
    const std::uint64_t height = answer.getOption2();
    const std::uint16_t format = answer.getOption3();
    if (format > 2 || width == 0 || height == 0) return true;
    if (width * height > MaxIconPixels) {
        LEVEL_ERROR << "Find icon too large : " << static_cast<unsigned long long>(width) << "x"
                    << static_cast<unsigned long long>(height);
        return true;
    }
    const std::uint64_t total = width * height;
    const std::uint32_t kind = format == 2 ? 1 : 0;
    const std::uint64_t bytesPerPixel = kind == 1 ? 1 : 4;
    const unsigned rowsPerRequest = iconRowsPerRequest(bytesPerPixel * width);
    std::vector<Icon::Pixel> pixels(total);

    // The position counts pixels received, so an answer shorter than asked
    // is continued from where it ended instead of leaving a gap.
    std::uint64_t position = 0;
    while (position < total) {
        const std::uint64_t row = position / width;
        const std::uint64_t column = position % width;
        std::uint16_t count = 0;
        if (column == 0 && rowsPerRequest > 0) {
            const std::uint64_t rows = std::min<std::uint64_t>(rowsPerRequest, height - row);
            count = static_cast<std::uint16_t>(rows * width + 1);
        }
        const auto option1 = static_cast<std::uint16_t>(column + 1);
        const auto option2 = static_cast<std::uint16_t>(row + 1);
        const int pixelResult =
            sendAck(to, Send(request, STATUS_NONE, number, option1, option2, count), reply, answer, true,
                    [&](const Receive& a) {
                        return a.getOption0() == number && a.getOption1() == option1 && a.getOption2() == option2;
                    });
        const std::uint64_t size = answer.size_data();
        const std::uint64_t received = size / bytesPerPixel;
        if (pixelResult != ACK_ANSWER || size == 0 || size % bytesPerPixel != 0 || position + received > total) {
            LEVEL_ERROR << "Find icon pixels failed : " << static_cast<unsigned>(number) << " "
                        << static_cast<unsigned long long>(column) << " " << static_cast<unsigned long long>(row);
            return false;
        }
        const std::uint8_t* bytes = answer.get_data();
        for (std::uint64_t i = 0; i < received; ++i) {
            Icon::Pixel& pixel = pixels[position + i];
            if (bytesPerPixel == 4) {
                std::copy(bytes + 4 * i, bytes + 4 * i + 4, pixel.byte);
            } else {
                pixel.byte[3] = bytes[i];
            }
        }
        position += received;
    }
    out.kind = kind;
    out.width = static_cast<std::uint32_t>(width);
    out.pixels = std::move(pixels);
    return true;
}

bool Find::downloadIcon(ORVEX::IPAddress to, ICON icon, Icon& out, std::uint16_t size) {
    const auto number = static_cast<std::uint16_t>(icon & 0xFFFF);
    const ICON service = icon & 0xFFFF0000u;
    if (number < 1 || number > Candidates.size()) {
        LEVEL_ERROR << "Find icon number without candidates : " << static_cast<unsigned>(number);
        return false;
    }
    // 1: found, 0: none of the row, -1: failure.
    const auto walk = [&](std::uint16_t wanted, std::uint16_t& found) {
        for (std::uint16_t candidate : Candidates[wanted - 1]) {
            if (!downloadIcon(to, service | candidate, out)) return -1;
            if (out.width != 0 && !out.pixels.empty()) {
                found = candidate;
                return 1;
            }
        }
        return 0;
    };
    std::uint16_t found = 0;
    const int first = walk(number, found);
    if (first <= 0) return first == 0;
    const bool tooSmall = number % 2 == 0 && found % 2 == 0 && out.width != size &&
                          2 * static_cast<std::uint64_t>(out.width) < 3 * static_cast<std::uint64_t>(size);
    if (!tooSmall) return true;
    // Look among the other size; keep the icon found when that has none.
    Icon kept = out;
    std::uint16_t other = 0;
    const int second = walk(static_cast<std::uint16_t>(number - 1), other);
    if (second < 0) return false;
    if (second == 0) out = std::move(kept);
    return true;
}

}  // namespace ZARNITH
