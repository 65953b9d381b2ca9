// A network endpoint: IPv6 address (IPv4 held IPv4-mapped), port in network
// byte order and interface index (the IPv6 scope id). Plain copyable value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ORVEX {

class IPAddress {
public:
    // Size of the raw address record: address, port, 2 unused bytes, ifIndex.
    static constexpr std::size_t RecordSize = 24;

    std::array<std::uint8_t, 16> address{};  // network byte order
    std::uint16_t port = 0;                  // network byte order as stored in memory
    std::uint32_t ifIndex = 0;               // 0 = none

    // [::1] at `hostOrderPort`, interface 0: where the endpoints of one host
    // reach each other and the log listener.
    static IPAddress loopback(std::uint16_t hostOrderPort);

    // -1, 0, 1 by address bytes, then port (numeric), then ifIndex.
    int comp(const IPAddress& other) const;
    bool operator<(const IPAddress& other) const { return comp(other) < 0; }
    bool operator==(const IPAddress& other) const { return comp(other) == 0; }
    bool operator!=(const IPAddress& other) const { return comp(other) != 0; }

    // Bytes 0-9 zero and bytes 10-11 0xFF.
    bool is_v4() const;
    // All 16 address bytes zero.
    bool is_zero() const;
    // ::1 exactly (port and ifIndex ignored; ::ffff:127.0.0.1 is not).
    bool is_loopback() const;
    // First 16-bit group exactly fe80: an address that names a host only
    // together with its interface.
    bool is_link_local() const;
    // Same address bytes and, for a link-local address, the same interface
    // (both indexes cut to 16 bits, as the receive side reports them). Ports
    // are not compared.
    bool same_host(const IPAddress& other) const;

    // Port as a number in host order, and storing one.
    std::uint16_t get_port() const;
    void set_port(std::uint16_t hostOrderPort);

    // Text forms; each replaces the content of the output string.
    void get_V4_str(std::string& out) const;
    void get_V6_str(std::string& out) const;
    void get_add_str(std::string& out) const;
    void get_port_str(std::string& out) const;
    void get_if_str(std::string& out) const;
    void get_V6IFN_str(std::string& out) const;
    void get_str(std::string& out) const;
    void get_full_str(std::string& out) const;

    // Parsers; true on success.
    [[nodiscard]] bool set_V6_str(const std::string& text);
    [[nodiscard]] bool set_str(const std::string& text);
    [[nodiscard]] bool set_port_str(const std::string& text);
    [[nodiscard]] bool set_V4_str(const std::string& text);
    [[nodiscard]] bool set_V4_str(const std::string& text, int& prefix);

    // Whether `other` lies in the network of this address with `bits` prefix bits.
    bool much_address(const IPAddress& other, int bits) const;

    // The 24-byte record: out must hold RecordSize bytes.
    void get_record(std::uint8_t* out) const;
    // Reads a record; false when fewer than RecordSize bytes are given.
    [[nodiscard]] bool set_record(const std::uint8_t* data, std::size_t size);
};

}  // namespace ORVEX
