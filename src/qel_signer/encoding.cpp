#include "encoding.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include <openssl/crypto.h>

#include "hash.hpp"

namespace qel_signer {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kBase58Alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char kBase64Std[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kBech32Charset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr std::size_t kBech32MaxLength = 1023;
constexpr std::size_t kBech32ChecksumLength = 6;

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The offending byte as a Latin-1 code point, quoted and escaped the way a
// character literal is written, so that control bytes stay readable.
std::string quote_char(unsigned char c) {
    std::string out = "'";
    switch (c) {
        case '\0': out += "\\0"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\'': out += "\\'"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || (c >= 0x7f && c <= 0xa0) || c == 0xad) {
                char buf[12];
                std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
                out += buf;
            } else if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                out += static_cast<char>(0xc0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3f));
            }
    }
    out += '\'';
    return out;
}

std::array<int, 256> reverse_table(const char* alphabet) {
    std::array<int, 256> table{};
    table.fill(-1);
    for (int i = 0; alphabet[i] != '\0'; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

const std::array<int, 256>& base58_table() {
    static const auto t = reverse_table(kBase58Alphabet);
    return t;
}
const std::array<int, 256>& base64url_table() {
    static const auto t = reverse_table(kBase64Url);
    return t;
}
const std::array<int, 256>& base64_table() {
    static const auto t = reverse_table(kBase64Std);
    return t;
}
const std::array<int, 256>& bech32_table() {
    static const auto t = reverse_table(kBech32Charset);
    return t;
}

std::string base64_with(ByteSpan data, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = data.size() - i;
    if (rest != 0) {
        std::uint32_t v = std::uint32_t{data[i]} << 16;
        if (rest == 2) v |= std::uint32_t{data[i + 1]} << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        if (rest == 2) out += alphabet[(v >> 6) & 63];
        if (pad) out.append(rest == 1 ? 2 : 1, '=');
    }
    return out;
}

std::uint32_t bech32_polymod(std::uint32_t chk, std::uint8_t value) {
    constexpr std::uint32_t kGen[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
    const std::uint32_t top = chk >> 25;
    chk = ((chk & 0x1ffffff) << 5) ^ value;
    for (int i = 0; i < 5; ++i) {
        if ((top >> i) & 1) chk ^= kGen[i];
    }
    return chk;
}

// Polymod over the expanded hrp; the caller has validated and lower-cased it.
std::uint32_t bech32_hrp_polymod(std::string_view hrp) {
    std::uint32_t chk = 1;
    for (char c : hrp) chk = bech32_polymod(chk, static_cast<std::uint8_t>(static_cast<unsigned char>(c) >> 5));
    chk = bech32_polymod(chk, 0);
    for (char c : hrp) chk = bech32_polymod(chk, static_cast<std::uint8_t>(c & 31));
    return chk;
}

std::string to_lower_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

std::string hex_encode(ByteSpan data) {
    std::string out;
    out.reserve(data.size() * 2);
    for (std::uint8_t b : data) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 15];
    }
    return out;
}

std::expected<Bytes, std::string> hex_decode(std::string_view text) {
    if (text.size() % 2 != 0) return std::unexpected(std::string("Odd number of digits"));
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int v = hex_value(static_cast<unsigned char>(text[i]));
        if (v < 0) {
            // Keys are decoded here too: leave no partial key in freed memory.
            OPENSSL_cleanse(out.data(), out.size());
            return std::unexpected("Invalid character " + quote_char(static_cast<unsigned char>(text[i])) +
                                   " at position " + std::to_string(i));
        }
        out[i / 2] = static_cast<std::uint8_t>((i % 2 == 0) ? (v << 4) : (out[i / 2] | v));
    }
    return out;
}

std::string base58_encode(ByteSpan data) {
    std::size_t zeros = 0;
    while (zeros < data.size() && data[zeros] == 0) ++zeros;
    // log(256) / log(58) < 1.37: enough base-58 digits for the rest.
    std::vector<std::uint8_t> digits((data.size() - zeros) * 138 / 100 + 1, 0);
    std::size_t used = 0;
    for (std::size_t i = zeros; i < data.size(); ++i) {
        std::uint32_t carry = data[i];
        std::size_t j = 0;
        for (; j < used || carry != 0; ++j) {
            carry += std::uint32_t{digits[j]} * 256;
            digits[j] = static_cast<std::uint8_t>(carry % 58);
            carry /= 58;
        }
        used = j;
    }
    std::string out(zeros, '1');
    out.reserve(zeros + used);
    for (std::size_t j = used; j-- > 0;) out += kBase58Alphabet[digits[j]];
    return out;
}

