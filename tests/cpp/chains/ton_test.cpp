#include "qel_signer/chains/ton.hpp"

#include "qel_signer/ed25519.hpp"
#include "../support.hpp"

namespace {

using namespace qel_signer;
using qel_test::unhex;

TEST(Ton, V5r1IntermediatesAndAddresses) {
    const chains::TonSigner signer;
    for (const auto& v : qel_test::load_vectors("ton-v5r1.json", "/vectors")) {
        SCOPED_TRACE(v["name"].get<std::string>());
        const Bytes key = unhex(v["private_key_hex"]);
        const auto pub = ed25519::public_key(key).value();
        const Hash32 data_hash = chains::ton::wallet_data_cell_hash(pub);
        EXPECT_EQ(hex_encode(data_hash), v["data_cell_hash_hex_computed"].get<std::string>());
        const Hash32 account = chains::ton::state_init_hash(data_hash);
        EXPECT_EQ(hex_encode(account), v["account_id_hex_computed"].get<std::string>());
        EXPECT_EQ(signer.derive_address(key), v["address_non_bounceable"].get<std::string>());  // its CRC included
    }
}

}  // namespace
