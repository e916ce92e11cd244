#include "qel_signer/hash.hpp"

#include "support.hpp"

namespace {

using qel_signer::hex_encode;
using qel_test::to_bytes;
using qel_test::unhex;

TEST(Keccak256, PublishedAndRateBoundaryVectors) {
    const auto vectors = qel_test::load_vectors("keccak256.json", "/vectors");
    ASSERT_GE(vectors.size(), 7u);
    for (const auto& v : vectors) {
        EXPECT_EQ(hex_encode(qel_signer::keccak256(unhex(v["input_hex"]))), v["digest_hex"].get<std::string>())
            << v["name"];
    }
}

TEST(Sha256, FipsVectorsDoubleAndHash160) {
    EXPECT_EQ(hex_encode(qel_signer::sha256(to_bytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_encode(qel_signer::sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_encode(qel_signer::double_sha256(to_bytes("hello"))),
              "9595c9df90075148eb06860365df33584b75bff782a510c6cd4883a419833d50");
    for (const auto& a : qel_test::load_vectors("bech32.json", "/bip84/addresses")) {
        EXPECT_EQ(hex_encode(qel_signer::hash160(unhex(a["public_key_hex"]))), a["hash160_hex"].get<std::string>());
    }
}

TEST(HmacSha512, Rfc4231Cases) {
    const std::tuple<qel_signer::Bytes, qel_signer::Bytes, const char*> cases[] = {
        {qel_signer::Bytes(20, 0x0b), to_bytes("Hi There"),
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
         "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
        // Key longer than the block size is hashed first.
        {qel_signer::Bytes(131, 0xaa), to_bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
         "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
    };
    for (const auto& [key, data, mac] : cases) {
        std::uint8_t out[64];
        qel_signer::hmac_sha512(key, data, out);
        EXPECT_EQ(hex_encode({out, 64}), mac);
    }
}

}  // namespace
