#pragma once

// Test-side checks of secp256k1 signatures, done with the library's own
// recovery module rather than with the code under test.

#include <secp256k1.h>
#include <secp256k1_recovery.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "qel_signer/bytes.hpp"
#include "test_data.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/signer.hpp"

namespace qel_test {

inline qel_signer::Bytes unhex(const std::string& text) {
    auto bytes = qel_signer::hex_decode(text);
    EXPECT_TRUE(bytes.has_value()) << text;
    return bytes ? *bytes : qel_signer::Bytes{};
}

// A copy of one member of a vector file, addressed by JSON pointer; a value,
// so that it outlives a range-for over it.
inline nlohmann::json vector_section(const std::string& file, const std::string& pointer) {
    nlohmann::json section = load_vectors(file).at(nlohmann::json::json_pointer(pointer));
    EXPECT_FALSE(section.empty()) << file << pointer;
    return section;
}

inline qel_signer::Bytes to_bytes(std::string_view text) { return {text.begin(), text.end()}; }

// Compressed public key recovered from r || s and the recovery id, or empty.
inline qel_signer::Bytes recover_pubkey(const qel_signer::SignOutput& out, qel_signer::ByteSpan digest,
                                        int recid_offset = 0) {
    static secp256k1_context* ctx = secp256k1_context_create(SECP256K1_CONTEXT_VERIFY);
    if (out.signature.size() != 65 || digest.size() != 32) return {};
    secp256k1_ecdsa_recoverable_signature sig;
    const int recid = out.signature[64] - recid_offset;
    if (!secp256k1_ecdsa_recoverable_signature_parse_compact(ctx, &sig, out.signature.data(), recid)) return {};
    secp256k1_pubkey pub;
    if (!secp256k1_ecdsa_recover(ctx, &pub, &sig, digest.data())) return {};
    qel_signer::Bytes ser(33);
    std::size_t len = ser.size();
    (void)secp256k1_ec_pubkey_serialize(ctx, ser.data(), &len, &pub, SECP256K1_EC_COMPRESSED);
    return ser;
}

// s no greater than n / 2.
inline bool is_low_s(const qel_signer::SignOutput& out) {
    static const auto half_n =
        unhex("7fffffffffffffffffffffffffffffff5d576e7357a4501ddfe92f46681b20a0");
    return std::lexicographical_compare(out.signature.begin() + 32, out.signature.begin() + 64, half_n.begin(),
                                        half_n.end()) ||
           std::equal(out.signature.begin() + 32, out.signature.begin() + 64, half_n.begin());
}

// A secp256k1 signature over `digest`: 65 bytes, recovery id mirrored in the
// last byte, low-S, and recovering to `pubkey`.
inline void expect_valid_signature(const qel_signer::SignOutput& out, qel_signer::ByteSpan digest,
                                   const qel_signer::Bytes& pubkey, int recid_offset = 0) {
    ASSERT_EQ(out.signature.size(), 65u);
    ASSERT_TRUE(out.recovery_id.has_value());
    EXPECT_EQ(*out.recovery_id, out.signature[64]);
    EXPECT_TRUE(is_low_s(out));
    EXPECT_EQ(recover_pubkey(out, digest, recid_offset), pubkey);
}

}  // namespace qel_test
