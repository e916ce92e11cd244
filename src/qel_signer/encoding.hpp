#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "bytes.hpp"

namespace qel_signer {

// An unsigned big-endian integer of any length in decimal ("0" when empty).
[[nodiscard]] std::string big_endian_decimal(ByteSpan be);

// Lower-case hexadecimal, two digits per byte, no prefix.
[[nodiscard]] std::string hex_encode(ByteSpan data);

// Decodes hex digits of either case, no prefix. Errors:
// "Odd number of digits" (checked first), or
// "Invalid character 'c' at position i" (i counted from the first byte of text;
// c the offending byte read as a Latin-1 code point, written in UTF-8;
// \0 \t \n \r ' \ escaped with a backslash, other control characters as \u{hex}).
[[nodiscard]] std::expected<Bytes, std::string> hex_decode(std::string_view text);

// Base58 (alphabet 123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz),
// each leading zero byte written as '1'.
[[nodiscard]] std::string base58_encode(ByteSpan data);
[[nodiscard]] std::expected<Bytes, std::string> base58_decode(std::string_view text);
// payload followed by the first 4 bytes of its double SHA-256, in base58.
[[nodiscard]] std::string base58check_encode(ByteSpan payload);
// Verifies and strips the checksum.
[[nodiscard]] std::expected<Bytes, std::string> base58check_decode(std::string_view text);

// RFC 4648 standard alphabet with '=' padding.
[[nodiscard]] std::string base64_encode(ByteSpan data);
// The same, read: the length a multiple of 4, at most two '=' at the end.
[[nodiscard]] std::expected<Bytes, std::string> base64_decode(std::string_view text);
// RFC 4648 URL-safe alphabet, no padding.
[[nodiscard]] std::string base64url_encode(ByteSpan data);
[[nodiscard]] std::expected<Bytes, std::string> base64url_decode(std::string_view text);

// Regroups bits (e.g. 8 -> 5 with padding, 5 -> 8 without). Without
// padding, leftover bits must be fewer than from_bits and all zero.
[[nodiscard]] std::expected<Bytes, std::string> convert_bits(ByteSpan data, unsigned from_bits, unsigned to_bits,
                                                             bool pad);

// Checks a bech32 human-readable part (1 to 83 characters in 33..126, no
// upper case letters mixed with lower case).
[[nodiscard]] std::expected<void, std::string> bech32_validate_hrp(std::string_view hrp);

// BIP-173 bech32 (not bech32m) of hrp and 5-bit values; all lower case.
// Fails when the result would exceed 1023 characters.
[[nodiscard]] std::expected<std::string, std::string> bech32_encode(std::string_view hrp, ByteSpan data5);

struct Bech32Decoded {
    std::string hrp;
    Bytes data5;
};
// Decodes and verifies a BIP-173 bech32 string of at most 1023 characters
// (no limit of 90). The hrp is returned in lower case. For tests and
// address checks.
[[nodiscard]] std::expected<Bech32Decoded, std::string> bech32_decode(std::string_view text);
// The same with a tighter length limit (90 for segwit addresses).
[[nodiscard]] std::expected<Bech32Decoded, std::string> bech32_decode(std::string_view text, std::size_t max_length);

// Segwit address of witness version 0 (BIP-173 checksum): hrp, "1",
// the version character 'q', the program in 5-bit groups, the checksum.
[[nodiscard]] std::expected<std::string, std::string> segwit_v0_encode(std::string_view hrp, ByteSpan program);

struct SegwitDecoded {
    std::uint8_t version;
    Bytes program;
};
// Decodes a segwit address of the given hrp (BIP-173 rules, at most 90
// characters; versions 1..16 are accepted as bech32, as BIP-173 had it).
// For tests.
[[nodiscard]] std::expected<SegwitDecoded, std::string> segwit_decode(std::string_view hrp, std::string_view addr);

// CRC-16/XMODEM: polynomial 0x1021, initial 0, no reflection, no final XOR.
[[nodiscard]] std::uint16_t crc16_xmodem(ByteSpan data);

}  // namespace qel_signer
