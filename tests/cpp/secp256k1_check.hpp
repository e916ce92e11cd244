#pragma once
// Test-side check of secp256k1 signatures, done with the library's own
// recovery module rather than with the code under test.

#include <secp256k1.h>
#include <secp256k1_recovery.h>

#include <algorithm>

#include "qel_signer/secp256k1.hpp"
#include "qel_signer/signer.hpp"
#include "support.hpp"

namespace qel_test {

// A signature by `key` over `digest`: 65 bytes, the recovery id (plus
// `recid_offset`) mirrored in the last byte, s no greater than n / 2, and
// recovering to the key's public key.
inline void expect_valid_signature(const qel_signer::SignOutput& out, qel_signer::ByteSpan digest,
                                   const qel_signer::Bytes& key, int recid_offset = 0) {
    static secp256k1_context* ctx = secp256k1_context_create(SECP256K1_CONTEXT_VERIFY);
    static const auto half_n = unhex("7fffffffffffffffffffffffffffffff5d576e7357a4501ddfe92f46681b20a0");
    ASSERT_EQ(out.signature.size(), 65u);
    ASSERT_EQ(digest.size(), 32u);
    ASSERT_TRUE(out.recovery_id.has_value());
    EXPECT_EQ(*out.recovery_id, out.signature[64]);
    EXPECT_FALSE(std::lexicographical_compare(half_n.begin(), half_n.end(), out.signature.begin() + 32,
                                              out.signature.begin() + 64));  // low s
    secp256k1_ecdsa_recoverable_signature sig;
    secp256k1_pubkey pub;
    qel_signer::Bytes recovered(33);
    std::size_t len = recovered.size();
    ASSERT_TRUE(
        secp256k1_ecdsa_recoverable_signature_parse_compact(ctx, &sig, out.signature.data(),
                                                            out.signature[64] - recid_offset) &&
        secp256k1_ecdsa_recover(ctx, &pub, &sig, digest.data()) &&
        secp256k1_ec_pubkey_serialize(ctx, recovered.data(), &len, &pub, SECP256K1_EC_COMPRESSED));
    const auto expected = qel_signer::secp256k1::compressed_public_key(key).value();
    EXPECT_EQ(recovered, qel_signer::Bytes(expected.begin(), expected.end()));
}

}  // namespace qel_test
