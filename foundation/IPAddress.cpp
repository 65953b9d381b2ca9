#include "foundation/IPAddress.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

namespace ORVEX {

namespace {

// Group g (0..7) of the address, most significant byte first.
std::uint16_t groupAt(const std::array<std::uint8_t, 16>& a, int g) {
    return static_cast<std::uint16_t>((a[2 * g] << 8) | a[2 * g + 1]);
}

void appendHex(std::string& out, std::uint16_t v) {
    static const char hex[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned nibble = (v >> shift) & 0x0F;
        if (nibble != 0 || started || shift == 0) {
            out.push_back(hex[nibble]);
            started = true;
        }
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decimal digits only, accumulated modulo 65536; empty gives 0.
bool parsePort(const std::string& text, std::size_t from, std::uint16_t& value) {
    std::uint16_t v = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        v = static_cast<std::uint16_t>(v * 10u + static_cast<unsigned>(c - '0'));
    }
    value = v;
    return true;
}

// strtol rules in base 10 from `from`, stopping at the first non-digit;
// false when the value read as signed 32-bit is negative.
bool parseV4Part(const std::string& text, std::size_t from, std::uint32_t& value) {
    const long v = std::strtol(text.c_str() + from, nullptr, 10);
    const auto as32 = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(v)));
    if (as32 < 0) return false;
    value = static_cast<std::uint32_t>(as32);
    return true;
}

std::uint32_t v4Value(const std::array<std::uint8_t, 16>& a) {
    return (static_cast<std::uint32_t>(a[12]) << 24) | (static_cast<std::uint32_t>(a[13]) << 16) |
           (static_cast<std::uint32_t>(a[14]) << 8) | static_cast<std::uint32_t>(a[15]);
}

}  // namespace

int IPAddress::comp(const IPAddress& other) const {
    const int byAddress = std::memcmp(address.data(), other.address.data(), address.size());
    if (byAddress != 0) return byAddress < 0 ? -1 : 1;
    const std::uint16_t a = ntohs(port), b = ntohs(other.port);
    if (a != b) return a < b ? -1 : 1;
    if (ifIndex != other.ifIndex) return ifIndex < other.ifIndex ? -1 : 1;
    return 0;
}

bool IPAddress::is_v4() const {
    for (int i = 0; i < 10; ++i)
        if (address[i] != 0) return false;
    return address[10] == 0xFF && address[11] == 0xFF;
}

bool IPAddress::is_zero() const {
    for (std::uint8_t b : address)
        if (b != 0) return false;
    return true;
}

IPAddress IPAddress::loopback(std::uint16_t hostOrderPort) {
    IPAddress a;
    a.address[15] = 1;
    a.set_port(hostOrderPort);
    return a;
}

bool IPAddress::is_loopback() const {
    for (int i = 0; i < 15; ++i)
        if (address[i] != 0) return false;
    return address[15] == 1;
}

bool IPAddress::is_link_local() const { return address[0] == 0xFE && address[1] == 0x80; }

bool IPAddress::same_host(const IPAddress& other) const {
    if (address != other.address) return false;
    return !is_link_local() || (ifIndex & 0xFFFF) == (other.ifIndex & 0xFFFF);
}

std::uint16_t IPAddress::get_port() const {
    return ntohs(port);
}

void IPAddress::set_port(std::uint16_t hostOrderPort) {
    port = htons(hostOrderPort);
}

void IPAddress::get_V4_str(std::string& out) const {
    out.clear();
    for (int i = 12; i < 16; ++i) {
        if (i != 12) out.push_back('.');
        out += std::to_string(address[i]);
    }
}

void IPAddress::get_V6_str(std::string& out) const {
    out.clear();
    // The first run of two or more zero groups is compressed, not the longest.
    int runStart = -1, runEnd = -1;
    for (int g = 0; g < 8; ++g) {
        if (groupAt(address, g) != 0) continue;
        int e = g;
        while (e + 1 < 8 && groupAt(address, e + 1) == 0) ++e;
        if (e > g) {
            runStart = g;
            runEnd = e;
            break;
        }
    }
    bool needColon = false;
    for (int g = 0; g < 8; ++g) {
        if (g == runStart) {
            out += "::";
            g = runEnd;
            needColon = false;
            continue;
        }
        if (needColon) out.push_back(':');
        appendHex(out, groupAt(address, g));
        needColon = true;
    }
}

void IPAddress::get_add_str(std::string& out) const {
    if (is_v4())
        get_V4_str(out);
    else
        get_V6_str(out);
}

void IPAddress::get_port_str(std::string& out) const {
    out = std::to_string(get_port());
}

void IPAddress::get_if_str(std::string& out) const {
    out = std::to_string(ifIndex & 0xFFFFu);
}

void IPAddress::get_V6IFN_str(std::string& out) const {
    std::string ifText;
    get_V6_str(out);
    get_if_str(ifText);
    out.push_back('%');
    out += ifText;
}

void IPAddress::get_str(std::string& out) const {
    std::string portText;
    get_add_str(out);
    get_port_str(portText);
    out.push_back(',');
    out += portText;
}

