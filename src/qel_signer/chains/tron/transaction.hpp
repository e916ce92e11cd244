#pragma once

// Tron transactions: the raw_data a wallet is handed (protobuf
// Transaction.raw), read strictly, signed over its SHA-256 and wrapped into
// the Transaction the HTTP API's broadcasthex takes.

#include <cstdint>
#include <expected>
#include <string>

#include "qel_signer/signed_tx.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains::tron {

// What a raw_data says, for a person to check.
struct RawData {
    std::uint64_t contract_type = 0;  // Transaction.Contract.ContractType (1 TransferContract, 31 TriggerSmartContract)
    std::string type_url;             // of the contract's parameter
    ByteSpan parameter;               // the parameter message's bytes
    std::uint64_t fee_limit = 0;
    std::uint64_t expiration = 0;
};

// Reads raw_data: only its known fields (ref_block_bytes, ref_block_num,
// ref_block_hash, expiration, data, contract, scripts, timestamp,
// fee_limit), in the one encoding a node serializes them in, with exactly
// one contract (as a node requires) whose parameter is set. Texts name the
// part at fault: "raw_data: ...", "contract: ...", "parameter: ...".
[[nodiscard]] std::expected<RawData, std::string> read_raw_data(ByteSpan raw_data);

// Signs SHA-256 of raw_data (65 bytes r || s || recovery id, as Tron has
// it) and returns the Transaction {raw_data, signature}; the hash is the
// transaction id, SHA-256 of raw_data.
[[nodiscard]] std::expected<SignedTransaction, SignerError> sign_raw_data(ByteSpan key, ByteSpan raw_data);

}  // namespace qel_signer::chains::tron
