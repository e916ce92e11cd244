#include <gtest/gtest.h>

#include "qel_lib/error.hpp"

namespace {

using qel_lib::QelLibError;

TEST(QelLibError, DisplayTexts) {
    struct Case {
        QelLibError error;
        const char* text;
    };
    const Case cases[] = {
        {QelLibError::wallet_not_found("main"), "wallet not found: 'main'"},
        {QelLibError::ambiguous_wallet("dup", 2),
         "ambiguous wallet name 'dup' matches 2 wallets; use the wallet ID instead"},
        {QelLibError::wallet_name_exists("a b"), "wallet name already exists: 'a b'"},
        {QelLibError::invalid_input("words must be 12 or 24"), "invalid input: words must be 12 or 24"},
        {QelLibError::broadcast_failed("curl: (7) refused\n"), "broadcast failed: curl: (7) refused\n"},
        {QelLibError::io_errno(2), "I/O error: No such file or directory (os error 2)"},
        {QelLibError::io("custom"), "I/O error: custom"},
        {QelLibError::json("missing field `id`"), "JSON error: missing field `id`"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

// Lower-layer errors show through with no prefix of this layer.
TEST(QelLibError, WrapsLowerErrorsUnchanged) {
    const QelLibError mnemonic = qel_signer::MnemonicError{qel_signer::MnemonicError::Kind::InvalidPhrase, "x"};
    EXPECT_EQ(mnemonic.kind(), QelLibError::Kind::Mnemonic);
    EXPECT_EQ(mnemonic.message(), "invalid mnemonic phrase: x");

    const QelLibError hd = qel_signer::HdError{qel_signer::HdError::Kind::HardenedOnly, ""};
    EXPECT_EQ(hd.kind(), QelLibError::Kind::Hd);
    EXPECT_EQ(hd.message(), "ed25519 requires hardened-only derivation");

    const QelLibError signer =
        qel_signer::SignerError{qel_signer::SignerError::Kind::InvalidPrivateKey, "signature error"};
    EXPECT_EQ(signer.kind(), QelLibError::Kind::Signer);
    EXPECT_EQ(signer.message(), "invalid private key: signature error");

    const QelLibError crypto =
        qel_signer::crypto::CryptoError{qel_signer::crypto::CryptoError::Kind::DecryptionFailed, "aead::Error"};
    EXPECT_EQ(crypto.kind(), QelLibError::Kind::Crypto);
    EXPECT_EQ(crypto.message(), "decryption failed: aead::Error");

    const QelLibError core = qel_core::QelError{qel_core::QelError::Kind::InvalidPassphrase, ""};
    EXPECT_EQ(core.kind(), QelLibError::Kind::Core);
    EXPECT_EQ(core.message(), "invalid passphrase");
}

TEST(QelError, Messages) {
    using K = qel_core::QelError::Kind;
    EXPECT_EQ((qel_core::QelError{K::WalletNotFound, "w"}).message(), "wallet not found: w");
    EXPECT_EQ((qel_core::QelError{K::ChainNotSupported, "c"}).message(), "chain not supported: c");
    EXPECT_EQ((qel_core::QelError{K::InvalidInput, "i"}).message(), "invalid input: i");
    EXPECT_EQ((qel_core::QelError{K::CaipParse, "p"}).message(), "CAIP parse error: p");
}

}  // namespace