void IPAddress::get_full_str(std::string& out) const {
    std::string ifText, portText;
    get_add_str(out);
    get_if_str(ifText);
    get_port_str(portText);
    out.push_back('%');
    out += ifText;
    out.push_back(',');
    out += portText;
}

bool IPAddress::set_V6_str(const std::string& text) {
    if (text.empty()) return false;
    std::uint16_t groups[8] = {};
    unsigned current = 0;
    int digits = 0;
    int index = 0;
    int doubleAt = -1;
    int colonRun = 0;
    for (const char c : text) {
        if (c == ':') {
            ++colonRun;
            if (colonRun == 1) {
                groups[index] = static_cast<std::uint16_t>(current);
                current = 0;
                digits = 0;
                if (++index > 7) return false;
            } else if (colonRun == 2) {
                if (doubleAt >= 0) return false;
                doubleAt = index;
            } else {
                return false;
            }
            continue;
        }
        const int v = hexValue(c);
        if (v < 0) return false;
        if (++digits > 4) return false;
        current = current * 16 + static_cast<unsigned>(v);
        colonRun = 0;
    }
    groups[index] = static_cast<std::uint16_t>(current);
    const int last = index;

    std::uint16_t result[8] = {};
    if (doubleAt < 0) {
        if (last != 7) return false;
        for (int g = 0; g < 8; ++g) result[g] = groups[g];
    } else {
        if (last >= 7) return false;
        for (int g = 0; g < doubleAt; ++g) result[g] = groups[g];
        for (int g = doubleAt; g <= last; ++g) result[g + 7 - last] = groups[g];
    }
    for (int g = 0; g < 8; ++g) {
        address[2 * g] = static_cast<std::uint8_t>(result[g] >> 8);
        address[2 * g + 1] = static_cast<std::uint8_t>(result[g] & 0xFF);
    }
    return true;
}

bool IPAddress::set_str(const std::string& text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    if (!set_V6_str(text.substr(0, comma))) return false;
    std::uint16_t value = 0;
    if (!parsePort(text, comma + 1, value)) return false;
    set_port(value);
    return true;
}

bool IPAddress::set_port_str(const std::string& text) {
    std::uint16_t value = 0;
    if (!parsePort(text, 0, value)) return false;
    set_port(value);
    return true;
}

bool IPAddress::set_V4_str(const std::string& text) {
    std::size_t starts[4] = {0, 0, 0, 0};
    std::size_t at = 0;
    for (int i = 1; i < 4; ++i) {
        const std::size_t dot = text.find('.', at);
        if (dot == std::string::npos) return false;
        starts[i] = dot + 1;
        at = dot + 1;
    }
    const std::size_t comma = text.find(',', starts[3]);

    std::uint32_t parts[4] = {};
    for (int i = 0; i < 4; ++i)
        if (!parseV4Part(text, starts[i], parts[i])) return false;
    std::uint32_t portValue = 0;
    if (comma != std::string::npos && !parseV4Part(text, comma + 1, portValue)) return false;

    address.fill(0);
    address[10] = 0xFF;
    address[11] = 0xFF;
    for (int i = 0; i < 4; ++i) address[12 + i] = static_cast<std::uint8_t>(parts[i] & 0xFF);
    set_port(static_cast<std::uint16_t>(portValue & 0xFFFF));
    ifIndex = 0;
    return true;
}

bool IPAddress::set_V4_str(const std::string& text, int& prefix) {
    prefix = 31;
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos) return set_V4_str(text);
    prefix = static_cast<int>(std::strtol(text.c_str() + slash + 1, nullptr, 10));
    if (static_cast<unsigned>(prefix) > 32u) return false;
    return set_V4_str(text.substr(0, slash));
}

bool IPAddress::much_address(const IPAddress& other, int bits) const {
    if (is_v4()) {
        if (!other.is_v4()) return false;
        if (bits < 0 || bits > 32) return false;
        // 64-bit mask so that a prefix of 0 (shift by 32) is defined: matches all.
        const std::uint64_t mask = (0xFFFFFFFFull << (32 - bits)) & 0xFFFFFFFFull;
        return (v4Value(address) & mask) == (v4Value(other.address) & mask);
    }
    if (is_zero() || other.is_v4() || other.is_zero()) return false;
    if (bits < 0 || bits > 128) return false;
    int left = bits;
    for (std::size_t i = 0; i < address.size() && left > 0; ++i, left -= 8) {
        const unsigned take = left >= 8 ? 8u : static_cast<unsigned>(left);
        const auto mask = static_cast<std::uint8_t>(0xFFu << (8 - take));
        if ((address[i] & mask) != (other.address[i] & mask)) return false;
    }
    return true;
}

void IPAddress::get_record(std::uint8_t* out) const {
    std::memcpy(out, address.data(), 16);
    std::memcpy(out + 16, &port, 2);
    out[18] = 0;
    out[19] = 0;
    std::memcpy(out + 20, &ifIndex, 4);
}

bool IPAddress::set_record(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < RecordSize) return false;
    std::memcpy(address.data(), data, 16);
    std::memcpy(&port, data + 16, 2);
    std::memcpy(&ifIndex, data + 20, 4);
    return true;
}

}  // namespace ORVEX
