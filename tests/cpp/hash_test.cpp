#include "qel_signer/hash.hpp"

#include "support.hpp"

namespace {

using qel_signer::double_sha256;
using qel_signer::hex_encode;
using qel_signer::keccak256;
using qel_signer::sha256;
using qel_test::to_bytes;
using qel_test::unhex;

TEST(Hash, PublishedKeccakAndSha256Vectors) {
    for (const auto& v : qel_test::load_vectors("keccak256.json", "/vectors")) {
        EXPECT_EQ(hex_encode(keccak256(unhex(v["input_hex"]))), v["digest_hex"].get<std::string>()) << v["name"];
    }
    EXPECT_EQ(hex_encode(sha256(to_bytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_encode(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_encode(double_sha256(to_bytes("hello"))),
              "9595c9df90075148eb06860365df33584b75bff782a510c6cd4883a419833d50");
}

}  // namespace
