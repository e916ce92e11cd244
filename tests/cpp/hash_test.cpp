#include "qel_signer/hash.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "qel_signer/encoding.hpp"
#include "test_data.hpp"

namespace {

using qel_signer::Bytes;
using qel_signer::ByteSpan;
using qel_signer::hex_encode;

Bytes unhex(std::string_view h) { return qel_signer::hex_decode(h).value(); }
ByteSpan ascii(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

TEST(Keccak256, PublishedAndRateBoundaryVectors) {
    const auto data = qel_test::load_vectors("keccak256.json");
    ASSERT_GE(data["vectors"].size(), 7u);
    for (const auto& v : data["vectors"]) {
        const Bytes input = unhex(v["input_hex"].get<std::string>());
        EXPECT_EQ(hex_encode(qel_signer::keccak256(input)), v["digest_hex"].get<std::string>())
            << v["name"].get<std::string>();
    }
}

TEST(Keccak256, IsNotSha3) {
    // SHA3-256("") differs only by the domain byte; catching it guards the 0x01 padding.
    EXPECT_NE(hex_encode(qel_signer::keccak256({})),
              "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
}

TEST(Sha256, FipsVectorsAndDouble) {
    EXPECT_EQ(hex_encode(qel_signer::sha256(ascii("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_encode(qel_signer::sha256({})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // SHA-256 of the 32-byte digest of "abc".
    EXPECT_EQ(hex_encode(qel_signer::double_sha256(ascii("abc"))),
              hex_encode(qel_signer::sha256(qel_signer::sha256(ascii("abc")))));
    EXPECT_EQ(hex_encode(qel_signer::double_sha256(ascii("hello"))),
              "9595c9df90075148eb06860365df33584b75bff782a510c6cd4883a419833d50");
}

TEST(Hash160, Bip84PublicKeys) {
    const auto data = qel_test::load_vectors("bech32.json");
    for (const auto& a : data["bip84"]["addresses"]) {
        const Bytes pub = unhex(a["public_key_hex"].get<std::string>());
        EXPECT_EQ(hex_encode(qel_signer::hash160(pub)), a["hash160_hex"].get<std::string>());
    }
}

TEST(HmacSha512, Rfc4231Cases) {
    struct Case {
        Bytes key;
        Bytes data;
        const char* mac;
    };
    const Case cases[] = {
        {Bytes(20, 0x0b), Bytes{'H', 'i', ' ', 'T', 'h', 'e', 'r', 'e'},
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
         "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
        // Key longer than the block size is hashed first.
        {Bytes(131, 0xaa), Bytes(ascii("Test Using Larger Than Block-Size Key - Hash Key First").begin(),
                                 ascii("Test Using Larger Than Block-Size Key - Hash Key First").end()),
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
         "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
        // BIP-32 master key of seed 000102...0f.
        {Bytes(ascii("Bitcoin seed").begin(), ascii("Bitcoin seed").end()),
         unhex("000102030405060708090a0b0c0d0e0f"),
         "e8f32e723decf4051aefac8e2c93c9c5b214313817cdb01a1494b917c8436b35"
         "873dff81c02f525623fd1fe5167eac3a55a049de3d314bb42ee227ffed37d508"},
    };
    for (const auto& c : cases) {
        std::uint8_t out[64];
        qel_signer::hmac_sha512(c.key, c.data, out);
        EXPECT_EQ(hex_encode(ByteSpan(out, 64)), c.mac);
    }
}

}  // namespace
