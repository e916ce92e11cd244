#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "bytes.hpp"
#include "qel_core/chain.hpp"

namespace qel_signer::verify {

// Whether `signature` is what the family's sign_message gives for `message`
// under the key of the claimed signer: its address, its public key, or both
// (every claim given must hold).
//
// secp256k1 families recover the key from the 65-byte r || s || v signature
// (v the recovery id 0 to 3, or 27 to 30) and compare it, or the address it
// derives to, with the claims; a high-S signature never verifies. Bitcoin
// also reads 65 bytes as BIP-137's header || r || s and takes P2PKH
// ("1..."), P2SH-P2WPKH ("3...") and P2WPKH ("bc1q...") addresses, each only
// where the header's range may claim it. 64 bytes r || s verify against a
// given public key; on EVM, without one, as EIP-2098 (y parity in the top
// bit of s). Ed25519 families check the 64-byte signature against the
// public key, which a Solana address carries and a TON address does not: TON
// needs the key, and an address given besides must be the key's v5r1 wallet.
//
// false for a well-formed signature that does not match. Malformed input
// fails with one of: "an address or a public key is needed to verify",
// "a TON address does not reveal its key: a public key is needed",
// "expected a 65-byte signature (r || s || v) or a 64-byte one (r || s), got N bytes",
// "a 64-byte signature (r || s) needs the public key to verify",
// "expected a 64-byte signature, got N bytes",
// "invalid public key: <reason>", "invalid address: <reason>".
[[nodiscard]] std::expected<bool, std::string> verify_message(qel_core::ChainType family, ByteSpan message,
                                                              ByteSpan signature,
                                                              std::optional<std::string_view> address,
                                                              std::optional<ByteSpan> public_key);

}  // namespace qel_signer::verify
