#include "qel_signer/chains/tron.hpp"

#include "qel_signer/chains/evm.hpp"
#include "../support.hpp"

namespace {

using qel_test::load_vectors;
using qel_test::unhex;

const qel_signer::chains::TronSigner kSigner;

// Messages are signed with the raw recovery id as the last byte.
TEST(Tron, PublishedAddressesAndSignatures) {
    for (const auto& v : load_vectors("tron.json", "/addresses")) {
        const auto key = unhex(v["private_key_hex"]);
        const auto address = kSigner.derive_address(key).value();
        EXPECT_EQ(address, v["address"].get<std::string>());
        EXPECT_EQ(qel_signer::hex_encode(qel_signer::base58check_decode(address).value()),
                  v["payload_hex"].get<std::string>());
        // The EVM account of the same key carries the same 20 bytes.
        EXPECT_EQ(qel_signer::chains::EvmSigner().derive_address(key), v["evm_address_same_key"].get<std::string>());
    }
    for (const auto& v : load_vectors("tron.json", "/message_signatures")) {
        const auto out = kSigner.sign_message(unhex(v["private_key_hex"]), qel_test::to_bytes(v["message_utf8"].get<std::string>())).value();
        EXPECT_EQ(qel_signer::hex_encode(out.signature), v["signature_hex_raw_recovery_id"].get<std::string>());
        EXPECT_EQ(out.recovery_id, out.signature[64]);
    }
    for (const auto& v : load_vectors("tron.json", "/transactions")) {
        const auto out = kSigner.sign_transaction(unhex(v["private_key_hex"]), unhex(v["raw_data_hex"])).value();
        EXPECT_EQ(qel_signer::hex_encode(out.signature), v["signature_hex"].get<std::string>());
    }
}

}  // namespace
