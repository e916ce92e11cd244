#include "qel_signer/chains/ton.hpp"

#include "qel_signer/ed25519.hpp"
#include "qel_signer/hash.hpp"
#include "../support.hpp"

namespace {

using namespace qel_signer;
using qel_test::unhex;

TEST(Ton, V5r1IntermediatesAndAddresses) {
    const chains::TonSigner signer;
    const auto data = qel_test::load_vectors("ton-v5r1.json");
    ASSERT_EQ(data["code_hash_hex"], "20834b7b72b112147e1b2fb457b84e74d1a30f04f737d4f62a668e9552d2b72f");
    for (const auto& v : data["vectors"]) {
        SCOPED_TRACE(v["name"].get<std::string>());
        const Bytes key = unhex(v["private_key_hex"]);
        const auto pub = ed25519::public_key(key).value();
        EXPECT_EQ(hex_encode(pub), v["public_key_hex"].get<std::string>());
        const Hash32 data_hash = chains::ton::wallet_data_cell_hash(pub);
        EXPECT_EQ(hex_encode(data_hash), v["data_cell_hash_hex_computed"].get<std::string>());
        const Hash32 account = chains::ton::state_init_hash(data_hash);
        EXPECT_EQ(hex_encode(account), v["account_id_hex_computed"].get<std::string>());
        EXPECT_EQ(hex_encode(sha256(unhex(v["state_init_repr_hex_computed"]))), hex_encode(account));
        const std::string addr = signer.derive_address(key).value();
        EXPECT_EQ(addr, v["address_non_bounceable"].get<std::string>());
        const Bytes raw = base64url_decode(addr).value();
        ASSERT_EQ(raw.size(), 36u);
        EXPECT_EQ(hex_encode(ByteSpan(raw).subspan(34)), v["crc16_xmodem_hex_computed"].get<std::string>());
    }
}

}  // namespace
