// The reader's refusals, one row each; signing and encoding are compared
// with an independent library in the Python tests.
#include "qel_signer/chains/evm_transaction.hpp"

#include "../support.hpp"

namespace {

using qel_signer::chains::evm::read_transaction;
using qel_test::error_of;
using qel_test::unhex;

TEST(EvmTransactionReader, RefusesEachMalformedField) {
    const std::pair<const char*, const char*> rows[] = {
        {"de8001825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e80800180",
         "expected 9 fields in a legacy transaction, got 8"},
        {"e182000101825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080018080",
         "nonce: integer with a leading zero byte"},
        {"e88901010101010101010101825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080018080",
         "nonce: integer longer than 8 bytes"},
        {"de8001825208935ce9454909639d2d17a3f753ce7d93fa0b9ab18080018080",
         "to: expected a 20-byte address or none, got 19 bytes"},
        {"df8001825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080010180",
         "r: must be empty in an unsigned transaction"},
        {"df8001825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e80c0018080", "data: expected a string"},
        {"df8001825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080808080",
         "a legacy transaction without a chain id is refused (it could be replayed on every chain)"},
        {"f8408001825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080a101010101010101010101010101010101010101010101"
         "01010101010101010101018080",
         "chainId: integer longer than 8 bytes"},
        {"02df01800102825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e808080", "accessList: expected a list"},
        {"02f501800102825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080d6d5945ce9454909639d2d17a3f753ce7d93fa0b9ab1"
         "2e",
         "accessList: an entry is not [address, [storage keys]]"},
        {"02f85601800102825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080f7f6945ce9454909639d2d17a3f753ce7d93fa0b9a"
         "b12ee09f01010101010101010101010101010101010101010101010101010101010101",
         "accessList: a storage key is not 32 bytes"},
        {"02e001800102825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080c178", "accessList: an entry is not a list"},
        {"04e001800102825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080c0c0",
         "authorizationList: empty (a type 0x04 transaction needs one)"},
        {"04e701800102825208808080c0dbda01945ce9454909639d2d17a3f753ce7d93fa0b9ab12e80800101",
         "to: expected a 20-byte address, got 0 bytes"},
        {"04f83a01800102825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080c0dad901945ce9454909639d2d17a3f753ce7d93fa"
         "0b9ab12e808001",
         "authorizationList: expected 6 fields in an authorization, got 5"},
        {"04e701800102825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080c0c7c6015c80800101",
         "authorizationList: address: expected a 20-byte address, got 1 bytes"},
        {"04e101800102825208945ce9454909639d2d17a3f753ce7d93fa0b9ab12e8080c0c101",
         "authorizationList: an entry is not a list"},
        {"0281c0", "expected an RLP list"},
        {"f801c0", "non-canonical length"},
        {"", "empty transaction"},
    };
    for (const auto& [tx, text] : rows) EXPECT_EQ(error_of(read_transaction(unhex(tx))), text) << tx;
}

}  // namespace
