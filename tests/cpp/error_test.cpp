#include "qel_lib/error.hpp"

#include <gtest/gtest.h>

namespace {

using qel_lib::QelLibError;

// The texts that no operation's test reaches; lower-layer errors show through
// with no prefix of this layer.
TEST(QelLibError, DisplayTexts) {
    using qel_core::QelError;
    const std::pair<QelLibError, const char*> cases[] = {
        {qel_signer::HdError{qel_signer::HdError::Kind::HardenedOnly, ""}, "ed25519 requires hardened-only derivation"},
        {QelError{QelError::Kind::InvalidPassphrase, ""}, "invalid passphrase"},
        {QelError{QelError::Kind::WalletNotFound, "w"}, "wallet not found: w"},
        {QelError{QelError::Kind::ChainNotSupported, "c"}, "chain not supported: c"},
        {QelError{QelError::Kind::InvalidInput, "i"}, "invalid input: i"},
        {QelError{QelError::Kind::CaipParse, "p"}, "CAIP parse error: p"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
}

}  // namespace
