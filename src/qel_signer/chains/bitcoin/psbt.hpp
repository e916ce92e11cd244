#pragma once

// Bitcoin transactions as wallets exchange them unsigned: a PSBT (BIP-174,
// version 0), read strictly; and the network transactions it holds.

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "qel_signer/bytes.hpp"

namespace qel_signer::chains::bitcoin {

inline constexpr std::size_t kMaxPsbtBytes = 1024 * 1024;
inline constexpr std::size_t kMaxInputsOrOutputs = 2500;

struct OutPoint {
    std::array<std::uint8_t, 32> txid;  // in the byte order of the serialization
    std::uint32_t vout;
};

struct TxIn {
    OutPoint prevout;
    ByteSpan script_sig;
    std::uint32_t sequence;
};

struct TxOut {
    std::uint64_t value;
    ByteSpan script_pubkey;
};

struct Transaction {
    std::uint32_t version;
    std::vector<TxIn> inputs;
    std::vector<TxOut> outputs;
    std::uint32_t locktime;
    bool had_witness = false;  // read in the segwit serialization
};

// Reads one network transaction that fills `bytes` exactly; with
// `allow_witness` the segwit serialization is accepted too (its witnesses
// are skipped). Compact sizes must be minimal.
[[nodiscard]] std::expected<Transaction, std::string> read_transaction(ByteSpan bytes, bool allow_witness);
// The serialization without witnesses, whose double SHA-256 is the txid.
[[nodiscard]] Bytes serialize_without_witness(const Transaction& tx);

struct PsbtInput {
    std::optional<TxOut> witness_utxo;
    std::optional<std::uint32_t> sighash_type;
};

struct Psbt {
    Transaction tx;  // the unsigned transaction; its views point into the PSBT bytes
    std::vector<PsbtInput> inputs;
};

// Reads a version 0 PSBT: the magic, a global map holding the unsigned
// transaction (non-segwit serialization, empty scriptSigs, at least one
// input), then one map per input and per output, and nothing after; no key
// twice in one map, the keys this library reads with no key data and values
// of their exact form, no version 2 fields, no finalized input. A
// non_witness_utxo, when given, must be the transaction the input spends
// and agree with its witness_utxo. Texts name the part at fault ("psbt:",
// "unsigned transaction:", "input N:", "output N:").
[[nodiscard]] std::expected<Psbt, std::string> read_psbt(ByteSpan bytes);

// Compact-size integer, as transactions write counts and lengths.
// `v` as `width` little-endian bytes.
void put_le(Bytes& out, std::uint64_t v, int width);
void put_compact_size(Bytes& out, std::uint64_t n);

}  // namespace qel_signer::chains::bitcoin
