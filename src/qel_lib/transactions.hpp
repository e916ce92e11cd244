#pragma once

// Complete transactions of every family: each chain's own unsigned form
// signed and encoded as its broadcast API takes it, EIP-7702
// authorizations, and the broadcast of a signed transaction to the chain's
// own API.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ops.hpp"

namespace qel_lib::ops {

// A chain as the transaction operations take it: any name or identifier of
// the chain table, or "eip155:<N>" for an EVM chain the table does not have
// (it has no built-in endpoint).
struct TargetChain {
    std::string name;      // the table's name, or the identifier as given
    std::string chain_id;  // CAIP-2
    qel_core::ChainType chain_type;
    std::optional<std::uint64_t> evm_chain_id;
};
[[nodiscard]] std::expected<TargetChain, QelLibError> resolve_target_chain(std::string_view chain);

struct EncodedTransaction {
    std::string signed_tx;  // as the chain's broadcast API takes it
    std::string tx_hash;    // as the chain reports it
};

// Reads `unsigned_tx` in the family's own unsigned form, refusing anything
// malformed (InvalidInput "transaction: ...") or meant for another chain
// before the wallet is opened, then signs it with the wallet's key and
// encodes it:
// - EVM: legacy (EIP-155 form) or typed 0x01/0x02/0x04, hex in and out,
//   hash "0x" + Keccak-256;
// - Solana: the wire transaction in hex, signed in the account's own slot
//   among the message's signers, out in base64, hash the first signature
//   in base58;
// - Bitcoin: a version 0 PSBT (base64 or hex) whose every input spends the
//   account's P2WPKH output, out the network transaction in hex, hash the txid;
// - Cosmos: a SIGN_MODE_DIRECT SignDoc (hex) for this chain and signer, out
//   the TxRaw in base64, hash its SHA-256 in upper-case hex;
// - Tron: raw_data (hex), out the Transaction in hex, hash the txID;
// - TON: a wallet v5r1 signing message (BOC, base64 or hex), out the external
//   message BOC in base64 (with the StateInit at seqno 0), hash its root cell's.
[[nodiscard]] std::expected<EncodedTransaction, QelLibError> sign_and_encode(std::string_view wallet,
                                                                           std::string_view chain,
                                                                           std::string_view unsigned_tx,
                                                                           OptText passphrase, OptIndex index,
                                                                           const OptPath& vault_root);

// What `unsigned_tx` (in sign_and_encode's form) says about where value
// goes, as (label, value) lines for a person to check before signing: EVM
// chain id, nonce, fees, gas, to, value; Bitcoin each output's amount and
// address and the fee; Solana the fee payer and each instruction (a system
// transfer's amount and accounts); Cosmos the chain, account and each
// message (a bank send's amounts and recipient); Tron the contract (a
// transfer's or token transfer's recipient and amount) and fee limit; TON
// seqno, expiry and each message's amount and destination. Malformed input
// fails as in sign_and_encode.
[[nodiscard]] std::expected<std::vector<std::pair<std::string, std::string>>, QelLibError> describe_transaction(
    std::string_view chain, std::string_view unsigned_tx);

struct SignedAuthorization {
    std::uint64_t chain_id;
    std::string address;  // EIP-55
    std::uint64_t nonce;
    std::uint8_t y_parity;
    std::string r;  // 64 hex digits
    std::string s;
};
// An EIP-7702 authorization of `address` (hex, "0x" optional) signed with the
// wallet's EVM key; chain id 0 authorizes on every chain, as EIP-7702 has it.
[[nodiscard]] std::expected<SignedAuthorization, QelLibError> sign_authorization(
    std::string_view wallet, std::uint64_t chain_id, std::string_view address, std::uint64_t nonce,
    OptText passphrase, OptIndex index, const OptPath& vault_root);

// The chain id mismatch text shared by every EVM check:
// "invalid input: transaction: chain id 1 is not the chain id of polygon (137)".
// An unsigned transaction's text: hex (an optional "0x") for every family,
// or standard base64 for Bitcoin (a PSBT) and TON (a signing message).
// InvalidInput "invalid hex transaction: ..." or "invalid base64 transaction: ...".
[[nodiscard]] std::expected<qel_signer::Bytes, QelLibError> decode_unsigned_transaction(qel_core::ChainType family,
                                                                                       std::string_view text);
// A transaction's text as hex (an optional "0x") or standard base64, with
// the texts above on failure.
[[nodiscard]] std::expected<qel_signer::Bytes, QelLibError> decode_transaction_text(std::string_view text, bool base64);

[[nodiscard]] QelLibError chain_id_mismatch(std::uint64_t given, std::string_view chain_name, std::uint64_t own);
// The same for any document: "invalid input: <what> <given> is not the chain
// id of <chain_name> (<own>)", `given` as the caller quotes it.
[[nodiscard]] QelLibError chain_id_mismatch(std::string_view what, std::string_view given, std::string_view chain_name,
                                            std::string_view own);

// Posts a transaction in the form sign_and_encode gives it (EVM, Bitcoin and
// Tron hex, Solana, Cosmos and TON base64) to the chain's own API at
// `rpc_url` or the configured endpoint, through curl_post, and returns the
// hash the chain knows it by: EVM eth_sendRawTransaction and Solana
// sendTransaction (JSON-RPC "result"), Bitcoin POST {base}/tx (the txid the
// reply is), Cosmos POST {base}/cosmos/tx/v1beta1/txs in BROADCAST_MODE_SYNC
// (tx_response.txhash; a non-zero code fails with its raw_log), Tron POST
// {base}/wallet/broadcasthex ("txid"), TON POST {base}/sendBoc (the
// message's root cell hash, computed here). An endpoint's own refusal fails
// with BroadcastFailed quoting its message, escaped and cut short.
[[nodiscard]] std::expected<std::string, QelLibError> broadcast_transaction(std::string_view chain,
                                                                          std::string_view signed_tx,
                                                                          OptText rpc_url,
                                                                          const StopRequested& stop_requested = {});

// For sign_and_send: a typed EVM transaction (already checked as one type
// byte and one canonical list) must carry the chain id of `chain`.
[[nodiscard]] std::expected<void, QelLibError> check_typed_chain_id(std::string_view chain, qel_signer::ByteSpan tx);

}  // namespace qel_lib::ops
