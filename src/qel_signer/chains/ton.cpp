#include "ton.hpp"

#include <array>
#include <charconv>
#include <string>

#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"

namespace qel_signer::chains {
namespace {

// Representation hash and depth of the v5r1 wallet code cell; the code is
// only ever referenced, never built.
constexpr std::array<std::uint8_t, 32> kCodeHash = {
    0x20, 0x83, 0x4b, 0x7b, 0x72, 0xb1, 0x12, 0x14, 0x7e, 0x1b, 0x2f, 0xb4, 0x57, 0xb8, 0x4e, 0x74,
    0xd1, 0xa3, 0x0f, 0x04, 0xf7, 0x37, 0xd4, 0xf6, 0x2a, 0x66, 0x8e, 0x95, 0x52, 0xd2, 0xb7, 0x2f,
};
constexpr std::uint16_t kCodeDepth = 6;
constexpr std::uint8_t kBounceable = 0x11;
constexpr std::uint8_t kNonBounceable = 0x51;

// Appends bits most significant first into a zero-initialised byte buffer.
class BitWriter {
public:
    explicit BitWriter(std::span<std::uint8_t> out) : out_(out) {}
    void put(bool bit) {
        if (bit) out_[pos_ / 8] |= static_cast<std::uint8_t>(0x80u >> (pos_ % 8));
        ++pos_;
    }
    void put_uint(std::uint64_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) put(((value >> i) & 1) != 0);
    }
    void put_bytes(ByteSpan bytes) {
        for (std::uint8_t b : bytes) put_uint(b, 8);
    }

private:
    std::span<std::uint8_t> out_;
    std::size_t pos_ = 0;
};

}  // namespace

namespace ton {

Hash32 wallet_data_cell_hash(std::span<const std::uint8_t, 32> public_key) {
    // Descriptors: no references; 322 data bits -> 40 + 41 = 0x51. The data
    // is 41 bytes including the completion tag.
    std::array<std::uint8_t, 2 + 41> repr{};
    repr[0] = 0x00;
    repr[1] = 0x51;
    BitWriter w{std::span<std::uint8_t>(repr).subspan(2)};
    w.put(true);               // signature allowed
    w.put_uint(0, 32);         // sequence number
    w.put_uint(kWalletId, 32);
    w.put_bytes(public_key);
    w.put(false);              // empty extensions dictionary
    w.put(true);               // completion tag; zero bits follow
    return sha256(repr);
}

Hash32 state_init_hash(std::span<const std::uint8_t, 32> data_cell_hash) {
    // 5 data bits 00110 plus completion tag -> 0x34; two references.
    std::array<std::uint8_t, 71> repr{};
    repr[0] = 0x02;
    repr[1] = 0x01;
    repr[2] = 0x34;
    repr[3] = static_cast<std::uint8_t>(kCodeDepth >> 8);
    repr[4] = static_cast<std::uint8_t>(kCodeDepth & 0xff);
    repr[5] = 0x00;  // the data cell has no references: depth 0
    repr[6] = 0x00;
    std::copy(kCodeHash.begin(), kCodeHash.end(), repr.begin() + 7);
    std::copy(data_cell_hash.begin(), data_cell_hash.end(), repr.begin() + 39);
    return sha256(repr);
}

std::string friendly_address(const Account& account, bool bounceable) {
    std::array<std::uint8_t, 36> raw{};
    raw[0] = bounceable ? kBounceable : kNonBounceable;
    raw[1] = static_cast<std::uint8_t>(account.workchain);
    std::copy(account.account_id.begin(), account.account_id.end(), raw.begin() + 2);
    const std::uint16_t crc = crc16_xmodem(ByteSpan(raw).first(34));
    raw[34] = static_cast<std::uint8_t>(crc >> 8);
    raw[35] = static_cast<std::uint8_t>(crc & 0xff);
    return base64url_encode(raw);
}

std::expected<Account, std::string> parse_address(std::string_view text) {
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        const std::string_view wc = text.substr(0, colon);
        int workchain = 0;
        const auto [end, ec] = std::from_chars(wc.data(), wc.data() + wc.size(), workchain);
        if (wc.empty() || ec != std::errc{} || end != wc.data() + wc.size() || workchain < -128 || workchain > 127) {
            return std::unexpected(std::string("invalid workchain"));
        }
        const std::string_view hex = text.substr(colon + 1);
        auto id = hex.size() == 64 ? hex_decode(hex) : std::unexpected(std::string("expected 64 hex digits"));
        if (!id) return std::unexpected("invalid account id: " + id.error());
        Account account{workchain, {}};
        std::copy(id->begin(), id->end(), account.account_id.begin());
        return account;
    }
    if (text.size() != 48) return std::unexpected(std::string("expected 48 characters"));
    std::string url(text);
    for (char& c : url) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    auto raw = base64url_decode(url);
    if (!raw) return std::unexpected(raw.error());
    if (crc16_xmodem(ByteSpan(*raw).first(34)) != (((*raw)[34] << 8) | (*raw)[35])) {
        return std::unexpected(std::string("checksum mismatch"));
    }
    if (((*raw)[0] & 0x7F) != 0x11 && ((*raw)[0] & 0x7F) != 0x51) return std::unexpected(std::string("unknown flags"));
    Account account{static_cast<std::int8_t>((*raw)[1]), {}};
    std::copy(raw->begin() + 2, raw->begin() + 34, account.account_id.begin());
    return account;
}

}  // namespace ton

std::expected<std::string, SignerError> TonSigner::derive_address(ByteSpan key) const {
    auto pub = ed25519::public_key(key);
    if (!pub) return std::unexpected(pub.error());
    return address_of_public_key(*pub);
}

std::expected<std::string, SignerError> TonSigner::address_of_public_key(ByteSpan public_key) const {
    if (public_key.size() != 32) {
        return std::unexpected(SignerError{SignerError::Kind::AddressDerivationFailed, "invalid public key"});
    }
    const Hash32 data_hash = ton::wallet_data_cell_hash(public_key.first<32>());
    return ton::friendly_address(ton::state_init_hash(data_hash));
}

std::expected<SignOutput, SignerError> TonSigner::sign(ByteSpan key, ByteSpan message) const {
    return ed25519::sign(key, message);
}

std::expected<SignOutput, SignerError> TonSigner::sign_message(ByteSpan key, ByteSpan message) const {
    return ed25519::sign(key, message);
}

std::expected<SignOutput, SignerError> TonSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return ed25519::sign(key, tx);
}

std::string TonSigner::default_derivation_path(std::uint32_t index) const {
    return "m/44'/607'/" + std::to_string(index) + "'";
}

}  // namespace qel_signer::chains
