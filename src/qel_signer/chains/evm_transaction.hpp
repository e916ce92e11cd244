#pragma once

// EVM transactions as wallets are handed them: legacy ones in their EIP-155
// unsigned form and typed ones (EIP-2930 0x01, EIP-1559 0x02, EIP-7702 0x04),
// read strictly, signed and put into their signed wire form; and EIP-7702
// authorizations.

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "qel_signer/hash.hpp"
#include "qel_signer/rlp.hpp"
#include "qel_signer/signed_tx.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains::evm {

struct UnsignedTransaction {
    // 0 for a legacy transaction, otherwise the EIP-2718 type byte.
    std::uint8_t type = 0;
    std::uint64_t chain_id = 0;
    // The fields of the RLP list, views into the bytes that were read.
    std::vector<rlp::Field> fields;
};

// Reads an unsigned transaction: a legacy one as the nine-field list (nonce,
// gasPrice, gas, to, value, data, chainId, 0, 0), or the type byte 0x01, 0x02
// or 0x04 followed by its field list. Each field must have its type's shape
// (integers without leading zero bytes and within their width, 20-byte
// addresses, access and authorization lists of the right form) and the whole
// input must be one canonical encoding with nothing after it. A legacy
// transaction without a chain id is refused: it could be replayed on every
// chain. The text names the first fault.
[[nodiscard]] std::expected<UnsignedTransaction, std::string> read_transaction(ByteSpan tx);

// The chain id of a typed (0x01/0x02) transaction already checked by
// rlp::check_unsigned_typed_tx: its first field as an integer of at most 64
// bits; fails with the same texts as read_transaction for that field.
[[nodiscard]] std::expected<std::uint64_t, std::string> typed_chain_id(ByteSpan tx);

// Signs Keccak-256 of the unsigned bytes `tx` (as read into `parsed`) and
// encodes the signed transaction: v = chainId * 2 + 35 + y-parity for legacy,
// the y-parity for typed ones; the hash is Keccak-256 of the signed bytes.
[[nodiscard]] std::expected<SignedTransaction, SignerError> sign_transaction(ByteSpan key, ByteSpan tx,
                                                                            const UnsignedTransaction& parsed);

// Keccak-256 of 0x05 || rlp([chain_id, address, nonce]) (EIP-7702).
[[nodiscard]] Hash32 authorization_digest(std::uint64_t chain_id, std::span<const std::uint8_t, 20> address,
                                          std::uint64_t nonce);

}  // namespace qel_signer::chains::evm
