#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An IPv4 or IPv6 address in binary form: the key of the per-flow look-ups, which must
// not go through text. IPv4 sits in the last four bytes behind the ::ffff: prefix and
// carries its own family flag, so 192.0.2.1 and ::ffff:192.0.2.1 stay two addresses.
class TIpAddress {
public:
    using TBytes = std::array<unsigned char, 16>;

    TIpAddress() = default;
    static TIpAddress FromV4(const unsigned char* bytes);
    static TIpAddress FromV6(const unsigned char* bytes);

    // Strict text forms only: a dotted quad without leading zeros, or an IPv6 text
    // (hex groups, "::", a dotted quad in the last 32 bits). Blanks, zone suffixes
    // ("%eth0") and prefixes ("/64") are no address.
    static std::optional<TIpAddress> Parse(std::string_view text);
    static std::optional<TIpAddress> ParseV4(std::string_view text);
    static std::optional<TIpAddress> ParseV6(std::string_view text);

    bool IsV4() const { return V4; }
    const TBytes& Bytes() const { return Data; }
    // The IPv4 address as a host-order number (only meaningful for IPv4).
    std::uint32_t V4Value() const;
    // The IPv6 address as two host-order halves, most significant first.
    std::uint64_t High() const;
    std::uint64_t Low() const;

    // Dotted quad, or the canonical IPv6 text: lower-case hex without leading zeros, the
    // longest run of two or more zero groups (the first of equal runs) written "::",
    // and IPv4-mapped addresses as ::ffff:a.b.c.d. Written by hand rather than by
    // inet_ntop, which also writes the deprecated IPv4-compatible range in dotted form
    // (::2:3 as ::0.2.0.3) and differs between C libraries.
    std::string Text() const;
    void AssignText(std::string& out) const;

    // Link-local, multicast, loopback, unspecified or IPv4-mapped: IPv6 addresses that
    // never name a device's own traffic through the router.
    bool IsSpecialV6() const;

    // The first `length` bits agree (same family required).
    bool SharesPrefix(const TIpAddress& network, int length) const;

    friend bool operator==(const TIpAddress&, const TIpAddress&) = default;

private:
    TBytes Data{};
    bool V4 = false;
};

// A network written as address/length ("192.168.1.0/24", "2001:db8:1::/64"). Host bits
// in the address are ignored, so the router's own "192.168.1.1/24" names its network.
struct TIpNetwork {
    TIpAddress Base;
    int Length = 0;

    // Strict: a valid address, "/", a decimal length without sign or leading zeros
    // within 0..32 (IPv4) or 0..128 (IPv6); anything else is no network.
    static std::optional<TIpNetwork> Parse(std::string_view text);
    bool Contains(const TIpAddress& address) const { return address.SharesPrefix(Base, Length); }
};
