#include "qel_lib/error.hpp"

#include <gtest/gtest.h>

namespace {

using qel_lib::QelLibError;

// The texts callers see; lower-layer errors show through with no prefix of
// this layer.
TEST(QelLibError, DisplayTexts) {
    using qel_core::QelError;
    const std::pair<QelLibError, const char*> cases[] = {
        {QelLibError::wallet_not_found("main"), "wallet not found: 'main'"},
        {QelLibError::ambiguous_wallet("dup", 2),
         "ambiguous wallet name 'dup' matches 2 wallets; use the wallet ID instead"},
        {QelLibError::wallet_name_exists("a b"), "wallet name already exists: 'a b'"},
        {QelLibError::invalid_input("words must be 12 or 24"), "invalid input: words must be 12 or 24"},
        {QelLibError::broadcast_failed("curl: (7) refused\n"), "broadcast failed: curl: (7) refused\n"},
        {QelLibError::io_errno(2), "I/O error: No such file or directory (os error 2)"},
        {QelLibError::io("custom"), "I/O error: custom"},
        {QelLibError::json("missing field `id`"), "JSON error: missing field `id`"},
        {qel_signer::MnemonicError{qel_signer::MnemonicError::Kind::InvalidPhrase, "x"}, "invalid mnemonic phrase: x"},
        {qel_signer::HdError{qel_signer::HdError::Kind::HardenedOnly, ""}, "ed25519 requires hardened-only derivation"},
        {qel_signer::SignerError{qel_signer::SignerError::Kind::InvalidPrivateKey, "signature error"},
         "invalid private key: signature error"},
        {qel_signer::crypto::CryptoError{qel_signer::crypto::CryptoError::Kind::DecryptionFailed, "aead::Error"},
         "decryption failed: aead::Error"},
        {QelError{QelError::Kind::InvalidPassphrase, ""}, "invalid passphrase"},
        {QelError{QelError::Kind::WalletNotFound, "w"}, "wallet not found: w"},
        {QelError{QelError::Kind::ChainNotSupported, "c"}, "chain not supported: c"},
        {QelError{QelError::Kind::InvalidInput, "i"}, "invalid input: i"},
        {QelError{QelError::Kind::CaipParse, "p"}, "CAIP parse error: p"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
}

}  // namespace
