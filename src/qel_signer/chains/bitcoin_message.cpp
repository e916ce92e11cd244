#include "bitcoin_message.hpp"

#include <algorithm>
#include <array>

#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"

namespace qel_signer::chains::bitcoin {

namespace {

constexpr std::uint8_t kP2pkhVersion = 0x00;
constexpr std::uint8_t kP2shVersion = 0x05;

bool same(ByteSpan a, ByteSpan b) { return std::ranges::equal(a, b); }

}  // namespace

std::optional<Bip137Header> read_bip137_header(std::uint8_t header) {
    if (header < 27 || header > 42) return std::nullopt;
    constexpr KeyUse kUses[] = {KeyUse::P2pkhUncompressed, KeyUse::Compressed, KeyUse::P2shP2wpkh, KeyUse::P2wpkh};
    const int offset = header - 27;
    return Bip137Header{kUses[offset / 4], static_cast<std::uint8_t>(offset % 4)};
}

std::expected<Address, std::string> parse_address(std::string_view text) {
    const bool segwit = text.size() >= 3 && (text.substr(0, 3) == "bc1" || text.substr(0, 3) == "BC1");
    if (segwit) {
        auto decoded = segwit_decode("bc", text);
        if (!decoded) return std::unexpected(decoded.error());
        const bool p2wpkh = decoded->version == 0 && decoded->program.size() == 20;
        return Address{p2wpkh ? AddressKind::P2wpkh : AddressKind::OtherSegwit, std::move(decoded->program)};
    }
    auto payload = base58check_decode(text);
    if (!payload) {
        // A segwit address of another network reads as bad base58: say what it is instead.
        if (auto other = bech32_decode(text, 90)) {
            return std::unexpected("not a mainnet address (`" + other->hrp + "1...`)");
        }
        return std::unexpected(payload.error());
    }
    if (payload->size() != 21 || ((*payload)[0] != kP2pkhVersion && (*payload)[0] != kP2shVersion)) {
        return std::unexpected(std::string("not a mainnet P2PKH or P2SH address"));
    }
    const AddressKind kind = (*payload)[0] == kP2pkhVersion ? AddressKind::P2pkh : AddressKind::P2sh;
    return Address{kind, Bytes(payload->begin() + 1, payload->end())};
}

bool is_address_of(const Address& address, const secp256k1::PublicKey& key, KeyUse use) {
    const Hash20 key_hash = hash160(key.compressed);
    switch (address.kind) {
        case AddressKind::P2pkh:
            if (use == KeyUse::P2pkhUncompressed) return same(address.hash, hash160(key.uncompressed));
            return use == KeyUse::Compressed && same(address.hash, key_hash);
        case AddressKind::P2sh: {
            // The redeem script of P2SH-P2WPKH: OP_0, a 20-byte push, the key's HASH160.
            std::array<std::uint8_t, 22> script{0x00, 0x14};
            std::ranges::copy(key_hash, script.begin() + 2);
            return (use == KeyUse::Compressed || use == KeyUse::P2shP2wpkh) && same(address.hash, hash160(script));
        }
        case AddressKind::P2wpkh:
            return (use == KeyUse::Compressed || use == KeyUse::P2wpkh) && same(address.hash, key_hash);
        case AddressKind::OtherSegwit: return false;
    }
    return false;
}

}  // namespace qel_signer::chains::bitcoin