std::expected<Bytes, std::string> base58_decode(std::string_view text) {
    const auto& table = base58_table();
    std::size_t ones = 0;
    while (ones < text.size() && text[ones] == '1') ++ones;
    // log(58) / log(256) < 0.733
    Bytes bytes((text.size() - ones) * 733 / 1000 + 1, 0);
    std::size_t used = 0;
    for (std::size_t i = ones; i < text.size(); ++i) {
        const int v = table[static_cast<unsigned char>(text[i])];
        if (v < 0) return std::unexpected("invalid base58 character at position " + std::to_string(i));
        std::uint32_t carry = static_cast<std::uint32_t>(v);
        std::size_t j = 0;
        for (; j < used || carry != 0; ++j) {
            carry += std::uint32_t{bytes[j]} * 58;
            bytes[j] = static_cast<std::uint8_t>(carry & 0xff);
            carry >>= 8;
        }
        used = j;
    }
    Bytes out(ones, 0);
    out.reserve(ones + used);
    for (std::size_t j = used; j-- > 0;) out.push_back(bytes[j]);
    return out;
}

std::string base58check_encode(ByteSpan payload) {
    Bytes buf(payload.begin(), payload.end());
    const Hash32 check = double_sha256(payload);
    buf.insert(buf.end(), check.begin(), check.begin() + 4);
    return base58_encode(buf);
}

std::expected<Bytes, std::string> base58check_decode(std::string_view text) {
    auto raw = base58_decode(text);
    if (!raw) return std::unexpected(raw.error());
    if (raw->size() < 4) return std::unexpected(std::string("base58check data too short"));
    const std::size_t n = raw->size() - 4;
    const Hash32 check = double_sha256(ByteSpan(raw->data(), n));
    if (CRYPTO_memcmp(check.data(), raw->data() + n, 4) != 0) {
        return std::unexpected(std::string("invalid base58check checksum"));
    }
    raw->resize(n);
    return raw;
}

std::string base64_encode(ByteSpan data) { return base64_with(data, kBase64Std, true); }

std::string base64url_encode(ByteSpan data) { return base64_with(data, kBase64Url, false); }

namespace {

// Unpadded text of `table`'s alphabet; `name` goes into the error texts.
std::expected<Bytes, std::string> base64_unpadded(std::string_view text, const std::array<int, 256>& table,
                                                  const std::string& name) {
    if (text.size() % 4 == 1) return std::unexpected("invalid " + name + " length");
    Bytes out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t acc = 0;
    unsigned bits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int v = table[static_cast<unsigned char>(text[i])];
        if (v < 0) return std::unexpected("invalid " + name + " character at position " + std::to_string(i));
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    // Leftover bits must be zero, or two texts would decode to the same bytes.
    if (acc != 0) return std::unexpected("invalid " + name + " padding bits");
    return out;
}

}  // namespace

std::expected<Bytes, std::string> base64url_decode(std::string_view text) {
    return base64_unpadded(text, base64url_table(), "base64url");
}

std::expected<Bytes, std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::unexpected(std::string("invalid base64 length"));
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    return base64_unpadded(text.substr(0, text.size() - padding), base64_table(), "base64");
}

std::expected<Bytes, std::string> convert_bits(ByteSpan data, unsigned from_bits, unsigned to_bits, bool pad) {
    if (from_bits == 0 || from_bits > 8 || to_bits == 0 || to_bits > 8) {
        return std::unexpected(std::string("invalid bit group size"));
    }
    const std::uint32_t maxv = (1u << to_bits) - 1;
    std::uint32_t acc = 0;
    unsigned bits = 0;
    Bytes out;
    out.reserve(data.size() * from_bits / to_bits + 1);
    for (std::uint8_t value : data) {
        if ((value >> from_bits) != 0) return std::unexpected(std::string("invalid data value"));
        acc = ((acc << from_bits) | value) & 0xffff;
        bits += from_bits;
        while (bits >= to_bits) {
            bits -= to_bits;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & maxv));
        }
    }
    if (pad) {
        if (bits != 0) out.push_back(static_cast<std::uint8_t>((acc << (to_bits - bits)) & maxv));
    } else if (bits >= from_bits || ((acc << (to_bits - bits)) & maxv) != 0) {
        return std::unexpected(std::string("invalid padding"));
    }
    return out;
}

std::expected<void, std::string> bech32_validate_hrp(std::string_view hrp) {
    if (hrp.empty()) return std::unexpected(std::string("empty human-readable part"));
    if (hrp.size() > 83) return std::unexpected(std::string("human-readable part too long"));
    bool lower = false;
    bool upper = false;
    for (char ch : hrp) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 33 || c > 126) return std::unexpected(std::string("invalid character in human-readable part"));
        lower = lower || (c >= 'a' && c <= 'z');
        upper = upper || (c >= 'A' && c <= 'Z');
    }
    if (lower && upper) return std::unexpected(std::string("mixed case in human-readable part"));
    return {};
}

