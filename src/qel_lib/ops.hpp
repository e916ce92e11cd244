#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "qel_core/chain.hpp"
#include "qel_core/wallet_file.hpp"
#include "qel_signer/mnemonic.hpp"
#include "qel_signer/secret_bytes.hpp"
#include "records.hpp"

namespace qel_lib::ops {

using OptPath = std::optional<std::filesystem::path>;
using OptText = std::optional<std::string_view>;
using OptIndex = std::optional<std::uint32_t>;

// A fresh 12- or 24-word phrase; other counts: InvalidInput "words must be 12 or 24".
[[nodiscard]] std::expected<std::string, QelLibError> generate_mnemonic(std::uint32_t words);

// The address of `chain` for the mnemonic at `index` (0 when absent).
[[nodiscard]] std::expected<std::string, QelLibError> derive_address(std::string_view mnemonic, std::string_view chain,
                                                                   OptIndex index);
// One account per family in universal order, at `index`.
[[nodiscard]] std::expected<std::vector<qel_core::WalletAccount>, QelLibError> derive_all_accounts(
    const qel_signer::Mnemonic& mnemonic, std::uint32_t index);

[[nodiscard]] std::expected<WalletInfo, QelLibError> create_wallet(std::string_view name, OptText passphrase,
                                                                 OptIndex words, const OptPath& vault_root);
[[nodiscard]] std::expected<WalletInfo, QelLibError> import_wallet_mnemonic(std::string_view name,
                                                                          std::string_view mnemonic,
                                                                          OptText passphrase, OptIndex index,
                                                                          const OptPath& vault_root);
[[nodiscard]] std::expected<WalletInfo, QelLibError> import_wallet_private_key(
    std::string_view name, std::string_view private_key_hex, OptText chain, OptText passphrase,
    const OptPath& vault_root, OptText secp256k1_key, OptText ed25519_key);
// Hex key with an optional "0x" prefix: InvalidInput "invalid hex private key: ...".
[[nodiscard]] std::expected<qel_signer::SecretBytes, QelLibError> decode_hex_key(std::string_view text);
// Fails with WalletNameExists when a wallet of this name is in the vault.
[[nodiscard]] std::expected<void, QelLibError> check_name_free(std::string_view name, const OptPath& vault_root);
// 32 bytes from the OS: InvalidInput "failed to generate random key: ..." when it fails.
[[nodiscard]] std::expected<qel_signer::SecretBytes, QelLibError> random_key();
// The common tail of the private-key imports: each family's address from the
// key of its curve, then the pair sealed and saved as a private-key wallet.
[[nodiscard]] std::expected<WalletInfo, QelLibError> save_key_pair_wallet(std::string_view name, const KeyPair& pair,
                                                                        OptText passphrase,
                                                                        const OptPath& vault_root);
[[nodiscard]] WalletInfo wallet_to_info(const qel_core::EncryptedWallet& wallet);
// The same, taking the record's texts instead of copying them.
[[nodiscard]] WalletInfo wallet_to_info(qel_core::EncryptedWallet&& wallet);

[[nodiscard]] std::expected<std::vector<WalletInfo>, QelLibError> list_wallets(const OptPath& vault_root);
// The wallets of list_wallets one at a time, for callers that build their own
// results straight from each wallet's public part (views valid during the
// call only). They come in directory order; list_wallets puts them newest
// first by "created_at", stable.
[[nodiscard]] std::expected<void, QelLibError> visit_wallets(
    const OptPath& vault_root, const std::function<void(const qel_core::WalletFileView&)>& take);
[[nodiscard]] std::expected<WalletInfo, QelLibError> get_wallet(std::string_view name_or_id,
                                                              const OptPath& vault_root);
[[nodiscard]] std::expected<void, QelLibError> delete_wallet(std::string_view name_or_id, const OptPath& vault_root);
[[nodiscard]] std::expected<void, QelLibError> rename_wallet(std::string_view name_or_id, std::string_view new_name,
                                                           const OptPath& vault_root);
[[nodiscard]] std::expected<std::string, QelLibError> export_wallet(std::string_view name_or_id, OptText passphrase,
                                                                  const OptPath& vault_root);

// The private key of `chain_type` for a stored wallet, unlocked with passphrase.
[[nodiscard]] std::expected<qel_signer::SecretBytes, QelLibError> decrypt_signing_key(
    std::string_view name_or_id, qel_core::ChainType chain_type, std::string_view passphrase, OptIndex index,
    const OptPath& vault_root);
[[nodiscard]] std::expected<SignResult, QelLibError> sign_transaction(std::string_view wallet, std::string_view chain,
                                                                    std::string_view tx_hex, OptText passphrase,
                                                                    OptIndex index, const OptPath& vault_root);
[[nodiscard]] std::expected<SignResult, QelLibError> sign_message(std::string_view wallet, std::string_view chain,
                                                                std::string_view message, OptText passphrase,
                                                                OptText encoding, OptIndex index,
                                                                const OptPath& vault_root);

// Reads the bytes of a message by `encoding`: absent or "utf8" as given, "hex"
// decoded (InvalidInput "invalid hex message: ..."); anything else is
// InvalidInput "unsupported encoding: <e> (use 'utf8' or 'hex')".
[[nodiscard]] std::expected<qel_signer::Bytes, QelLibError> message_bytes(std::string_view message, OptText encoding);

// Seals the wallet's secret anew under new_passphrase (fresh salt and nonce,
// default scrypt parameters) and saves it in place; everything else about
// the wallet stays. A wrong old passphrase fails as export_wallet does and
// writes nothing.
[[nodiscard]] std::expected<WalletInfo, QelLibError> change_passphrase(std::string_view name_or_id,
                                                                     std::string_view old_passphrase,
                                                                     std::string_view new_passphrase,
                                                                     const OptPath& vault_root);

// Whether `signature_hex` is sign_message's signature of `message` (read by
// `encoding` as there) on `chain` by the claimed address and/or public key.
// 65 bytes may also come in base64 (88 characters), as BIP-137 signatures do.
// false when it does not match; InvalidInput for malformed input
// ("invalid hex signature: ...", "invalid hex public key: ...", and the
// texts of qel_signer::verify::verify_message).
[[nodiscard]] std::expected<bool, QelLibError> verify_message(std::string_view chain, std::string_view message,
                                                            std::string_view signature_hex, OptText address,
                                                            OptText public_key_hex, OptText encoding);

// Signs EIP-712 typed data (JSON text) with the wallet's EVM key: v is 27 or
// 28 as for sign_message. Only EVM chains; a domain chainId must be the
// chain's. The data is checked before the wallet is opened.
[[nodiscard]] std::expected<SignResult, QelLibError> sign_typed_data(std::string_view wallet, std::string_view chain,
                                                                   std::string_view typed_data_json,
                                                                   OptText passphrase, OptIndex index,
                                                                   const OptPath& vault_root);

// Imports the key of an encrypted Ethereum keystore (version 3) as a
// private-key wallet, as import_wallet_private_key does for an EVM key.
[[nodiscard]] std::expected<WalletInfo, QelLibError> import_wallet_keystore(std::string_view name,
                                                                          std::string_view keystore_json,
                                                                          std::string_view keystore_password,
                                                                          OptText passphrase,
                                                                          const OptPath& vault_root);
// The keystore JSON text of the wallet's EVM key (at `index` for a mnemonic
// wallet), sealed under keystore_password, which defaults to the passphrase.
[[nodiscard]] std::expected<std::string, QelLibError> export_wallet_keystore(std::string_view name_or_id,
                                                                           OptText passphrase,
                                                                           OptText keystore_password,
                                                                           OptIndex index,
                                                                           const OptPath& vault_root);

// The public key of the wallet's account on `chain` (at `index` for a mnemonic
// wallet) in hex: the compressed SEC1 key on secp256k1 chains, the 32-byte
// key on Ed25519 ones. Unlocks the wallet as signing does.
[[nodiscard]] std::expected<std::string, QelLibError> get_public_key(std::string_view wallet, std::string_view chain,
                                                                   OptText passphrase, OptIndex index,
                                                                   const OptPath& vault_root);

// A chain name or CAIP-2 id resolved, or InvalidInput with the resolver's message.
[[nodiscard]] std::expected<qel_core::Chain, QelLibError> resolve_chain(std::string_view chain);

// What signing a stored wallet's transaction starts from.
struct UnlockedTransaction {
    qel_core::Chain chain;
    qel_signer::Bytes tx;
    qel_signer::SecretBytes key;
};
// A test of the decoded transaction bytes that runs before the key is unlocked.
using TransactionCheck = std::function<std::expected<void, QelLibError>(qel_core::ChainType, qel_signer::ByteSpan)>;
// Resolves the chain, reads tx_hex (an optional "0x" prefix; InvalidInput
// "invalid hex transaction: ..."), runs `check` when given, and only then
// unlocks the family's key, so that malformed input never gets as far as
// trying the passphrase.
[[nodiscard]] std::expected<UnlockedTransaction, QelLibError> unlock_for_transaction(
    std::string_view wallet, std::string_view chain, std::string_view tx_hex, OptText passphrase, OptIndex index,
    const OptPath& vault_root, const TransactionCheck& check = {});

// Asked at least every 100 ms while a broadcast waits for curl. Answering true
// kills and reaps curl and ends the call with Interrupted; an empty function
// never stops the wait.
using StopRequested = std::function<bool()>;

// Deepest nesting of arrays and objects accepted in a node's reply.
inline constexpr std::size_t kMaxReplyDepth = 128;

// How long curl may run before it is killed and the broadcast fails.
inline constexpr std::chrono::seconds kCurlTimeLimit{120};

// Signs, encodes and posts a transaction; returns the hash the endpoint
// reports. Before the key is unlocked, an EVM transaction must be one type byte
// and one canonical RLP list, and a Solana transaction its signature slots and
// one message that ends where it ends (InvalidInput "invalid hex transaction:
// ..."): the bytes a node reads must be the bytes that were signed. The
// endpoint (the given `rpc_url`, else the configuration's) is checked then too.
[[nodiscard]] std::expected<std::string, QelLibError> sign_and_send(std::string_view wallet, std::string_view chain,
                                                                  std::string_view tx_hex, OptText passphrase,
                                                                  OptIndex index, OptText rpc_url,
                                                                  const OptPath& vault_root,
                                                                  const StopRequested& stop_requested = {});
[[nodiscard]] std::expected<std::string, QelLibError> broadcast(qel_core::ChainType chain_type, std::string_view url,
                                                              qel_signer::ByteSpan signed_tx,
                                                              const StopRequested& stop_requested = {});
// The configuration's endpoint for a CAIP-2 chain id (the file is read, and
// any warning about it printed, once per call); BroadcastFailed "no RPC
// endpoint configured for <id>" when it names none.
[[nodiscard]] std::expected<std::string, QelLibError> configured_endpoint(std::string_view chain_id);
// The endpoint a broadcast goes to: `rpc_url` when given, else the
// configuration's for the CAIP-2 chain id; refused as check_rpc_url says.
[[nodiscard]] std::expected<std::string, QelLibError> endpoint_for(OptText rpc_url, std::string_view chain_id);
// BroadcastFailed "invalid RPC URL: '<url>' ..." for an endpoint that is not
// http:// or https:// (in any case), holds a control character, or that
// curl would expand into several requests ('{', '}', or '[' and ']' other
// than around an IPv6 host literal).
[[nodiscard]] std::expected<void, QelLibError> check_rpc_url(std::string_view url);
// Runs `curl -K -` without a shell, the request (the URL, the body, a POST
// of JSON, failure on an HTTP error status, at most 3 redirects, http and
// https only) given as curl's configuration on its standard input, so that
// neither the URL nor the body shows in the process list, and returns its
// standard output. The URL is refused by
// check_rpc_url without running curl; BroadcastFailed "curl did not finish
// within N seconds" when `time_limit` passes; Interrupted when
// `stop_requested` says so.
[[nodiscard]] std::expected<std::string, QelLibError> curl_post_json(std::string_view url, std::string_view body,
                                                                   const StopRequested& stop_requested = {},
                                                                   std::chrono::seconds time_limit = kCurlTimeLimit);
// What an endpoint answered: its body, and whether it came with an HTTP
// error status (4xx or 5xx).
struct HttpReply {
    bool http_error;
    std::string body;
};
// The same POST with the given content type, except that an HTTP error status
// is a reply, not a failure: the endpoint's own error body is kept for the
// caller to read (curl --fail-with-body).
[[nodiscard]] std::expected<HttpReply, QelLibError> curl_post(std::string_view url, std::string_view body,
                                                            std::string_view content_type,
                                                            const StopRequested& stop_requested = {},
                                                            std::chrono::seconds time_limit = kCurlTimeLimit);
// The string member `name` of a JSON-RPC reply.
[[nodiscard]] std::expected<std::string, QelLibError> extract_json_field(std::string_view reply, std::string_view name);

}  // namespace qel_lib::ops
