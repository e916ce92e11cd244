
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "key_pair.hpp"
#include "ops.hpp"
#include "qel_core/utf8.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/envelope.hpp"
#include "qel_signer/hd.hpp"
#include "qel_signer/signer.hpp"
#include "text.hpp"
#include "vault.hpp"

namespace qel_lib::ops {

using qel_core::ChainType;
using qel_core::KeyType;
using qel_signer::ByteSpan;
using qel_signer::Bytes;
using qel_signer::Curve;
using qel_signer::SecretBytes;

namespace {

SignResult to_sign_result(const qel_signer::SignOutput& output) {
    return SignResult{.signature = qel_signer::hex_encode(output.signature), .recovery_id = output.recovery_id};
}

}  // namespace

std::expected<Bytes, QelLibError> message_bytes(std::string_view message, OptText encoding) {
    if (!encoding || *encoding == "utf8") return Bytes(message.begin(), message.end());
    if (*encoding == "hex") {
        auto decoded = qel_signer::hex_decode(message);
        if (!decoded) return std::unexpected(QelLibError::invalid_input("invalid hex message: " + decoded.error()));
        return std::move(*decoded);
    }
    return std::unexpected(
        QelLibError::invalid_input("unsupported encoding: " + std::string(*encoding) + " (use 'utf8' or 'hex')"));
}

std::expected<qel_core::Chain, QelLibError> resolve_chain(std::string_view chain) {
    auto resolved = qel_core::parse_chain(chain);
    if (!resolved) return std::unexpected(QelLibError::invalid_input(resolved.error()));
    return *resolved;
}

std::expected<UnlockedTransaction, QelLibError> unlock_for_transaction(std::string_view wallet,
                                                                      std::string_view chain,
                                                                      std::string_view tx_hex, OptText passphrase,
                                                                      OptIndex index, const OptPath& vault_root,
                                                                      const TransactionCheck& check) {
    auto resolved = resolve_chain(chain);
    if (!resolved) return std::unexpected(resolved.error());
    auto tx = qel_signer::hex_decode(strip_0x(tx_hex));
    if (!tx) return std::unexpected(QelLibError::invalid_input("invalid hex transaction: " + tx.error()));
    if (check) {
        if (auto checked = check(resolved->chain_type, *tx); !checked) return std::unexpected(checked.error());
    }
    auto key = decrypt_signing_key(wallet, resolved->chain_type, passphrase.value_or(""), index, vault_root);
    if (!key) return std::unexpected(key.error());
    return UnlockedTransaction{.chain = *resolved, .tx = std::move(*tx), .key = std::move(*key)};
}

std::expected<SecretBytes, QelLibError> decrypt_signing_key(std::string_view name_or_id, ChainType chain_type,
                                                           std::string_view passphrase, OptIndex index,
                                                           const OptPath& vault_root) {
    auto wallet = vault::load_wallet_by_name_or_id(name_or_id, vault_root);
    if (!wallet) return std::unexpected(wallet.error());
    auto envelope = qel_signer::crypto::CryptoEnvelope::from_json(wallet->crypto);
    if (!envelope) return std::unexpected(QelLibError::json(envelope.error()));
    auto plaintext = qel_signer::crypto::decrypt(*envelope, passphrase);
    if (!plaintext) return std::unexpected(plaintext.error());

    const auto signer = qel_signer::signer_for_chain(chain_type);
    switch (wallet->key_type) {
        case KeyType::Mnemonic: {
            if (!qel_core::is_valid_utf8(as_text(plaintext->as_slice()))) {
                return std::unexpected(QelLibError::invalid_input("wallet contains invalid UTF-8 mnemonic"));
            }
            auto mnemonic = qel_signer::Mnemonic::from_phrase(as_text(plaintext->as_slice()));
            if (!mnemonic) {
                // The parser's messages quote the phrase or a word of it; for a stored
                // secret that would put the secret into an exception text.
                return std::unexpected(qel_signer::MnemonicError{qel_signer::MnemonicError::Kind::InvalidPhrase,
                                                                 "the stored phrase is invalid"});
            }
            const std::string path = signer->default_derivation_path(index.value_or(0));
            auto key = qel_signer::HdDeriver::derive_from_mnemonic(*mnemonic, "", path, signer->curve());
            if (!key) return std::unexpected(key.error());
            return std::move(*key);
        }
        case KeyType::PrivateKey: {
            auto pair = parse_key_pair(plaintext->as_slice());
            if (!pair) return std::unexpected(pair.error());
            const SecretBytes& key = signer->curve() == Curve::Ed25519 ? pair->ed25519 : pair->secp256k1;
            return SecretBytes::from_slice(key.as_slice());
        }
    }
    return std::unexpected(QelLibError::invalid_input("unknown key type"));
}

std::expected<SignResult, QelLibError> sign_transaction(std::string_view wallet, std::string_view chain,
                                                       std::string_view tx_hex, OptText passphrase, OptIndex index,
                                                       const OptPath& vault_root) {
    auto unlocked = unlock_for_transaction(wallet, chain, tx_hex, passphrase, index, vault_root);
    if (!unlocked) return std::unexpected(unlocked.error());
    auto output = qel_signer::signer_for_chain(unlocked->chain.chain_type)
                      ->sign_transaction(unlocked->key.as_slice(), unlocked->tx);
    if (!output) return std::unexpected(output.error());
    return to_sign_result(*output);
}

std::expected<SignResult, QelLibError> sign_message(std::string_view wallet, std::string_view chain,
                                                   std::string_view message, OptText passphrase, OptText encoding,
                                                   OptIndex index, const OptPath& vault_root) {
    auto resolved = resolve_chain(chain);
    if (!resolved) return std::unexpected(resolved.error());
    auto bytes = message_bytes(message, encoding);
    if (!bytes) return std::unexpected(bytes.error());
    auto key = decrypt_signing_key(wallet, resolved->chain_type, passphrase.value_or(""), index, vault_root);
    if (!key) return std::unexpected(key.error());
    auto output = qel_signer::signer_for_chain(resolved->chain_type)->sign_message(key->as_slice(), *bytes);
    if (!output) return std::unexpected(output.error());
    return to_sign_result(*output);
}

}  // namespace qel_lib::ops
