#include "qel_signer/chains/cosmos.hpp"

#include "qel_signer/hash.hpp"
#include "../support.hpp"

namespace {

using qel_signer::Bytes;
using qel_signer::chains::CosmosSigner;
using qel_test::unhex;

const CosmosSigner kSigner("cosmos");
const auto kKey = unhex("c4a48e2fce1481cd3294b4490f6678090ea98d3d0e5cd984558ab0968741b104");

TEST(Cosmos, MessagesAndTransactionsAreSha256OfTheBytesAndHrpFailure) {
    const Bytes bytes(32, 0xab);  // hashed again, never signed as a digest
    const auto expected = kSigner.sign(kKey, qel_signer::sha256(bytes)).value().signature;  // deterministic
    EXPECT_EQ(kSigner.sign_message(kKey, bytes).value().signature, expected);
    EXPECT_EQ(kSigner.sign_transaction(kKey, bytes).value().signature, expected);
    EXPECT_EQ(qel_test::error_of(CosmosSigner("").derive_address(kKey)),
              "address derivation failed: empty human-readable part");
}

}  // namespace
