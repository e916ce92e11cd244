#include "qel_signer/chains/evm.hpp"

#include "qel_signer/hash.hpp"
#include "../support.hpp"

namespace {

using qel_signer::Bytes;
using qel_signer::hex_encode;
using qel_test::error_of;
using qel_test::load_vectors;
using qel_test::unhex;

const qel_signer::chains::EvmSigner kSigner;

TEST(EvmAddress, Eip55Checksums) {
    for (const auto& v : load_vectors("eip55.json", "/vectors")) {
        const auto account = unhex(v["lowercase"].get<std::string>().substr(2));
        EXPECT_EQ(qel_signer::chains::evm::checksum_address(std::span<const std::uint8_t, 20>(account.data(), 20)),
                  v["checksummed"].get<std::string>());
    }
}

TEST(EvmTransaction, Eip1559SignEncodeAndHash) {
    for (const auto& v : load_vectors("eip1559.json", "/vectors")) {
        const auto key = unhex(v["private_key_hex"]);
        const auto unsigned_tx = unhex(v["unsigned_hex"]);
        const auto out = kSigner.sign_transaction(key, unsigned_tx).value();
        EXPECT_EQ(hex_encode(out.signature), v["signature_rsv_hex"].get<std::string>());
        EXPECT_EQ(out.recovery_id, v["y_parity"].get<int>());
        const auto signed_tx = kSigner.encode_signed_transaction(unsigned_tx, out).value();
        EXPECT_EQ(hex_encode(signed_tx), v["signed_hex"].get<std::string>());
        EXPECT_EQ(hex_encode(qel_signer::keccak256(signed_tx)), v["tx_hash_hex"].get<std::string>());
    }
}

TEST(EvmMessage, Eip191PublishedSignaturesAndHashOnlyVectors) {
    for (const auto& v : load_vectors("eip191.json", "/signatures")) {
        const auto key = unhex(v["private_key_hex"]);
        const auto out = kSigner.sign_message(key, unhex(v["message_hex"])).value();
        EXPECT_EQ(hex_encode(out.signature), v["signature_hex"].get<std::string>());
        EXPECT_EQ(out.recovery_id, v["v"].get<int>());
    }
    // Signatures are deterministic: the same one means the same digest was signed.
    const auto key = unhex("1ab42cc412b618bdea3a599e3c9bae199ebf030895b039e9db1e30dafb12b727");
    for (const auto& v : load_vectors("eip191.json", "/hash_only")) {
        auto expected = kSigner.sign(key, unhex(v["message_hash_hex"])).value().signature;
        expected[64] += 27;  // a message signature's v
        EXPECT_EQ(kSigner.sign_message(key, unhex(v["message_hex"])).value().signature, expected);
    }
}

TEST(EvmEncode, Failures) {
    const qel_signer::SignOutput short_sig{Bytes(64, 0x11), std::nullopt};
    EXPECT_EQ(error_of(kSigner.encode_signed_transaction(unhex("02c0"), short_sig)),
              "invalid transaction: expected 65-byte signature (r || s || v)");
    EXPECT_EQ(error_of(kSigner.encode_signed_transaction(unhex("02f8"), {Bytes(65, 0x11), 1})),
              "invalid transaction: truncated length");
}

}  // namespace
