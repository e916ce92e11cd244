#pragma once

// Bitcoin signed messages as other wallets exchange them (BIP-137): the
// header byte that says which key form and address type signed, and the
// mainnet addresses such a signature may claim.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "qel_signer/bytes.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains::bitcoin {

// The addresses a signature may be checked against.
enum class KeyUse {
    P2pkhUncompressed,  // header 27-30: the P2PKH address of the uncompressed key
    // header 31-34, and this library's own r || s || v: the P2PKH address of
    // the compressed key, and also its P2SH-P2WPKH and P2WPKH addresses, as
    // Electrum and hardware wallets sign for segwit addresses
    Compressed,
    P2shP2wpkh,  // header 35-38
    P2wpkh,      // header 39-42
};

struct Bip137Header {
    KeyUse use;
    std::uint8_t recovery_id;
};

// What a header byte declares; nullopt outside 27-42.
[[nodiscard]] std::optional<Bip137Header> read_bip137_header(std::uint8_t header);

enum class AddressKind { P2pkh, P2sh, P2wpkh, OtherSegwit };

struct Address {
    AddressKind kind;
    Bytes hash;  // the HASH160 of a key or script, or the witness program
};

// A mainnet address: base58check with version 0 (P2PKH) or 5 (P2SH), or a
// "bc" segwit address. Fails with the decoder's text,
// "not a mainnet P2PKH or P2SH address", or for another network's segwit
// address "not a mainnet address (`tb1...`)".
[[nodiscard]] std::expected<Address, std::string> parse_address(std::string_view text);

// Whether `address` is one of `key`'s addresses that a signature of `use`
// may claim.
[[nodiscard]] bool is_address_of(const Address& address, const secp256k1::PublicKey& key, KeyUse use);

}  // namespace qel_signer::chains::bitcoin
