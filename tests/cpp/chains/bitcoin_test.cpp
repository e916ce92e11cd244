#include "qel_signer/chains/bitcoin.hpp"

#include "qel_signer/hash.hpp"
#include "../support.hpp"

namespace {

using qel_signer::Bytes;
using qel_signer::chains::BitcoinSigner;
using qel_test::unhex;
using namespace std::string_literals;

const BitcoinSigner kSigner("bc");
const auto kKey = unhex("4604b4b710fe91f584fff084e1a9159fe4f8408fff380596a604948474ce4fa3");

TEST(Bitcoin, HrpFailureAndMessageFormAtEachCompactSize) {
    EXPECT_EQ(qel_test::error_of(BitcoinSigner("Bc").derive_address(kKey)),
              "address derivation failed: mixed case in human-readable part");
    const std::pair<std::size_t, std::string> lengths[] = {
        {0, "\x00"s}, {252, "\xfc"}, {253, "\xfd\xfd\x00"s}, {70000, "\xfe\x70\x11\x01\x00"s}};
    for (const auto& [len, compact_size] : lengths) {  // deterministic: the same signature, the same digest
        const auto form = qel_test::to_bytes("\x18" "Bitcoin Signed Message:\n" + compact_size + std::string(len, 'm'));
        EXPECT_EQ(kSigner.sign_message(kKey, Bytes(len, 'm')).value().signature,
                  kSigner.sign(kKey, qel_signer::double_sha256(form)).value().signature);
    }
}

}  // namespace