std::expected<std::string, std::string> bech32_encode(std::string_view hrp, ByteSpan data5) {
    auto ok = bech32_validate_hrp(hrp);
    if (!ok) return std::unexpected(ok.error());
    if (hrp.size() + 1 + data5.size() + kBech32ChecksumLength > kBech32MaxLength) {
        return std::unexpected(std::string("bech32 string too long"));
    }
    const std::string lower = to_lower_ascii(hrp);
    std::uint32_t chk = bech32_hrp_polymod(lower);
    std::string out = lower + '1';
    for (std::uint8_t v : data5) {
        if (v >= 32) return std::unexpected(std::string("invalid data value"));
        chk = bech32_polymod(chk, v);
        out += kBech32Charset[v];
    }
    for (std::size_t i = 0; i < kBech32ChecksumLength; ++i) chk = bech32_polymod(chk, 0);
    chk ^= 1;
    for (std::size_t i = 0; i < kBech32ChecksumLength; ++i) out += kBech32Charset[(chk >> (5 * (5 - i))) & 31];
    return out;
}

std::expected<Bech32Decoded, std::string> bech32_decode(std::string_view text) {
    return bech32_decode(text, kBech32MaxLength);
}

std::expected<Bech32Decoded, std::string> bech32_decode(std::string_view text, std::size_t max_length) {
    if (text.size() > max_length || text.size() > kBech32MaxLength) {
        return std::unexpected(std::string("bech32 string too long"));
    }
    bool lower = false;
    bool upper = false;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 33 || c > 126) return std::unexpected(std::string("invalid character"));
        lower = lower || (c >= 'a' && c <= 'z');
        upper = upper || (c >= 'A' && c <= 'Z');
    }
    if (lower && upper) return std::unexpected(std::string("mixed case"));
    const std::size_t sep = text.rfind('1');
    if (sep == std::string_view::npos) return std::unexpected(std::string("missing separator"));
    if (sep == 0) return std::unexpected(std::string("empty human-readable part"));
    if (sep > 83) return std::unexpected(std::string("human-readable part too long"));
    if (text.size() - sep - 1 < kBech32ChecksumLength) return std::unexpected(std::string("checksum too short"));

    const std::string lower_text = to_lower_ascii(text);
    Bech32Decoded result{lower_text.substr(0, sep), {}};
    const auto& table = bech32_table();
    std::uint32_t chk = bech32_hrp_polymod(result.hrp);
    for (std::size_t i = sep + 1; i < lower_text.size(); ++i) {
        const int v = table[static_cast<unsigned char>(lower_text[i])];
        if (v < 0) return std::unexpected(std::string("invalid data character"));
        chk = bech32_polymod(chk, static_cast<std::uint8_t>(v));
        result.data5.push_back(static_cast<std::uint8_t>(v));
    }
    if (chk != 1) return std::unexpected(std::string("invalid checksum"));
    result.data5.resize(result.data5.size() - kBech32ChecksumLength);
    return result;
}

std::expected<std::string, std::string> segwit_v0_encode(std::string_view hrp, ByteSpan program) {
    if (program.size() != 20 && program.size() != 32) {
        return std::unexpected(std::string("invalid witness program length"));
    }
    auto five = convert_bits(program, 8, 5, true);
    if (!five) return std::unexpected(five.error());
    five->insert(five->begin(), 0);
    return bech32_encode(hrp, *five);
}

std::expected<SegwitDecoded, std::string> segwit_decode(std::string_view hrp, std::string_view addr) {
    auto dec = bech32_decode(addr, 90);
    if (!dec) return std::unexpected(dec.error());
    if (dec->hrp != to_lower_ascii(hrp)) return std::unexpected(std::string("wrong human-readable part"));
    if (dec->data5.empty()) return std::unexpected(std::string("empty data section"));
    const std::uint8_t version = dec->data5[0];
    if (version > 16) return std::unexpected(std::string("invalid witness version"));
    auto program = convert_bits(ByteSpan(dec->data5).subspan(1), 5, 8, false);
    if (!program) return std::unexpected(program.error());
    if (program->size() < 2 || program->size() > 40) {
        return std::unexpected(std::string("invalid witness program length"));
    }
    if (version == 0 && program->size() != 20 && program->size() != 32) {
        return std::unexpected(std::string("invalid witness program length"));
    }
    return SegwitDecoded{version, std::move(*program)};
}

std::uint16_t crc16_xmodem(ByteSpan data) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : data) {
        crc = static_cast<std::uint16_t>(crc ^ (std::uint16_t{b} << 8));
        for (int i = 0; i < 8; ++i) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1));
        }
    }
    return crc;
}

std::string big_endian_decimal(ByteSpan be) {
    Bytes n(be.begin(), be.end());
    std::string digits;
    bool zero = false;
    while (!zero) {
        unsigned rest = 0;
        zero = true;
        for (std::uint8_t& b : n) {
            const unsigned cur = (rest << 8) | b;
            b = static_cast<std::uint8_t>(cur / 10);
            rest = cur % 10;
            zero = zero && b == 0;
        }
        digits.push_back(static_cast<char>('0' + rest));
    }
    std::reverse(digits.begin(), digits.end());
    return digits;
}

}  // namespace qel_signer
