// A human-readable part no caller can give. Messages are checked with
// coincurve in the Python tests.
#include "qel_signer/chains/cosmos.hpp"

#include "../support.hpp"

namespace {

using qel_signer::chains::CosmosSigner;

TEST(Cosmos, HrpFailure) {
    EXPECT_EQ(qel_test::error_of(CosmosSigner("").derive_address(qel_signer::Bytes(32, 1))),
              "address derivation failed: empty human-readable part");
}

}  // namespace
