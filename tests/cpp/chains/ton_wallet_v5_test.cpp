// The v5r1 signing message reader: each refusal once. What it reads and the
// signed external messages are compared with pytoniq-core in the Python tests.
#include "qel_signer/chains/ton/wallet_v5.hpp"

#include "../support.hpp"

namespace {

using namespace qel_signer::chains::ton;
using qel_test::error_of;
using qel_test::unhex;

TEST(TonSigningMessage, RefusesEachFault) {
    const std::pair<const char*, const char*> rows[] = {
        {"b5ee9c720101020100160001217369676e7fffff11000000010000000590010000",
         "signing message: expected 130 bits, got 131"},
        {"b5ee9c720101020100160001217369676f7fffff110000000100000005a0010000",
         "signing message: not a signed external request"},
        {"b5ee9c720101020100160001217369676e29a9a3170000000100000005a0010000",
         "signing message: wallet id 698983191 is not this wallet's (2147483409)"},
        {"b5ee9c720101010100130000217369676e7fffff110000000100000005a0",
         "signing message: expected 1 references, got 0"},
        {"b5ee9c720101010100130000217369676e7fffff11000000010000000520", "signing message: no actions"},
        {"b5ee9c720101020100170001217369676e7fffff110000000100000005a001000201",
         "signing message: malformed out action list"},
        {"b5ee9c72", "truncated bag of cells"},
    };
    for (const auto& [boc, text] : rows) EXPECT_EQ(error_of(read_signing_message(unhex(boc))), text) << boc;

    // 21 cells, but a walk that meets each shared subtree again is 2^20 long:
    // refused before any key is used.
    const auto root = unhex("b5ee9c720101020100160001217369676e7fffff110000000100000005a0010000");
    Boc shared{{read_signing_message(root).value().boc.cells[0]}};
    for (std::size_t i = 1; i <= 20; ++i) shared.cells.push_back({{}, 0, {i + 1, i + 1}});
    shared.cells.push_back({{}, 0, {}});
    shared.cells[0].refs = {1};
    EXPECT_EQ(error_of(read_signing_message(write_boc(shared))), "signing message: too many shared cells");
}

}  // namespace
