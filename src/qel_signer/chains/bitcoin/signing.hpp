#pragma once

// Signing a PSBT's P2WPKH inputs (BIP-143, SIGHASH_ALL), finalizing them and
// extracting the network transaction.

#include <expected>
#include <string>

#include "psbt.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/signed_tx.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains::bitcoin {

// What can be checked without the key: every input has a witness_utxo that
// is a P2WPKH output, and a sighash type of SIGHASH_ALL or none. The text
// names the input.
[[nodiscard]] std::expected<void, std::string> check_signable(const Psbt& psbt);

// BIP-143 signature hash of input `index` spending a P2WPKH output of
// `amount` whose 20-byte key hash is `key_hash`, SIGHASH_ALL.
[[nodiscard]] Hash32 p2wpkh_sighash(const Transaction& tx, std::size_t index, std::span<const std::uint8_t, 20> key_hash,
                                    std::uint64_t amount);

// Signs every input with `key` (each must spend this key's P2WPKH output:
// InvalidTransaction "input N is not spendable by this account" otherwise),
// finalizes each with the witness [DER signature || 0x01, public key] (the
// signature with a low r, as Bitcoin wallets make it) and
// returns the segwit serialization and its txid (in the order explorers
// show it).
[[nodiscard]] std::expected<SignedTransaction, SignerError> sign_psbt(ByteSpan key, const Psbt& psbt);

}  // namespace qel_signer::chains::bitcoin
